#include "metadata/exif_info.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "metadata/img_data.h"
#include "metadata/number_text.h"

namespace skalo {

namespace {

// Tags the walk acts on beyond rendering them.
enum : std::uint16_t {
  kTagImageWidth = 0x0100,
  kTagImageLength = 0x0101,
  kTagMake = 0x010F,
  kTagModel = 0x0110,
  kTagOrientation = 0x0112,
  kTagDateTime = 0x0132,
  kTagSubIFDs = 0x014A,
  kTagExifOffset = 0x8769,
  kTagGpsInfo = 0x8825,
  kTagExifVersion = 0x9000,
  kTagDateTimeOriginal = 0x9003,
  kTagFlash = 0x9209,
  kTagMakerNote = 0x927C,
  kTagUserComment = 0x9286,
  kTagExifImageWidth = 0xA002,
  kTagExifImageLength = 0xA003,
  kTagInteroperabilityOffset = 0xA005,
  kTagFocalLength35 = 0xA405,
};

// Values shown without a decoder: the first 50 characters, control
// characters as ".".
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, 50));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = '.';
  return out;
}

std::string Prefix(std::string_view text, std::size_t n) {
  return std::string(text.substr(0, n));
}

// Counts the depth of nested directories on every path out of a walk.
class DepthScope {
 public:
  explicit DepthScope(int& depth) : depth_(depth) { ++depth_; }
  ~DepthScope() { --depth_; }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;

 private:
  int& depth_;
};

}  // namespace

TImageInfo::TImageInfo(TimgData& container, std::int32_t list_level)
    : container_(container), list_level_(list_level) {}

TImageInfo::~TImageInfo() = default;

void TImageInfo::RefuseDirectory() {
  container_.SetStatusText(kIllegalDirectoryText);
}

void TImageInfo::WalkDirectory(std::int64_t start, std::int64_t base, std::int64_t length,
                               int kind) {
  // TIFF 6.0 section 2: a 2-byte entry count, then 12-byte entries of tag,
  // type, count and value (or the offset of a value longer than 4 bytes).
  const std::int64_t limit =
      std::min<std::int64_t>(length, static_cast<std::int64_t>(buffer_.size()));
  if (start < 0 || start > limit || limit - start < 2) {
    RefuseDirectory();
    return;
  }
  const std::uint32_t count = GetU16(start);
  if ((limit - start - 2) / 12 < count) {
    RefuseDirectory();
    return;
  }
  // A directory met twice (a cycle, or two pointers to one place), nested too
  // deep, or beyond what one scan reads is not walked.
  if (depth_ >= kMaxDirectoryDepth || visited_directories_.count(start) != 0 ||
      kMaxDirectoryEntriesPerScan - entries_seen_ < count) {
    RefuseDirectory();
    return;
  }
  visited_directories_.insert(start);
  entries_seen_ += count;
  DepthScope depth(depth_);

  const std::span<const TTagRow> table =
      kind == kGpsDirectory ? kGpsTagTable : kExifTagTable.first(kExifTagTableRows - 1);

  for (std::uint32_t i = 0; i < count; ++i) {
    const std::int64_t e = start + 2 + 12 * std::int64_t{i};
    const std::uint16_t tag = GetU16(e);
    const std::uint16_t format = GetU16(e + 2);
    const std::uint32_t n = GetU32(e + 4);
    const std::uint64_t bytes = std::uint64_t{n} * FormatSize(format);
    if (bytes == 0) continue;

    const std::int64_t p = bytes > 4 ? std::int64_t{GetU32(e + 8)} + base : e + 8;
    const std::span<const std::uint8_t> raw = BlockBytes(p, bytes);
    if (kMaxValueBytesPerScan - value_bytes_kept_ < raw.size()) {
      RefuseDirectory();
      return;
    }
    value_bytes_kept_ += raw.size();

    const TTagRow* found = FindTagRow(table, tag);
    const TTagRow& row = found ? *found : UnknownTagRow();

    std::string text;
    if (format == kFormatAscii) {
      // The last byte is normally the terminating zero.
      text.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min<std::uint64_t>(raw.size(), bytes - 1)));
    } else if (format == kFormatUndefined) {
      const auto end = std::find(raw.begin(), raw.end(), std::uint8_t{0});
      text += '"';
      text.append(raw.begin(), end);
      text += '"';
    } else {
      text = FormatValue(raw, format, row.CodeTable, row.Pattern);
    }
    text = row.TagNo != 0 && row.Decoder ? row.Decoder(text) : Printable(text);

    ExtractFields(tag, format, bytes, p, raw, base, length, text);

    TTagEntry entry = TTagEntry::FromRow(row);
    entry.ValueText = std::move(text);
    entry.RawBytes.assign(raw.begin(), raw.end());
    entry.RawLength = static_cast<std::int32_t>(raw.size());
    entry.ValuePos = static_cast<std::int32_t>(p);
    entry.FormatCode = format;
    AddEntry(entry);
  }
}

void TImageInfo::ExtractFields(std::uint16_t tag, std::uint16_t format, std::uint64_t bytes,
                               std::int64_t value_pos, std::span<const std::uint8_t> raw,
                               std::int64_t base, std::int64_t length, std::string& text) {
  switch (tag) {
    case kTagUserComment: {
      // EXIF 2.2 section 4.6.5: an 8-byte character code, then the comment;
      // the last byte is dropped as well.
      std::string comment;
      if (bytes >= 9 && raw.size() > 8) {
        const auto take =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes - 9, raw.size() - 8));
        comment.assign(raw.begin() + 8, raw.begin() + 8 + static_cast<std::ptrdiff_t>(take));
      }
      comment_text_ = std::string(TrimControl(comment));
      text = comment_text_;
      break;
    }
    case kTagMake:
      make_text_ = Prefix(text, 32);
      break;
    case kTagModel:
      model_text_ = Prefix(text, 40);
      break;
    case kTagDateTime:
    case kTagDateTimeOriginal:
      date_text_ = Prefix(text, 20);
      break;
    case kTagExifVersion:
      version_text_.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(
                                                          std::min<std::size_t>(raw.size(), 6)));
      break;
    case kTagImageWidth:
    case kTagExifImageWidth:
      // The position of the value itself: inside the entry for values of up
      // to four bytes, else where the entry's offset points.
      width_pos_ = static_cast<std::int32_t>(value_pos);
      width_format_ = format;
      pixel_width_ = RoundToInt32(NumericValue(raw, format));
      break;
    case kTagImageLength:
    case kTagExifImageLength:
      height_pos_ = static_cast<std::int32_t>(value_pos);
      height_format_ = format;
      pixel_height_ = RoundToInt32(NumericValue(raw, format));
      break;
    case kTagOrientation: {
      // Only the first directory's (depth 1); the first such entry counts.
      const bool integer = format == kFormatByte || format == kFormatShort || format == kFormatLong;
      const std::uint32_t size = FormatSize(format);
      if (depth_ == 1 && orientation_pos_ == 0 && integer && raw.size() >= size) {
        orientation_ = static_cast<std::uint32_t>(ReadUnsigned(raw.first(size)));
        orientation_pos_ = static_cast<std::int32_t>(value_pos);
        orientation_format_ = format;
      }
      break;
    }
    case kTagFlash:
      flash_value_ = RoundToInt32(NumericValue(raw, format));
      break;
    case kTagMakerNote:
      maker_note_.assign(raw.begin(), raw.end());
      maker_note_pos_ = static_cast<std::int32_t>(value_pos);
      ReadMakerNote();
      break;
    case kTagExifOffset:
    case kTagInteroperabilityOffset:
    case kTagSubIFDs:
      WalkSubDirectory(value_pos, base, length, kExifDirectory);
      break;
    case kTagGpsInfo:
      WalkSubDirectory(value_pos, base, length, kGpsDirectory);
      break;
    default:
      break;
  }
}

void TImageInfo::WalkSubDirectory(std::int64_t pointer_pos, std::int64_t base, std::int64_t length,
                                  int kind) {
  try {
    WalkDirectory(std::int64_t{GetU32(pointer_pos)} + base, base, length, kind);
  } catch (const Exception&) {
    // Ends this sub-directory only; the entries it added stay.
  }
}

std::int32_t TImageInfo::ReadUnsigned(std::span<const std::uint8_t> bytes) const {
  std::uint32_t v = 0;  // arithmetic modulo 2^32 keeps the lowest 32 bits
  if (big_endian_) {
    for (const std::uint8_t b : bytes)
      v = v * 256 + b;
  } else {
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it)
      v = v * 256 + *it;
  }
  return static_cast<std::int32_t>(v);
}

double TImageInfo::NumericValue(std::span<const std::uint8_t> raw, std::uint16_t format) const {
  switch (format) {
    case kFormatByte:
    case kFormatShort:
    case kFormatLong:
    case kFormatSByte:
    case kFormatSShort:
    case kFormatSLong:
      return ReadUnsigned(raw);
    case kFormatRational:
    case kFormatSRational: {
      if (raw.size() < 8) return 0.0;
      const std::int32_t den = ReadUnsigned(raw.subspan(4, 4));
      if (den == 0) return 0.0;
      return static_cast<double>(ReadUnsigned(raw.subspan(0, 4))) / den;
    }
    case kFormatFloat:
      if (raw.size() < 4) return 0.0;
      return std::bit_cast<float>(static_cast<std::uint32_t>(ReadUnsigned(raw.subspan(0, 4))));
    case kFormatDouble: {
      if (raw.size() < 8) return 0.0;
      const auto high =
          static_cast<std::uint32_t>(ReadUnsigned(raw.subspan(big_endian_ ? 0 : 4, 4)));
      const auto low =
          static_cast<std::uint32_t>(ReadUnsigned(raw.subspan(big_endian_ ? 4 : 0, 4)));
      return std::bit_cast<double>(std::uint64_t{high} << 32 | low);
    }
    default:
      return 0.0;
  }
}

std::string TImageInfo::FormatValue(std::span<const std::uint8_t> raw, std::uint16_t format,
                                    std::string_view code_table, std::string_view pattern) const {
  const std::uint32_t size = FormatSize(format);
  if (size == 0) return "0";
  const std::size_t k = std::min<std::size_t>(raw.size() / size, 8);
  std::string out;
  for (std::size_t j = 0; j < k; ++j) {
    const auto element = raw.subspan(j * size, size);
    if (j > 0) out += ", ";
    switch (format) {
      case kFormatByte:
      case kFormatShort:
      case kFormatLong:
      case kFormatSByte:
      case kFormatSShort:
      case kFormatSLong: {
        const std::string number = std::to_string(ReadUnsigned(element));
        out += code_table.empty() ? number : CodeLookup(code_table, number);
        break;
      }
      case kFormatRational:
      case kFormatSRational:
        out += std::to_string(ReadUnsigned(element.subspan(0, 4))) + "/" +
               std::to_string(ReadUnsigned(element.subspan(4, 4)));
        if (!code_table.empty()) out += CodeLookup(code_table, out);
        break;
      case kFormatFloat:
      case kFormatDouble:
        out += "-9999.99";
        break;
      default:  // ASCII and UNDEFINED, rendered by their callers
        out += "?";
        break;
    }
  }
  if (pattern.empty()) return out;
  const std::size_t s = pattern.find("%s");
  if (s != std::string_view::npos)
    return std::string(pattern.substr(0, s)) + out + std::string(pattern.substr(s + 2));
  return ApplyNumericPattern(pattern, NumericValue(raw, format));
}

std::int32_t TImageInfo::AddEntry(const TTagEntry& entry) {
  if (entry.TagNo != 0) entries_.push_back(entry);
  return EntryCount() - 1;
}

std::int32_t TImageInfo::FindEntry(std::string_view name) const {
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (SameText(entries_[i].Name, name)) return static_cast<std::int32_t>(i);
  return -1;
}

std::string TImageInfo::EntryValue(std::string_view name) const {
  const std::int32_t i = FindEntry(name);
  return i >= 0 ? entries_[static_cast<std::size_t>(i)].ValueText : std::string();
}

double TImageInfo::EntryNumber(std::string_view name) const {
  const std::int32_t i = FindEntry(name);
  if (i < 0) return 0.0;
  const TTagEntry& entry = entries_[static_cast<std::size_t>(i)];
  return NumericValue(entry.RawBytes, entry.FormatCode);
}

void TImageInfo::DeriveFocal35() {
  if (FindEntry("FocalLengthin35mmFilm") >= 0) return;
  std::int32_t unit = RoundToInt32(EntryNumber("FocalPlaneResolutionUnit"));
  if (unit <= 0) unit = RoundToInt32(EntryNumber("ResolutionUnit"));
  const double mm_per_unit = unit == 2 ? 25.4 : unit == 3 ? 10.0 : 0.0;
  const double focal = EntryNumber("FocalLength");
  if (mm_per_unit == 0.0 || focal == 0.0) return;

  const std::int32_t rx = RoundToInt32(EntryNumber("FocalPlaneXResolution"));
  const std::int32_t ry = RoundToInt32(EntryNumber("FocalPlaneYResolution"));
  const double w = rx > 0 ? pixel_width_ * mm_per_unit / rx : 0.0;
  const double h = ry > 0 ? pixel_height_ * mm_per_unit / ry : 0.0;
  if (!(w * h > 0.0)) return;
  // 43.27 mm is the diagonal of a 36 x 24 mm frame.
  const double focal35 = focal * 43.26661531 / std::sqrt(w * w + h * h);

  TTagEntry entry = TTagEntry::FromRow(*FindTagRow(kExifTagTable, kTagFocalLength35));
  entry.ValueText = FormatFixed(focal35, 5, 2);
  entry.Pattern = "%s mm";
  entry.FormatCode = kFormatSRational;
  AddEntry(entry);
}

void TImageInfo::PatchDimensions(std::int32_t width, std::int32_t height) {
  if (pixel_height_ <= 0 || pixel_width_ <= 0) return;
  if (width == pixel_width_ && height == pixel_height_) return;
  if (!container_.HasExif() || container_.exif_from_tiff_) return;
  std::vector<std::uint8_t>& block =
      container_.segments_[static_cast<std::size_t>(container_.exif_slot_)].Data;
  const bool big = container_.BigEndian();
  const auto put = [&](std::int32_t pos, std::uint16_t format, std::int32_t value) {
    if (format == kFormatShort)
      PutU16(block, pos, static_cast<std::uint16_t>(value), big);
    else
      PutU32(block, pos, static_cast<std::uint32_t>(value), big);
  };
  put(height_pos_, height_format_, height);
  put(width_pos_, width_format_, width);
}

void TImageInfo::PatchOrientationUpright() {
  if (Orientation() == 1 || orientation_pos_ <= 0) return;
  if (!container_.HasExif() || container_.exif_from_tiff_) return;
  std::vector<std::uint8_t>& block =
      container_.segments_[static_cast<std::size_t>(container_.exif_slot_)].Data;
  const bool big = container_.BigEndian();
  switch (orientation_format_) {
    case kFormatByte:
      if (static_cast<std::size_t>(orientation_pos_) < block.size())
        block[static_cast<std::size_t>(orientation_pos_)] = 1;
      break;
    case kFormatShort:
      PutU16(block, orientation_pos_, 1, big);
      break;
    default:  // LONG
      PutU32(block, orientation_pos_, 1, big);
      break;
  }
}

}  // namespace skalo
