#include "tests/imaging/codec_test_util.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace skalo::testing {

void Put8(Bytes& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v));
}
void Put16(Bytes& out, unsigned v) {
  Put8(out, v & 0xFF);
  Put8(out, (v >> 8) & 0xFF);
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void PutText(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

Raster MakeBgr24(int width, int height,
                 const std::function<std::array<std::uint8_t, 3>(int, int)>& colour) {
  Raster b;
  b.SetPixelFormat(TPixelFormat::Bgr24);
  b.SetSize(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = b.Row(y);
    for (int x = 0; x < width; ++x) {
      const auto c = colour(x, y);
      row[3 * x] = c[2];
      row[3 * x + 1] = c[1];
      row[3 * x + 2] = c[0];
    }
  }
  return b;
}

Rgb ToRgb(const TBitmap& bitmap) {
  TBitmap copy;
  copy.Assign(bitmap);
  copy.SetPixelFormat(TPixelFormat::Bgr24);
  Rgb out{copy.Width(), copy.Height(), {}};
  out.pixels.reserve(3 * std::size_t(out.width) * out.height);
  for (int y = 0; y < copy.Height(); ++y) {
    const std::uint8_t* row = copy.ConstRow(y);
    for (int x = 0; x < copy.Width(); ++x)
      out.pixels.insert(out.pixels.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
  }
  return out;
}

Bytes ToPpm(const Rgb& image) {
  Bytes out;
  PutText(out,
          "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n");
  out.insert(out.end(), image.pixels.begin(), image.pixels.end());
  return out;
}

std::optional<Rgb> ParsePpm(const Bytes& file) {
  std::size_t pos = 0;
  auto skip_space = [&] {
    while (pos < file.size()) {
      if (file[pos] == '#') {
        while (pos < file.size() && file[pos] != '\n')
          ++pos;
      } else if (std::isspace(file[pos])) {
        ++pos;
      } else {
        break;
      }
    }
  };
  auto number = [&]() -> long {
    skip_space();
    long v = 0;
    bool any = false;
    while (pos < file.size() && std::isdigit(file[pos])) {
      v = v * 10 + (file[pos++] - '0');
      any = true;
    }
    return any ? v : -1;
  };
  if (file.size() < 2 || file[0] != 'P' || (file[1] != '6' && file[1] != '3')) return std::nullopt;
  const bool plain = file[1] == '3';
  pos = 2;
  const long w = number(), h = number(), max = number();
  if (w < 0 || h < 0 || max < 1 || max > 255) return std::nullopt;
  // Samples of another range are scaled to 0..255, rounded.
  auto scale = [max](long v) { return static_cast<std::uint8_t>((v * 255 + max / 2) / max); };
  Rgb out{static_cast<int>(w), static_cast<int>(h), {}};
  const std::size_t n = 3 * std::size_t(w) * std::size_t(h);
  if (plain) {
    for (std::size_t i = 0; i < n; ++i) {
      const long v = number();
      if (v < 0) return std::nullopt;
      out.pixels.push_back(scale(v));
    }
  } else {
    ++pos;  // the single whitespace after maxval
    if (file.size() < pos || file.size() - pos < n) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i)
      out.pixels.push_back(scale(file[pos + i]));
  }
  return out;
}

Bytes SaveToBytes(TGraphic& graphic) {
  TMemoryStream stream;
  graphic.SaveToStream(stream);
  return stream.Bytes();
}

void LoadFromBytes(TGraphic& graphic, const Bytes& bytes) {
  TMemoryStream stream(bytes);
  graphic.LoadFromStream(stream);
}

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::optional<Bytes> RunTool(const std::string& tool, const std::string& args, const Bytes& input) {
  std::string dir_template =
      (std::filesystem::temp_directory_path() / "skalo-codec-XXXXXX").string();
  if (!mkdtemp(dir_template.data())) return std::nullopt;
  const std::filesystem::path dir(dir_template);
  const std::filesystem::path in = dir / "input", out = dir / "output";
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
  }
  const std::string command =
      tool + " " + args + " '" + in.string() + "' > '" + out.string() + "' 2>/dev/null";
  const int status = std::system(command.c_str());
  std::optional<Bytes> result;
  if (status == 0) {
    std::ifstream f(out, std::ios::binary);
    result = Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return result;
}

std::string FirstDifference(const Rgb& got, const Rgb& want, int tolerance) {
  if (got.width != want.width || got.height != want.height) {
    std::ostringstream s;
    s << "size: got " << got.width << "x" << got.height << " want " << want.width << "x"
      << want.height;
    return s.str();
  }
  for (int y = 0; y < got.height; ++y)
    for (int x = 0; x < got.width; ++x) {
      const std::uint8_t* g = got.At(x, y);
      const std::uint8_t* w = want.At(x, y);
      for (int c = 0; c < 3; ++c)
        if (std::abs(int(g[c]) - int(w[c])) > tolerance) {
          std::ostringstream s;
          s << "(" << x << ", " << y << "): got " << int(g[0]) << "," << int(g[1]) << ","
            << int(g[2]) << " want " << int(w[0]) << "," << int(w[1]) << "," << int(w[2]);
          return s.str();
        }
    }
  return {};
}

}  // namespace skalo::testing
