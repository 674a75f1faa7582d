// EXIF and TIFF tags: the field types with their sizes, the tag tables of the
// image/EXIF/interoperability directories and of the GPS directory, the
// entry type that holds one parsed value, and the decoders that turn some
// rendered values into display text.
//
// The tables are constexpr data; a row names the tag and says how its value
// is shown: a code table ("number:text" pairs separated by commas), a display
// pattern applied to the rendered value ("%5.2f mm", "%s sec"), or a decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace skalo {

// Field types, TIFF 6.0 section 2 and EXIF 2.2 section 4.6.2.
enum TExifFormat : std::uint16_t {
  kFormatByte = 1,
  kFormatAscii = 2,
  kFormatShort = 3,
  kFormatLong = 4,
  kFormatRational = 5,
  kFormatSByte = 6,
  kFormatUndefined = 7,
  kFormatSShort = 8,
  kFormatSLong = 9,
  kFormatSRational = 10,
  kFormatFloat = 11,
  kFormatDouble = 12,
};

// Size in bytes of one element of a field type; 0 for unknown types.
constexpr std::uint32_t FormatSize(std::uint16_t format) noexcept {
  switch (format) {
    case kFormatByte:
    case kFormatAscii:
    case kFormatSByte:
    case kFormatUndefined:
      return 1;
    case kFormatShort:
    case kFormatSShort:
      return 2;
    case kFormatLong:
    case kFormatSLong:
    case kFormatFloat:
      return 4;
    case kFormatRational:
    case kFormatSRational:
    case kFormatDouble:
      return 8;
    default:
      return 0;
  }
}

// Turns a rendered value text into its display text. May throw EExifError
// when the text is not what the decoder reads (a Flash value that is not an
// integer, for instance).
using TTagDecoder = std::string (*)(const std::string& value_text);

// One row of a tag table. Rows are constexpr; TTagEntry::FromRow copies one
// into a parsed entry.
struct TTagRow {
  constexpr TTagRow(std::uint16_t tag, std::string_view name, std::string_view label = {},
                    std::string_view code_table = {}, std::string_view pattern = {},
                    TTagDecoder decoder = nullptr, std::uint16_t record = 0,
                    std::uint32_t raw_length = 0)
      : TagNo(tag),
        Name(name),
        Label(label),
        CodeTable(code_table),
        Pattern(pattern),
        Decoder(decoder),
        RecordNo(record),
        RawLength(raw_length) {}

  std::uint16_t TagNo;  // 0 marks the "not found" row
  std::string_view Name;
  std::string_view Label;
  std::string_view CodeTable;
  std::string_view Pattern;
  TTagDecoder Decoder;
  std::uint16_t RecordNo;   // IPTC record number; 0 for EXIF tags
  std::uint32_t RawLength;  // IPTC tables: the dataset's maximum length
};

// One parsed entry (or a copy of a table row before its value is set).
struct TTagEntry {
  std::int32_t EntryKind = 0;          // 0: directory entry, 1: maker-note entry
  std::uint16_t FormatCode = 0;        // field type of the value
  std::uint16_t RecordNo = 0;          // IPTC record number; 0 for EXIF entries
  std::uint16_t TagNo = 0;             // 0 marks the "not found" row
  std::string Name;                    // short name; the XML element name is made from it
  std::string Label;                   // description (maker-note and IPTC tables)
  std::string CodeTable;               // "number:text" pairs, comma-separated
  std::string ValueText;               // the value rendered as text
  std::vector<std::uint8_t> RawBytes;  // the value's bytes as stored
  std::int32_t ValuePos = 0;           // block offset of the value bytes
  std::string Pattern;                 // display pattern of the rendered value
  std::int32_t RawLength = 0;          // number of bytes in RawBytes
  TTagDecoder Decoder = nullptr;

  static TTagEntry FromRow(const TTagRow& row);
};

// Tags of the image (TIFF), EXIF and interoperability directories; the last
// row, tag 0 "Unknown", stands for any tag not in the table.
extern const std::span<const TTagRow> kExifTagTable;
// Tags 0 to 30 of the GPS directory (EXIF 2.2, section 4.6.6).
extern const std::span<const TTagRow> kGpsTagTable;
inline constexpr std::size_t kExifTagTableRows = 251;
inline constexpr std::size_t kGpsTagTableRows = 31;

// The row of `table` with that tag number, or nullptr.
const TTagRow* FindTagRow(std::span<const TTagRow> table, std::uint16_t tag);
// The "Unknown" row (tag 0) of kExifTagTable.
const TTagRow& UnknownTagRow();

// Looks `key` (blanks around it removed) up in a code table: the text after
// ",key:" up to the next comma inside "," + table + ","; empty when absent.
std::string CodeLookup(std::string_view code_table, std::string_view key);

// A rational written as "n/d" or "w n/d" (a whole number, a blank, a
// fraction): (w * d + n) / d. Anything else, or d = 0, gives 0.
double ParseRationalText(std::string_view text);

// Decoders of the tag tables.
//
// ComponentsConfiguration (EXIF 2.2, section 4.6.5): characters 2 to 5 of
// the quoted UNDEFINED text, 1..6 as Y, Cb, Cr, R, G, B.
std::string DecodeComponentsConfiguration(const std::string& text);
// ShutterSpeedValue, an APEX value Tv: t = 1 / 2^Tv seconds as "%4.4f sec",
// plus " (1/n)" when t <= 0.5.
std::string DecodeShutterSpeed(const std::string& text);
// Flash (EXIF 2.2, section 4.6.5): fired, return light, mode, function,
// red-eye bits as words. EExifError when the text is not an integer.
std::string DecodeFlash(const std::string& text);
// UserComment: the text unchanged (the walk replaces it by the comment
// without its character-code prefix).
std::string DecodeUserComment(const std::string& text);
// Windows title, comment, author, keywords, subject: UTF-16LE bytes rendered
// as a decimal list; the odd-numbered fields (1st, 3rd, ...) are the low
// bytes of the characters. EExifError when a field is not an integer.
std::string DecodeXpText(const std::string& text);
// GPS latitude/longitude: three rationals as degrees, minutes, seconds.
std::string DecodeGpsCoordinate(const std::string& text);
// GPS time stamp: three rationals as hours:minutes:seconds.
std::string DecodeGpsTime(const std::string& text);

}  // namespace skalo
