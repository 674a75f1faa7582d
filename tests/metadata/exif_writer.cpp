#include "tests/metadata/exif_writer.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "imaging/bitmap.h"
#include "imaging/framework.h"
#include "imaging/jpeg.h"

namespace skalo::exiftest {

int ExifWriter::AddDirectory() {
  dirs_.emplace_back();
  return static_cast<int>(dirs_.size()) - 1;
}

Bytes ExifWriter::U16(std::uint16_t v) const {
  return big_endian_ ? Bytes{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}
                     : Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

Bytes ExifWriter::U32(std::uint32_t v) const {
  Bytes out(4);
  for (int i = 0; i < 4; ++i)
    out[big_endian_ ? 3 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
  return out;
}

ExifWriter& ExifWriter::Value(int dir, std::uint16_t tag, std::uint16_t format, std::uint32_t count,
                              const Bytes& bytes) {
  dirs_.at(static_cast<std::size_t>(dir)).push_back(Entry{tag, format, count, bytes, -1, false, 0});
  return *this;
}

ExifWriter& ExifWriter::Byte(int dir, std::uint16_t tag, const std::vector<std::uint8_t>& values) {
  return Value(dir, tag, 1, static_cast<std::uint32_t>(values.size()), values);
}

ExifWriter& ExifWriter::Short(int dir, std::uint16_t tag,
                              const std::vector<std::uint16_t>& values) {
  Bytes bytes;
  for (const auto v : values) {
    const Bytes b = U16(v);
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  return Value(dir, tag, 3, static_cast<std::uint32_t>(values.size()), bytes);
}

ExifWriter& ExifWriter::Long(int dir, std::uint16_t tag, const std::vector<std::uint32_t>& values) {
  Bytes bytes;
  for (const auto v : values) {
    const Bytes b = U32(v);
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  return Value(dir, tag, 4, static_cast<std::uint32_t>(values.size()), bytes);
}

ExifWriter& ExifWriter::Rational(
    int dir, std::uint16_t tag,
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& values) {
  Bytes bytes;
  for (const auto& [num, den] : values) {
    for (const Bytes& b : {U32(num), U32(den)})
      bytes.insert(bytes.end(), b.begin(), b.end());
  }
  return Value(dir, tag, 5, static_cast<std::uint32_t>(values.size()), bytes);
}

ExifWriter& ExifWriter::SRational(
    int dir, std::uint16_t tag, const std::vector<std::pair<std::int32_t, std::int32_t>>& values) {
  Bytes bytes;
  for (const auto& [num, den] : values) {
    for (const Bytes& b :
         {U32(static_cast<std::uint32_t>(num)), U32(static_cast<std::uint32_t>(den))})
      bytes.insert(bytes.end(), b.begin(), b.end());
  }
  return Value(dir, tag, 10, static_cast<std::uint32_t>(values.size()), bytes);
}

ExifWriter& ExifWriter::Ascii(int dir, std::uint16_t tag, const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return Value(dir, tag, 2, static_cast<std::uint32_t>(bytes.size()), bytes);
}

ExifWriter& ExifWriter::Undefined(int dir, std::uint16_t tag, const Bytes& bytes) {
  return Value(dir, tag, 7, static_cast<std::uint32_t>(bytes.size()), bytes);
}

ExifWriter& ExifWriter::Pointer(int dir, std::uint16_t tag, int target) {
  dirs_.at(static_cast<std::size_t>(dir)).push_back(Entry{tag, 4, 1, {}, target, false, 0});
  return *this;
}

ExifWriter& ExifWriter::Verbatim(int dir, std::uint16_t tag, std::uint16_t format,
                                 std::uint32_t count, std::uint32_t value_field) {
  dirs_.at(static_cast<std::size_t>(dir))
      .push_back(Entry{tag, format, count, {}, -1, true, value_field});
  return *this;
}

std::uint32_t ExifWriter::DirectoryOffset(int dir) const {
  std::uint32_t offset = 8;
  for (int i = 0; i < dir; ++i)
    offset += static_cast<std::uint32_t>(2 + 12 * dirs_[static_cast<std::size_t>(i)].size() + 4);
  return offset;
}

Bytes ExifWriter::Tiff() const {
  Bytes out = big_endian_ ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
  for (const Bytes& b : {U16(42), U32(8)})
    out.insert(out.end(), b.begin(), b.end());
  const int n = static_cast<int>(dirs_.size());
  Bytes values;
  const std::uint32_t values_start = DirectoryOffset(n);
  for (const auto& dir : dirs_) {
    const Bytes count = U16(static_cast<std::uint16_t>(dir.size()));
    out.insert(out.end(), count.begin(), count.end());
    for (const Entry& e : dir) {
      for (const Bytes& b : {U16(e.tag), U16(e.format), U32(e.count)})
        out.insert(out.end(), b.begin(), b.end());
      Bytes field;
      if (e.verbatim) {
        field = U32(e.field);
      } else if (e.target >= 0) {
        field = U32(DirectoryOffset(e.target));
      } else if (e.value.size() <= 4) {
        field = e.value;
        field.resize(4, 0);
      } else {
        field = U32(values_start + static_cast<std::uint32_t>(values.size()));
        values.insert(values.end(), e.value.begin(), e.value.end());
        if (values.size() % 2) values.push_back(0);  // word alignment, TIFF 6.0 section 2
      }
      out.insert(out.end(), field.begin(), field.end());
    }
    const Bytes next = U32(0);
    out.insert(out.end(), next.begin(), next.end());
  }
  out.insert(out.end(), values.begin(), values.end());
  return out;
}

Bytes Segment(std::uint8_t marker, const Bytes& payload) {
  const std::size_t length = payload.size() + 2;
  if (length > 0xFFFF) throw std::length_error("segment too long");
  Bytes out(payload.size() + 4);
  out[0] = 0xFF;
  out[1] = marker;
  out[2] = static_cast<std::uint8_t>(length >> 8);
  out[3] = static_cast<std::uint8_t>(length);
  std::copy(payload.begin(), payload.end(), out.begin() + 4);
  return out;
}

Bytes ExifSegment(const Bytes& tiff) {
  Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  return Segment(0xE1, payload);
}

Bytes TextBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes EncodedJpeg(int width, int height) {
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::Bgr24);
  bitmap.SetSize(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bitmap.Row(y);
    for (int x = 0; x < width; ++x) {
      row[3 * x] = static_cast<std::uint8_t>(x * 255 / std::max(width - 1, 1));
      row[3 * x + 1] = static_cast<std::uint8_t>(y * 255 / std::max(height - 1, 1));
      row[3 * x + 2] = 128;
    }
  }
  TJPEGImage jpeg;
  jpeg.Assign(bitmap);
  jpeg.Compress();
  return jpeg.Data();
}

std::vector<std::pair<std::uint8_t, Bytes>> HeadSegments(const Bytes& jpeg) {
  std::vector<std::pair<std::uint8_t, Bytes>> out;
  std::size_t p = 2;
  while (p + 4 <= jpeg.size() && jpeg[p] == 0xFF) {
    const std::uint8_t marker = jpeg[p + 1];
    const std::size_t length = std::size_t{jpeg[p + 2]} << 8 | jpeg[p + 3];
    if (p + 2 + length > jpeg.size()) break;
    out.emplace_back(marker, Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(p),
                                   jpeg.begin() + static_cast<std::ptrdiff_t>(p + 2 + length)));
    if (marker == 0xDA) break;
    p += 2 + length;
  }
  return out;
}

Bytes JpegWithSegments(const std::vector<Bytes>& segments, const Bytes& jpeg) {
  Bytes out = {0xFF, 0xD8};
  for (const Bytes& s : segments)
    out.insert(out.end(), s.begin(), s.end());
  std::size_t p = 2;
  if (jpeg.size() > 4 && jpeg[2] == 0xFF && jpeg[3] == 0xE0)
    p += 2 + (std::size_t{jpeg[4]} << 8 | jpeg[5]);
  out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(p), jpeg.end());
  return out;
}

TempFile::TempFile(const std::string& name, const Bytes& bytes) {
  std::string pattern = (std::filesystem::temp_directory_path() / "skalo-meta-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  path_ = dir_ + "/" + name;
  std::ofstream(path_, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TempFile::~TempFile() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

}  // namespace skalo::exiftest
