// Maker notes: the camera maker's private directory inside the MakerNote
// entry (EXIF 2.2, section 4.6.5, tag 0x927C).
#include "metadata/maker_note.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "metadata/img_data.h"
#include "metadata/maker_tables.h"

namespace skalo {

namespace {

constexpr char kMakerErrorPrefix[] = "Error Detected = ";

// The note's bytes are borrowed as the parser's buffer for the walk; the
// block and its byte order come back on every path out.
class NoteLoan {
 public:
  NoteLoan(tEndInd& parser, std::vector<std::uint8_t>& bytes, bool little_endian)
      : parser_(parser), bytes_(bytes), big_endian_(parser.BigEndian()) {
    parser_.SwapBuffer(bytes_);
    if (little_endian) parser_.SetBigEndian(false);
  }
  ~NoteLoan() {
    parser_.SwapBuffer(bytes_);
    parser_.SetBigEndian(big_endian_);
  }
  NoteLoan(const NoteLoan&) = delete;
  NoteLoan& operator=(const NoteLoan&) = delete;

 private:
  tEndInd& parser_;
  std::vector<std::uint8_t>& bytes_;
  bool big_endian_;
};

// [offset, offset + n) lies wholly inside `bytes`.
bool Inside(const std::vector<std::uint8_t>& bytes, std::int64_t offset, std::uint64_t n) {
  return offset >= 0 && static_cast<std::uint64_t>(offset) <= bytes.size() &&
         bytes.size() - static_cast<std::uint64_t>(offset) >= n;
}

std::span<const std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::int64_t offset,
                                    std::uint64_t n) {
  return std::span<const std::uint8_t>(bytes).subspan(static_cast<std::size_t>(offset),
                                                      static_cast<std::size_t>(n));
}

std::string Quoted(std::span<const std::uint8_t> bytes) {
  std::string text(1, '"');
  text.append(bytes.begin(), bytes.end());
  text += '"';
  return text;
}

std::string MakerKey(std::string_view make) {
  std::string key(make.substr(0, 5));
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return key;
}

// The character after the model's first blank, or its first character when
// it has no blank ("NIKON D1X" gives 'D', "E885" gives 'E').
char ModelSeriesLetter(std::string_view model) {
  const std::size_t blank = model.find(' ');
  const std::size_t at = blank == std::string_view::npos ? 0 : blank + 1;
  return at < model.size() ? model[at] : '\0';
}

}  // namespace

bool TImageInfo::WalkMakerNote(std::vector<std::uint8_t> note, std::span<const TTagRow> table,
                               std::int64_t directory, const TMakerOffsetRule& rule) {
  try {
    NoteLoan loan(*this, note, rule.LittleEndian);
    const std::vector<std::uint8_t>& block = note;  // after the swap
    const std::int64_t note_pos = maker_note_pos_;

    // The entries follow the layout of a TIFF directory (TIFF 6.0 section 2).
    const std::uint32_t count = GetU16(directory);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (entries_seen_ >= kMaxDirectoryEntriesPerScan)
        throw EExifError("Too many directory entries");
      ++entries_seen_;
      const std::int64_t e = directory + 2 + 12 * std::int64_t{i};
      const std::uint16_t tag = GetU16(e);
      const std::uint16_t format = GetU16(e + 2);
      const std::uint32_t n = GetU32(e + 4);
      const std::uint32_t field = GetU32(e + 8);  // the whole entry lies in the note
      const std::uint64_t bytes = std::uint64_t{n} * FormatSize(format);

      const TTagRow* row = FindTagRow(table, tag);
      if (!row || IsSkipRow(row->Label)) continue;

      std::span<const std::uint8_t> raw;
      std::int64_t block_pos = 0;
      if (bytes <= 4) {
        raw = Slice(buffer_, e + 8, bytes);
        block_pos = note_pos + e + 8;
      } else if (const std::int64_t at = std::int64_t{field} + rule.NoteShift;
                 Inside(buffer_, at, bytes)) {
        raw = Slice(buffer_, at, bytes);
        block_pos = note_pos + at;
      } else if (rule.FromBlock) {
        block_pos = std::int64_t{field} + rule.BlockShift;
        if (!Inside(block, block_pos, bytes)) throw EExifError("Value outside the EXIF block");
        raw = Slice(block, block_pos, bytes);
      } else {
        continue;
      }
      if (kMaxValueBytesPerScan - value_bytes_kept_ < raw.size())
        throw EExifError("Too much value data");
      value_bytes_kept_ += raw.size();

      std::string text;
      if (format == kFormatAscii) {
        text = Quoted(raw.first(static_cast<std::size_t>(
            std::find(raw.begin(), raw.end(), std::uint8_t{0}) - raw.begin())));
      } else if (format == kFormatUndefined) {
        text = Quoted(raw);
      } else {
        try {
          text = FormatValue(raw, format, row->CodeTable, {});
        } catch (const Exception&) {
          text = Quoted(raw);
        }
      }

      // Appended directly: maker tables use tag 0 for real tags ("Version",
      // "ModelID"), which AddEntry would drop.
      TTagEntry entry = TTagEntry::FromRow(*row);
      entry.EntryKind = 1;
      entry.FormatCode = format;
      entry.ValueText = std::move(text);
      entry.RawBytes.assign(raw.begin(), raw.end());
      entry.RawLength = static_cast<std::int32_t>(raw.size());
      entry.ValuePos = static_cast<std::int32_t>(block_pos);
      entries_.push_back(std::move(entry));
    }
    return true;
  } catch (const std::exception& failure) {
    container_.SetStatusText(std::string(kMakerErrorPrefix) + failure.what());
    return false;
  }
}

bool TmsInfo::ReadMakerNote() {
  TImageInfo& info = info_;
  const std::string key = MakerKey(info.MakeText());
  // TIFF offsets count from the TIFF header: block offset X + 8 in an EXIF
  // segment, X - 8 in a TIFF file's block (which starts after the header).
  const std::int64_t base = from_tiff_ ? -8 : 8;
  const std::int64_t note_pos = info.MakerNotePos();
  const TMakerOffsetRule tiff_relative{base - note_pos, false, base, false};

  std::span<const TTagRow> table;
  std::int64_t directory = 0;
  TMakerOffsetRule rule = tiff_relative;
  if (key == "NIKON") {
    const std::vector<std::uint8_t>& note = info.MakerNote();
    static constexpr std::string_view kNikon = "Nikon";
    const bool own_header =
        info.VersionText() > "0210" ||
        (info.VersionText().empty() && from_tiff_ && ModelSeriesLetter(info.ModelText()) == 'D');
    if (own_header) {
      // "Nikon\0" 2 x x, then a TIFF header at note offset 10 whose first
      // directory follows it.
      table = kNikonNewTags;
      directory = 18;
      rule = TMakerOffsetRule{10, false, 0, false};
    } else if (note.size() >= kNikon.size() &&
               std::equal(kNikon.begin(), kNikon.end(), note.begin())) {
      table = kNikonOldTags;
      directory = 8;
    } else {
      table = kNikonNewTags;
    }
  } else if (key == "OLYMP") {
    table = kOlympusTags;
    directory = 8;
    rule.FromBlock = true;
  } else if (key == "CASIO") {
    table = kCasioTags;
  } else if (key == "FUJIF") {
    // "FUJIFILM" and a 4-byte directory offset; offsets count from the
    // note's start, always little-endian.
    table = kFujiTags;
    directory = 12;
    rule = TMakerOffsetRule{0, false, 0, true};
  } else if (key == "CANON") {
    table = kCanonTags;
  } else if (key == "SEIKO") {
    table = kSeikoTags;
    directory = 8;
  } else if (key == "SANYO") {
    table = kSanyoTags;
    directory = 8;
  } else if (key == "MINOL") {
    table = kMinoltaTags;
  } else {
    return false;
  }
  info.WalkMakerNote(info.MakerNote(), table, directory, rule);
  return true;
}

// Runs inside the EXIF walk, right after the MakerNote entry's bytes and
// position were stored; whatever happens in the note stays in the note.
void TImageInfo::ReadMakerNote() {
  try {
    TmsInfo reader(from_tiff_, *this);
    reader.ReadMakerNote();
  } catch (const std::exception& failure) {
    container_.SetStatusText(std::string(kMakerErrorPrefix) + failure.what());
  }
}

}  // namespace skalo
