// TImageInfo: the parsed EXIF directories of one source file. It walks the
// TIFF directories inside an EXIF block (TIFF 6.0 section 2, EXIF 2.2
// section 4.6) and keeps, in walk order, one TTagEntry per known tag with
// its value rendered as text, plus a few extracted fields (make, model,
// date, pixel size and where that size is stored) that the EXIF text and the
// dimension rewrite of a JPEG result use.
//
// Ownership: a TimgData owns its TImageInfo and outlives it; the TImageInfo
// keeps a reference to its container, whose status text it sets and whose
// stored EXIF segment PatchDimensions rewrites.
//
// Failures: a directory whose count or entry table does not lie inside the
// block, one already walked in this scan, one nested more than
// kMaxDirectoryDepth deep, or one that would pass the per-scan limits is not
// walked and leaves "Illegally sized directory" in the container's status.
// Any other failure inside a directory (a value outside the block, a decoder
// that cannot read its value) raises an exception out of WalkDirectory; the
// walk of a sub-directory catches it, so it ends only that sub-directory.
#pragma once

#include <cstdint>
#include <ctime>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/end_ind.h"
#include "metadata/exif_tags.h"

namespace skalo {

class TimgData;

// Directory kinds of WalkDirectory: which tag table names the entries.
inline constexpr int kExifDirectory = 1;  // image, EXIF, interoperability, SubIFDs
inline constexpr int kGpsDirectory = 2;

// Limits of one scan, against blocks built to loop or to exhaust memory.
inline constexpr int kMaxDirectoryDepth = 8;
inline constexpr std::uint32_t kMaxDirectoryEntriesPerScan = 4096;
inline constexpr std::uint64_t kMaxValueBytesPerScan = std::uint64_t{16} << 20;

inline constexpr char kIllegalDirectoryText[] = "Illegally sized directory";

// Where the value offsets of a maker directory point (see WalkMakerNote).
struct TMakerOffsetRule {
  // A value offset X read from the note stands for note position X + NoteShift.
  std::int64_t NoteShift = 0;
  // A value that does not lie wholly inside the note is read from the EXIF
  // block at block offset X + BlockShift when set, else its entry is skipped.
  bool FromBlock = false;
  std::int64_t BlockShift = 0;
  // The note is read little-endian whatever the block's byte order.
  bool LittleEndian = false;
};

class TImageInfo : public tEndInd {
 public:
  TImageInfo(TimgData& container, std::int32_t list_level);
  TImageInfo(const TImageInfo&) = delete;
  TImageInfo& operator=(const TImageInfo&) = delete;
  ~TImageInfo() override;

  // --- The walk ---
  // Walks the directory whose entry count lies at block offset `start`. A
  // TIFF offset X read from the block stands for block offset X + base (8 for
  // an EXIF segment, whose TIFF header follows the length bytes and "Exif\0\0";
  // -8 for a TIFF file's block, which starts after the 8-byte header).
  // `length` is the block's length; `kind` kExifDirectory or kGpsDirectory.
  // Entries of sub-directories (EXIF, interoperability, SubIFDs, GPS) and of
  // the maker note are appended before the entry that points to them.
  void WalkDirectory(std::int64_t start, std::int64_t base, std::int64_t length, int kind);
  // Adds a derived "FocalLengthin35mmFilm" entry (rendered "%5.2f") when the
  // block has none but gives the focal length, the focal-plane resolution
  // and its unit, and the pixel size.
  void DeriveFocal35();

  // Walks one camera maker's directory, whose entry count lies at note
  // position `directory`, and appends an entry (EntryKind 1) for every tag
  // that `table` names and does not mark "Skip", in note order. While it
  // runs, Buffer() is the note (read in the block's byte order unless the
  // rule says little-endian); the block and its order are restored on every
  // path. Values of up to four bytes sit in their entry, longer ones where
  // `rule` says. Answers true when the whole directory was read. A failure
  // (an entry outside the note, a value outside both note and block where
  // the rule reads the block, the scan's limits) ends the walk: the entries
  // kept so far stay and the container's status becomes "Error Detected = "
  // and the reason.
  bool WalkMakerNote(std::vector<std::uint8_t> note, std::span<const TTagRow> table,
                     std::int64_t directory, const TMakerOffsetRule& rule);

  // --- Rendering of values ---
  // At most eight elements, separated by ", ": integers in decimal (or
  // their code-table text), rationals as "n/d", FLOAT and DOUBLE as
  // "-9999.99" each, "?" for ASCII and UNDEFINED; "0" for unknown types.
  // A pattern with "%s" receives that text; another pattern ("%5.2f mm")
  // formats NumericValue of the value.
  std::string FormatValue(std::span<const std::uint8_t> raw, std::uint16_t format,
                          std::string_view code_table, std::string_view pattern) const;
  // Integers: ReadUnsigned of all the bytes; rationals: numerator /
  // denominator of the first element (0 for a zero denominator); FLOAT and
  // DOUBLE: the IEEE value of the first element; anything else 0.
  double NumericValue(std::span<const std::uint8_t> raw, std::uint16_t format) const;
  // The bytes as an integer in the block's byte order, keeping the lowest 32
  // bits as a signed value (so SLONG keeps its sign, SSHORT and SBYTE show as
  // unsigned, LONG above 2^31 - 1 as negative).
  std::int32_t ReadUnsigned(std::span<const std::uint8_t> bytes) const;

  // --- Entries ---
  const std::vector<TTagEntry>& Entries() const noexcept { return entries_; }
  std::int32_t EntryCount() const noexcept { return static_cast<std::int32_t>(entries_.size()); }
  // Appends a copy unless its TagNo is 0; answers EntryCount() - 1.
  std::int32_t AddEntry(const TTagEntry& entry);
  // Index of the first entry with that name (ASCII letters without regard to
  // case), or -1.
  std::int32_t FindEntry(std::string_view name) const;
  // ValueText of that entry, or empty.
  std::string EntryValue(std::string_view name) const;

  // --- Dimension rewrite ---
  // Writes `width` and `height` over the last width and height entries met
  // by the walk, inside the container's stored EXIF segment, in the
  // container's byte order: SHORT values get two bytes, others four. Does
  // nothing when either size was not found, when both already match, or
  // when the stored block did not come from a JPEG segment. A position whose
  // bytes do not lie wholly inside the segment is not written.
  void PatchDimensions(std::int32_t width, std::int32_t height);

  // --- Orientation ---
  // The Orientation tag (0x0112) of the first directory (EXIF 2.2 section
  // 4.6.4): 1..8. An absent tag, a value outside 1..8 (0 included) or a type
  // other than BYTE, SHORT or LONG give 1. Tags of later directories (the
  // thumbnail's, sub-directories) are not read.
  int Orientation() const noexcept {
    return orientation_ >= 1 && orientation_ <= 8 ? static_cast<int>(orientation_) : 1;
  }
  // The block offset of that tag's value, 0 when none was read.
  std::int32_t OrientationPos() const noexcept { return orientation_pos_; }
  // Writes 1 over the tag's value inside the container's stored EXIF
  // segment, in its type's width and the container's byte order, when
  // Orientation() is not 1. Like PatchDimensions it leaves the recorded
  // value, a block not from a JPEG segment and a position outside the
  // segment alone.
  void PatchOrientationUpright();

  // --- Text ---
  // A short description of the file and photo, lines joined by CR LF (see
  // exif_text.cpp); empty when the container holds no EXIF segment.
  std::string SummaryText() const;
  // The entries as an XML fragment: "<exifdata>", then per entry an element
  // line, a value line and a closing line, then `indent` blanks and
  // "</exifdata>". Values are escaped so that the fragment stays well-formed.
  std::vector<std::string> XmlLines(std::int32_t indent) const;

  // --- Extracted fields ---
  const TimgData& Container() const noexcept { return container_; }
  const std::string& VersionText() const noexcept { return version_text_; }
  const std::string& MakeText() const noexcept { return make_text_; }
  const std::string& ModelText() const noexcept { return model_text_; }
  const std::string& DateText() const noexcept { return date_text_; }
  const std::string& CommentText() const noexcept { return comment_text_; }
  std::int32_t PixelWidth() const noexcept { return pixel_width_; }
  std::int32_t PixelHeight() const noexcept { return pixel_height_; }
  std::int32_t WidthPos() const noexcept { return width_pos_; }
  std::uint16_t WidthFormat() const noexcept { return width_format_; }
  std::int32_t HeightPos() const noexcept { return height_pos_; }
  std::uint16_t HeightFormat() const noexcept { return height_format_; }
  std::int32_t FlashValue() const noexcept { return flash_value_; }
  std::int32_t ListLevel() const noexcept { return list_level_; }
  const std::vector<std::uint8_t>& MakerNote() const noexcept { return maker_note_; }
  std::int32_t MakerNotePos() const noexcept { return maker_note_pos_; }
  bool FromTiff() const noexcept { return from_tiff_; }
  void SetFromTiff(bool value) noexcept { from_tiff_ = value; }

 private:
  // Maker-note hand-off: called by the walk right after it has stored the
  // MakerNote entry's bytes in MakerNote() and their block offset in
  // MakerNotePos(), before that entry itself is kept. It appends the camera
  // maker's entries (EntryKind 1) to Entries(), so they precede the MakerNote
  // entry. It must not throw: a failure inside the note ends only the note's
  // walk. Defined in maker_note.cpp.
  void ReadMakerNote();

  // Leaves "Illegally sized directory" in the container's status.
  void RefuseDirectory();
  // Step 7 of an entry: the extracted fields, the maker note and the
  // sub-directories. `text` may be replaced (UserComment).
  void ExtractFields(std::uint16_t tag, std::uint16_t format, std::uint64_t bytes,
                     std::int64_t value_pos, std::span<const std::uint8_t> raw, std::int64_t base,
                     std::int64_t length, std::string& text);
  void WalkSubDirectory(std::int64_t pointer_pos, std::int64_t base, std::int64_t length, int kind);
  double EntryNumber(std::string_view name) const;

  TimgData& container_;
  std::vector<TTagEntry> entries_;
  std::string version_text_;
  std::string make_text_;
  std::string model_text_;
  std::string date_text_;
  std::int32_t pixel_height_ = 0;
  std::int32_t pixel_width_ = 0;
  std::int32_t height_pos_ = 0;
  std::uint16_t height_format_ = 0;
  std::int32_t width_pos_ = 0;
  std::uint16_t width_format_ = 0;
  std::uint32_t orientation_ = 0;  // as read; 0 when absent
  std::int32_t orientation_pos_ = 0;
  std::uint16_t orientation_format_ = 0;
  std::int32_t flash_value_ = 0;
  std::int32_t list_level_ = 0;
  std::vector<std::uint8_t> maker_note_;
  bool from_tiff_ = false;
  std::string comment_text_;
  std::int32_t maker_note_pos_ = 0;

  // Walk state of the scan, against loops and runaway blocks.
  std::set<std::int64_t> visited_directories_;
  int depth_ = 0;
  std::uint32_t entries_seen_ = 0;
  std::uint64_t value_bytes_kept_ = 0;
};

}  // namespace skalo
