#include "tiff_test_writer.h"

#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace skalo::tifftest {

TiffWriter& TiffWriter::Short(std::uint16_t tag, std::vector<std::uint32_t> values) {
  removed_.erase(tag);
  fields_[tag] = Field{kTypeShort, std::move(values), {}};
  return *this;
}

TiffWriter& TiffWriter::Long(std::uint16_t tag, std::vector<std::uint32_t> values) {
  removed_.erase(tag);
  fields_[tag] = Field{kTypeLong, std::move(values), {}};
  return *this;
}

TiffWriter& TiffWriter::Rational(std::uint16_t tag, std::vector<std::uint32_t> num_den_pairs) {
  fields_[tag] = Field{kTypeRational, std::move(num_den_pairs), {}};
  return *this;
}

TiffWriter& TiffWriter::Raw(std::uint16_t tag, std::uint16_t type, Bytes bytes) {
  fields_[tag] = Field{type, {}, std::move(bytes)};
  return *this;
}

TiffWriter& TiffWriter::Remove(std::uint16_t tag) {
  fields_.erase(tag);
  removed_.insert(tag);
  return *this;
}

TiffWriter& TiffWriter::Strip(Bytes data) {
  strips_.push_back(std::move(data));
  return *this;
}

TiffWriter& TiffWriter::Tiles() {
  tiles_ = true;
  return *this;
}

Bytes TiffWriter::Build() const {
  Bytes out;
  auto put16 = [&](Bytes& b, std::uint32_t v) {
    if (big_endian_) {
      b.push_back(static_cast<std::uint8_t>(v >> 8));
      b.push_back(static_cast<std::uint8_t>(v));
    } else {
      b.push_back(static_cast<std::uint8_t>(v));
      b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  };
  auto put32 = [&](Bytes& b, std::uint32_t v) {
    if (big_endian_) {
      put16(b, v >> 16);
      put16(b, v & 0xFFFF);
    } else {
      put16(b, v & 0xFFFF);
      put16(b, v >> 16);
    }
  };
  out.push_back(big_endian_ ? 'M' : 'I');
  out.push_back(big_endian_ ? 'M' : 'I');
  put16(out, 42);
  put32(out, 0);  // directory offset, patched below

  std::map<std::uint16_t, Field> fields = fields_;
  std::vector<std::uint32_t> offsets, counts;
  for (const Bytes& s : strips_) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    counts.push_back(static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }
  const std::uint16_t offsets_tag = tiles_ ? 324 : 273, counts_tag = tiles_ ? 325 : 279;
  if (!fields.count(offsets_tag) && !removed_.count(offsets_tag))
    fields[offsets_tag] = Field{kTypeLong, offsets, {}};
  if (!fields.count(counts_tag) && !removed_.count(counts_tag))
    fields[counts_tag] = Field{kTypeLong, counts, {}};

  // Value bytes of every field in the file's byte order.
  std::map<std::uint16_t, Bytes> values;
  for (const auto& [tag, f] : fields) {
    Bytes v;
    if (f.type == kTypeShort) {
      for (auto x : f.values)
        put16(v, x);
    } else if (f.type == kTypeLong || f.type == kTypeRational) {
      for (auto x : f.values)
        put32(v, x);
    } else if (f.type == kTypeByte && f.raw.empty()) {
      for (auto x : f.values)
        v.push_back(static_cast<std::uint8_t>(x));
    } else {
      v = f.raw;
    }
    values[tag] = std::move(v);
  }
  std::map<std::uint16_t, std::uint32_t> value_offsets;
  for (const auto& [tag, v] : values) {
    if (v.size() <= 4) continue;
    if (out.size() % 2) out.push_back(0);
    value_offsets[tag] = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), v.begin(), v.end());
  }
  if (out.size() % 2) out.push_back(0);
  const auto ifd = static_cast<std::uint32_t>(out.size());
  Bytes head;
  put32(head, ifd);
  std::copy(head.begin(), head.end(), out.begin() + 4);

  put16(out, static_cast<std::uint32_t>(fields.size()));
  for (const auto& [tag, f] : fields) {
    const Bytes& v = values[tag];
    const std::size_t unit = f.type == kTypeShort      ? 2
                             : f.type == kTypeLong     ? 4
                             : f.type == kTypeRational ? 8
                                                       : 1;
    put16(out, tag);
    put16(out, f.type);
    put32(out, static_cast<std::uint32_t>(v.size() / unit));
    if (v.size() <= 4) {
      Bytes inline_value = v;
      inline_value.resize(4, 0);
      out.insert(out.end(), inline_value.begin(), inline_value.end());
    } else {
      put32(out, value_offsets[tag]);
    }
  }
  put32(out, 0);
  return out;
}

std::size_t RowBytes(const TestImage& image) {
  const std::size_t samples =
      std::size_t{image.width} * (image.planar ? 1 : image.samples_per_pixel);
  return (samples * image.bits + 7) / 8;
}

TiffWriter MakeWriter(const TestImage& image, std::span<const std::uint8_t> samples) {
  TiffWriter w(image.big_endian);
  w.Long(256, {image.width}).Long(257, {image.height});
  w.Short(258, std::vector<std::uint32_t>(image.samples_per_pixel, image.bits));
  w.Short(259, {image.compression}).Short(262, {image.photometric});
  w.Short(277, {image.samples_per_pixel});
  if (image.planar) w.Short(284, {2});
  const bool tiled = image.tile_width > 0 && image.tile_length > 0;
  const std::uint32_t rps = image.rows_per_strip ? image.rows_per_strip : image.height;
  if (image.rows_per_strip) w.Long(278, {image.rows_per_strip});
  if (tiled) w.Long(322, {image.tile_width}).Long(323, {image.tile_length}).Tiles();
  if (samples.empty()) return w;  // the caller adds its own blocks
  auto code = [&](Bytes block) {
    if (image.compression == 5) return Lzw(block);
    if (image.compression == 8) return Deflate(block);
    return block;
  };
  const std::size_t row_bytes = RowBytes(image);
  const std::uint32_t planes = image.planar ? image.samples_per_pixel : 1;
  const std::size_t pixel_bits =
      std::size_t{image.bits} * (image.planar ? 1 : image.samples_per_pixel);
  for (std::uint32_t p = 0; p < planes; ++p) {
    const std::uint8_t* plane = samples.data() + std::size_t{p} * image.height * row_bytes;
    if (!tiled) {
      for (std::uint32_t y = 0; y < image.height; y += rps) {
        const std::uint32_t rows = std::min(rps, image.height - y);
        w.Strip(code(Bytes(plane + y * row_bytes, plane + (y + rows) * row_bytes)));
      }
      continue;
    }
    // Tiles left to right, top to bottom, each row padded to a byte.
    const std::size_t tile_row_bits = (image.tile_width * pixel_bits + 7) / 8 * 8;
    for (std::uint32_t ty = 0; ty < image.height; ty += image.tile_length)
      for (std::uint32_t tx = 0; tx < image.width; tx += image.tile_width) {
        Bytes tile(tile_row_bits / 8 * image.tile_length, 0);
        for (std::uint32_t y = ty; y < std::min(image.height, ty + image.tile_length); ++y)
          for (std::size_t b = 0; b < pixel_bits * std::min(image.tile_width, image.width - tx);
               ++b) {
            const std::size_t from = tx * pixel_bits + b, to = (y - ty) * tile_row_bits + b;
            if (plane[y * row_bytes + from / 8] >> (7 - from % 8) & 1)
              tile[to / 8] |= static_cast<std::uint8_t>(0x80 >> (to % 8));
          }
        w.Strip(code(std::move(tile)));
      }
  }
  return w;
}

Bytes MakeTiff(const TestImage& image, std::span<const std::uint8_t> samples) {
  return MakeWriter(image, samples).Build();
}

Bytes Deflate(std::span<const std::uint8_t> data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  if (compress(out.data(), &size, data.data(), static_cast<uLong>(data.size())) != Z_OK)
    throw std::runtime_error("compress failed");
  out.resize(size);
  return out;
}

Bytes Lzw(std::span<const std::uint8_t> data, bool old_form, std::size_t clear_every) {
  Bytes out;
  std::uint32_t bits = 0;
  int count = 0;
  int width = 9;
  auto put = [&](std::uint32_t code) {
    if (old_form) {
      bits |= code << count;
      count += width;
      for (; count >= 8; count -= 8, bits >>= 8)
        out.push_back(static_cast<std::uint8_t>(bits));
    } else {
      bits = bits << width | code;
      count += width;
      for (; count >= 8; count -= 8)
        out.push_back(static_cast<std::uint8_t>(bits >> (count - 8)));
    }
  };
  // The decoder's table size, which sets the width of the next code: it adds
  // an entry for every code after the first one since a clear code.
  std::uint32_t decoder_next = 258;
  std::size_t since_clear = 0;
  std::map<std::pair<std::uint32_t, std::uint8_t>, std::uint32_t> table;
  std::uint32_t next = 258;
  auto emit = [&](std::uint32_t code) {
    put(code);
    if (since_clear++ > 0 && decoder_next < 4096) ++decoder_next;
    const std::uint32_t at = decoder_next + (old_form ? 0 : 1);
    width = at >= 2048 ? 12 : at >= 1024 ? 11 : at >= 512 ? 10 : 9;
  };
  auto clear = [&] {
    put(256);
    width = 9;
    decoder_next = next = 258;
    since_clear = 0;
    table.clear();
  };
  clear();
  std::size_t i = 0;
  while (i < data.size()) {
    std::uint32_t code = data[i++];
    while (i < data.size()) {
      const auto found = table.find({code, data[i]});
      if (found == table.end()) break;
      code = found->second;
      ++i;
    }
    emit(code);
    if (i < data.size() && next < 4094) table[{code, data[i]}] = next++;
    const bool full = next >= 4094 && clear_every == 0;
    if (full || (clear_every > 0 && since_clear >= clear_every)) clear();
  }
  put(257);
  // The last bits, padded with zeros to a byte.
  if (count > 0) out.push_back(static_cast<std::uint8_t>(old_form ? bits : bits << (8 - count)));
  return out;
}

Bytes ReadStrip(std::span<const std::uint8_t> tiff, std::size_t index) {
  const bool be = tiff[0] == 'M';
  auto u16 = [&](std::size_t at) -> std::uint32_t {
    return be ? tiff[at] << 8 | tiff[at + 1] : tiff[at] | tiff[at + 1] << 8;
  };
  auto u32 = [&](std::size_t at) -> std::uint32_t {
    return be ? u16(at) << 16 | u16(at + 2) : u16(at) | u16(at + 2) << 16;
  };
  const std::size_t ifd = u32(4);
  std::uint32_t offset = 0, count = 0;
  for (std::size_t i = 0, n = u16(ifd); i < n; ++i) {
    const std::size_t e = ifd + 2 + 12 * i;
    const std::uint32_t tag = u16(e), type = u16(e + 2), values = u32(e + 4);
    if (tag != 273 && tag != 279) continue;
    const std::size_t unit = type == kTypeShort ? 2 : 4;
    const std::size_t at = values * unit <= 4 ? e + 8 : u32(e + 8);
    const std::uint32_t v = unit == 2 ? u16(at + index * 2) : u32(at + index * 4);
    (tag == 273 ? offset : count) = v;
  }
  return Bytes(tiff.begin() + offset, tiff.begin() + offset + count);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "skalo-tiff-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool Run(const std::string& command) {
  return std::system((command + " 2>&1").c_str()) == 0;
}

}  // namespace skalo::tifftest
