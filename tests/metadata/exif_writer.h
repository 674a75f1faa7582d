// Test helpers of the metadata tests: a small writer of EXIF/TIFF directory
// blocks in either byte order, JPEG segment builders, and real encoded JPEG
// pictures to carry metadata into.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace skalo::exiftest {

using Bytes = std::vector<std::uint8_t>;

// Builds a TIFF structure: an 8-byte header, the directories one after
// another (the first is IFD0), then every value longer than four bytes.
// Offsets are relative to the header, as in an EXIF segment (EXIF 2.2,
// section 4.5.2). Entries keep the order in which they were added.
class ExifWriter {
 public:
  explicit ExifWriter(bool big_endian = false) : big_endian_(big_endian) { dirs_.emplace_back(); }

  bool BigEndian() const { return big_endian_; }

  // Adds an empty directory and answers its number (IFD0 is 0).
  int AddDirectory();

  ExifWriter& Byte(int dir, std::uint16_t tag, const std::vector<std::uint8_t>& values);
  ExifWriter& Short(int dir, std::uint16_t tag, const std::vector<std::uint16_t>& values);
  ExifWriter& Long(int dir, std::uint16_t tag, const std::vector<std::uint32_t>& values);
  ExifWriter& Rational(int dir, std::uint16_t tag,
                       const std::vector<std::pair<std::uint32_t, std::uint32_t>>& values);
  ExifWriter& SRational(int dir, std::uint16_t tag,
                        const std::vector<std::pair<std::int32_t, std::int32_t>>& values);
  // ASCII with its terminating zero added.
  ExifWriter& Ascii(int dir, std::uint16_t tag, const std::string& text);
  ExifWriter& Undefined(int dir, std::uint16_t tag, const Bytes& bytes);
  // Any type, with the value bytes given in the writer's byte order.
  ExifWriter& Value(int dir, std::uint16_t tag, std::uint16_t format, std::uint32_t count,
                    const Bytes& bytes);
  // A LONG entry whose value is the offset of directory `target`.
  ExifWriter& Pointer(int dir, std::uint16_t tag, int target);
  // An entry written verbatim: type, count and the 4-byte value field (for
  // offsets that point anywhere).
  ExifWriter& Verbatim(int dir, std::uint16_t tag, std::uint16_t format, std::uint32_t count,
                       std::uint32_t value_field);

  // The TIFF structure, header included.
  Bytes Tiff() const;
  // Offset of directory `dir` from the TIFF header.
  std::uint32_t DirectoryOffset(int dir) const;

  // The integer in the writer's byte order.
  Bytes U16(std::uint16_t v) const;
  Bytes U32(std::uint32_t v) const;

 private:
  struct Entry {
    std::uint16_t tag = 0;
    std::uint16_t format = 0;
    std::uint32_t count = 0;
    Bytes value;      // the value's bytes (placed inline when at most 4)
    int target = -1;  // a directory whose offset is the value
    bool verbatim = false;
    std::uint32_t field = 0;
  };

  std::vector<std::vector<Entry>> dirs_;
  bool big_endian_;
};

// A JPEG segment: 0xFF, the marker, the big-endian length, the payload.
Bytes Segment(std::uint8_t marker, const Bytes& payload);
// The APP1 EXIF segment around a TIFF structure ("Exif\0\0" + TIFF).
Bytes ExifSegment(const Bytes& tiff);
Bytes TextBytes(const std::string& text);

// A real baseline JPEG of a colour gradient, as our encoder writes it (SOI,
// JFIF APP0, tables, frame, scan, EOI).
Bytes EncodedJpeg(int width, int height);
// A JPEG file: SOI, `segments`, then `jpeg` from its tables on (its SOI and
// leading APP0 left out).
Bytes JpegWithSegments(const std::vector<Bytes>& segments, const Bytes& jpeg);
// Segments of a JPEG file up to SOS: (marker, whole segment bytes with 0xFF
// and marker) in file order.
std::vector<std::pair<std::uint8_t, Bytes>> HeadSegments(const Bytes& jpeg);

// A file in a fresh temporary folder, removed with the object.
class TempFile {
 public:
  TempFile(const std::string& name, const Bytes& bytes);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace skalo::exiftest
