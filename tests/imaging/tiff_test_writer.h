// Test helpers for the TIFF reader: a small TIFF writer (uncompressed, LZW
// and Deflate strips or tiles, any tags), an LZW coder, a reader of one
// image's strip bytes for files made by other tools, and a temporary folder
// for tool runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace skalo::tifftest {

using Bytes = std::vector<std::uint8_t>;

enum : std::uint16_t {
  kTypeByte = 1,
  kTypeShort = 3,
  kTypeLong = 4,
  kTypeRational = 5,
  kTypeUndefined = 7
};

// One directory entry: integer values (BYTE, SHORT, LONG), numerator and
// denominator pairs (RATIONAL) or raw bytes (UNDEFINED).
struct Field {
  std::uint16_t type = kTypeShort;
  std::vector<std::uint32_t> values;
  Bytes raw;
};

// Writes header, strips, out-of-line values and the directory, in that
// order. StripOffsets and StripByteCounts (TileOffsets and TileByteCounts
// once Tiles() was called) are filled in from the strips unless set or
// removed explicitly.
class TiffWriter {
 public:
  explicit TiffWriter(bool big_endian = false) : big_endian_(big_endian) {}

  TiffWriter& Short(std::uint16_t tag, std::vector<std::uint32_t> values);
  TiffWriter& Long(std::uint16_t tag, std::vector<std::uint32_t> values);
  TiffWriter& Rational(std::uint16_t tag, std::vector<std::uint32_t> num_den_pairs);
  TiffWriter& Raw(std::uint16_t tag, std::uint16_t type, Bytes bytes);
  TiffWriter& Remove(std::uint16_t tag);
  TiffWriter& Strip(Bytes data);
  // The blocks added by Strip are tiles.
  TiffWriter& Tiles();

  Bytes Build() const;

 private:
  bool big_endian_;
  std::map<std::uint16_t, Field> fields_;
  std::set<std::uint16_t> removed_;  // not even filled in
  std::vector<Bytes> strips_;
  bool tiles_ = false;
};

// What MakeTiff writes. `samples` holds the uncompressed rows (each padded to
// a byte), plane after plane when planar.
struct TestImage {
  std::uint32_t width = 1;
  std::uint32_t height = 1;
  std::uint32_t bits = 8;
  std::uint32_t samples_per_pixel = 1;
  std::uint32_t photometric = 1;
  std::uint32_t compression = 1;     // blocks written: 1 (none), 5 (LZW) or 8 (Deflate)
  std::uint32_t rows_per_strip = 0;  // 0: no RowsPerStrip tag, one strip
  std::uint32_t tile_width = 0;      // both > 0: tiles, padded with zeros
  std::uint32_t tile_length = 0;
  bool planar = false;
  bool big_endian = false;
};

// Bytes of one stored row of one plane.
std::size_t RowBytes(const TestImage& image);
// A writer with the image's tags and strips, for further tags. Without
// samples it has the tags only.
TiffWriter MakeWriter(const TestImage& image, std::span<const std::uint8_t> samples);
Bytes MakeTiff(const TestImage& image, std::span<const std::uint8_t> samples);

Bytes Deflate(std::span<const std::uint8_t> data);
// LZW as TIFF 6.0 codes it (codes most significant bit first, widened one
// code early), or in the old form (least significant bit first, widened when
// the table needs it). A clear code starts the data and follows every
// `clear_every` codes, or with 0 whenever the table is full (a larger count
// than the table holds makes the decoder go on with a full table); the end
// code closes it.
Bytes Lzw(std::span<const std::uint8_t> data, bool old_form = false, std::size_t clear_every = 0);

// The bytes of strip `index` of the first image of a TIFF file.
Bytes ReadStrip(std::span<const std::uint8_t> tiff, std::size_t index);

// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::span<const std::uint8_t> bytes);
// True when `tool` is on the PATH.
bool HaveTool(const std::string& tool);
// Runs a shell command; true on exit status 0. Output goes to the test log.
bool Run(const std::string& command);

}  // namespace skalo::tifftest
