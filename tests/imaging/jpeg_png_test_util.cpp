#include "tests/imaging/jpeg_png_test_util.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "imaging/framework.h"

namespace skalo::jpeg_png_test {

Image Colors(const TBitmap& bitmap) {
  TBitmap bgr;
  bgr.Assign(bitmap);
  bgr.SetPixelFormat(TPixelFormat::Bgr24);
  Image image{bgr.Width(), bgr.Height(), {}};
  image.pixels.reserve(static_cast<std::size_t>(image.width) * image.height);
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* row = bgr.ConstRow(y);
    for (int x = 0; x < image.width; ++x)
      image.pixels.push_back({row[3 * x + 2], row[3 * x + 1], row[3 * x]});
  }
  return image;
}

void ToBitmap(const Image& image, TBitmap& out) {
  out.SetPixelFormat(TPixelFormat::Bgr24);
  out.SetSize(image.width, image.height);
  for (int y = 0; y < image.height; ++y) {
    std::uint8_t* row = out.Row(y);
    for (int x = 0; x < image.width; ++x) {
      const Rgb& c = image.At(x, y);
      row[3 * x] = c[2];
      row[3 * x + 1] = c[1];
      row[3 * x + 2] = c[0];
    }
  }
}

Bytes SaveToBytes(TGraphic& graphic) {
  TMemoryStream stream;
  graphic.SaveToStream(stream);
  return stream.Bytes();
}

namespace {

// Reads the next header number, skipping blanks and comments.
bool HeaderNumber(const Bytes& file, std::size_t& pos, unsigned& value) {
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
  if (pos >= file.size() || !std::isdigit(file[pos])) return false;
  value = 0;
  while (pos < file.size() && std::isdigit(file[pos]))
    value = value * 10 + (file[pos++] - '0');
  return true;
}

}  // namespace

std::optional<Image> ParsePnm(const Bytes& file) {
  if (file.size() < 2 || file[0] != 'P') return std::nullopt;
  const char kind = static_cast<char>(file[1]);
  if (kind != '4' && kind != '5' && kind != '6') return std::nullopt;
  std::size_t pos = 2;
  unsigned width = 0, height = 0, maxval = 1;
  if (!HeaderNumber(file, pos, width) || !HeaderNumber(file, pos, height)) return std::nullopt;
  if (kind != '4' && !HeaderNumber(file, pos, maxval)) return std::nullopt;
  ++pos;  // the single blank after the header
  Image image{static_cast<int>(width), static_cast<int>(height), {}};
  const unsigned channels = kind == '6' ? 3 : 1;
  const unsigned sample_bytes = maxval > 255 ? 2 : 1;
  const std::size_t row_bytes = kind == '4' ? (width + 7) / 8 : width * channels * sample_bytes;
  if (file.size() < pos || (file.size() - pos) / std::max<std::size_t>(row_bytes, 1) < height)
    return std::nullopt;
  for (unsigned y = 0; y < height; ++y) {
    const std::uint8_t* row = file.data() + pos + y * row_bytes;
    for (unsigned x = 0; x < width; ++x) {
      Rgb c{};
      if (kind == '4') {
        const bool black = (row[x / 8] >> (7 - x % 8)) & 1;
        c = black ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
      } else {
        for (unsigned ch = 0; ch < 3; ++ch) {
          const std::uint8_t* s = row + (x * channels + (channels == 3 ? ch : 0)) * sample_bytes;
          const unsigned v = sample_bytes == 2 ? (s[0] << 8 | s[1]) : s[0];
          c[ch] = static_cast<std::uint8_t>(maxval == 255     ? v
                                            : maxval == 65535 ? v >> 8
                                                              : v * 255 / maxval);
        }
      }
      image.pixels.push_back(c);
    }
  }
  return image;
}

Bytes ToPpm(const Image& image) {
  const std::string header =
      "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  Bytes out(header.begin(), header.end());
  for (const Rgb& c : image.pixels)
    out.insert(out.end(), c.begin(), c.end());
  return out;
}

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::optional<Bytes> RunTool(const std::string& tool, const std::string& args, const Bytes& input) {
  std::string dir_template =
      (std::filesystem::temp_directory_path() / "skalo-jpeg-png-XXXXXX").string();
  if (mkdtemp(dir_template.data()) == nullptr) return std::nullopt;
  const std::filesystem::path dir(dir_template);
  const std::filesystem::path in = dir / "input";
  const std::filesystem::path out = dir / "output";
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(input.data()),
             static_cast<std::streamsize>(input.size()));
  std::string command = tool + " ";
  if (const auto mark = args.find("{}"); mark != std::string::npos)
    command += args.substr(0, mark) + "'" + in.string() + "'" + args.substr(mark + 2);
  else
    command += args + " < '" + in.string() + "'";
  command += " > '" + out.string() + "' 2>/dev/null";
  const int status = std::system(command.c_str());
  std::optional<Bytes> result;
  // djpeg answers 2 when it only warned (a truncated file, for example).
  if (WIFEXITED(status) &&
      (WEXITSTATUS(status) == 0 || (tool == "djpeg" && WEXITSTATUS(status) == 2))) {
    std::ifstream file(out, std::ios::binary);
    result = Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return result;
}

int MaxDifference(const Image& a, const Image& b) {
  int worst = 0;
  for (std::size_t i = 0; i < std::min(a.pixels.size(), b.pixels.size()); ++i)
    for (int c = 0; c < 3; ++c)
      worst = std::max(worst, std::abs(a.pixels[i][c] - b.pixels[i][c]));
  return worst;
}

}  // namespace skalo::jpeg_png_test
