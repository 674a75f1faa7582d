#include "metadata/img_data.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "imaging/jpeg.h"
#include "metadata/iptc.h"

namespace skalo {

// A sequential byte source for the scans: a file read from its start (only
// as far as the walk goes) or bytes in memory.
namespace metadata_detail {

class ScanInput {
 public:
  virtual ~ScanInput() = default;
  // Reads up to `n` bytes; fewer only at the end of the data.
  virtual std::size_t Read(std::uint8_t* out, std::size_t n) = 0;

  bool ReadExact(std::uint8_t* out, std::size_t n) { return Read(out, n) == n; }
  bool ReadByte(std::uint8_t& out) { return Read(&out, 1) == 1; }
};

}  // namespace metadata_detail

namespace {

class MemoryInput final : public metadata_detail::ScanInput {
 public:
  explicit MemoryInput(std::span<const std::uint8_t> bytes) : reader_(bytes) {}
  std::size_t Read(std::uint8_t* out, std::size_t n) override {
    const auto bytes = reader_.bytes(std::min(n, reader_.remaining()));
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
  }

 private:
  ByteReader reader_;
};

class FileInput final : public metadata_detail::ScanInput {
 public:
  explicit FileInput(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
    if (!file_) throw EFOpenError("Cannot open file \"" + path + "\"");
  }
  std::size_t Read(std::uint8_t* out, std::size_t n) override {
    return std::fread(out, 1, n, file_.get());
  }

 private:
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
};

// Resets a flag on every path out of a scope.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

TimgData::TimgData(std::int32_t list_level) : list_level_(list_level) {
  Clear();
}

TimgData::~TimgData() = default;

void TimgData::Clear() {
  // The segment slots keep their bytes; the next walk overwrites them.
  segment_count_ = 0;
  exif_slot_ = iptc_slot_ = comment_slot_ = app0_slot_ = -1;
  exif_from_tiff_ = false;
  icc_segments_.clear();
  icc_bytes_ = 0;
  icc_refused_ = false;
  tiff_first_directory_ = false;
  source_path_.clear();
  source_stamp_ = 0;
  source_bytes_ = 0;
  status_text_.clear();
  exif_info_.reset();
  if (iptc_info_) iptc_info_->Clear();
  big_endian_ = false;
  buffer_.clear();
}

const tSection& TimgData::Segment(std::int32_t number) const {
  if (number < 1 || number > segment_count_) throw EExifError("Segment number out of range");
  return segments_[static_cast<std::size_t>(number - 1)];
}

bool TimgData::FinishScan(bool found) {
  if (found) status_text_ = kStatusNone;
  return found;
}

bool TimgData::ScanFile(const std::string& path) {
  Clear();
  if (!FileExists(path)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    source_path_ = path;
    source_stamp_ = st.st_mtime;
    source_bytes_ = static_cast<std::int64_t>(st.st_size);
  }
  status_text_ = kStatusNotExif;
  try {
    const std::string ext = LowerCaseAscii(ExtractFileExt(path));
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".jpe") {
      FileInput input(path);
      return FinishScan(ScanJpeg(input));
    }
    if (ext == ".tif" || ext == ".tiff" || ext == ".nef") {
      FileInput input(path);
      return FinishScan(ScanTiff(input));
    }
    return false;
  } catch (const Exception&) {
    status_text_ = kStatusIllegalConstruction;
    return false;
  }
}

bool TimgData::ScanJpegData(std::span<const std::uint8_t> file) {
  Clear();
  status_text_ = kStatusNotExif;
  try {
    MemoryInput input(file);
    return FinishScan(ScanJpeg(input));
  } catch (const Exception&) {
    status_text_ = kStatusIllegalConstruction;
    return false;
  }
}

bool TimgData::ScanTiffData(std::span<const std::uint8_t> file) {
  Clear();
  status_text_ = kStatusNotExif;
  try {
    MemoryInput input(file);
    return FinishScan(ScanTiff(input));
  } catch (const Exception&) {
    status_text_ = kStatusIllegalConstruction;
    return false;
  }
}

bool TimgData::ScanJpeg(Input& input) {
  from_tiff_ = false;
  bool found = false;
  try {
    found = WalkSegments(input);
  } catch (const Exception&) {
    // A malformed segment or a failing first EXIF directory: the slots
    // stored so far stay, the status keeps what the walk set.
  }
  FinishIccProfile();
  return found;
}

bool TimgData::WalkSegments(Input& input) {
  std::uint8_t soi[2];
  if (!input.ReadExact(soi, 2) || soi[0] != 0xFF || soi[1] != kMarkerSOI) return false;

  segment_count_ = 0;
  while (segment_count_ < kMaxStoredSegments) {
    // Fill bytes 0xFF before a marker code are skipped (T.81 B.1.1.2); the
    // 0xFF prefix itself is not required.
    std::uint8_t marker = 0xFF;
    while (marker == 0xFF)
      if (!input.ReadByte(marker)) return HasMetadata();
    std::uint8_t length_bytes[2];
    if (!input.ReadExact(length_bytes, 2)) return HasMetadata();
    const std::uint16_t length = static_cast<std::uint16_t>(length_bytes[0] << 8 | length_bytes[1]);
    if (length < 2) throw EExifError("Malformed JPEG segment");

    const int index = segment_count_;
    tSection& slot = segments_[static_cast<std::size_t>(index)];
    slot.MarkerCode = marker;
    slot.SegLength = length;
    slot.Data.assign(length, 0);
    slot.Data[0] = length_bytes[0];
    slot.Data[1] = length_bytes[1];
    // A segment cut off by the end of the file is not stored: written into a
    // result, its length field would claim bytes that are not there.
    if (!input.ReadExact(slot.Data.data() + 2, length - 2u)) return HasMetadata();
    // ICC segments take no slot: a profile may span many of them.
    if (marker == kMarkerAPP2 && TakeIccSegment(slot)) continue;
    segment_count_ = index + 1;

    if (segment_count_ == 5 && !HasMetadata()) break;

    switch (marker) {
      case kMarkerAPP1:
        if (segment_count_ <= 5 && exif_slot_ < 0) {
          exif_slot_ = index;
          exif_info_ = std::make_unique<TImageInfo>(*this, list_level_);
          buffer_ = slot.Data;
          ParseExifBlock();
        } else {
          segment_count_ = index;  // dropped: the next segment reuses the slot
        }
        break;
      case kMarkerEOI:
      case kMarkerSOS:
        return HasMetadata();
      case kMarkerAPP0:
        app0_slot_ = index;
        break;
      case kMarkerAPP13:
        // The IPTC dataset list attaches to this first APP13 slot (left
        // unparsed); later APP13 segments stay in the table unreferenced.
        if (iptc_slot_ < 0) {
          iptc_slot_ = index;
          if (!iptc_info_) iptc_info_ = std::make_unique<TIPTCdata>(*this);
        }
        break;
      case kMarkerCOM:
        comment_slot_ = index;
        break;
      default:
        break;
    }
  }
  return HasMetadata();
}

namespace {

// ICC.1 annex B.4: an APP2 payload of the identifier, the segment's
// sequence number (from 1) and the number of segments, then profile bytes.
constexpr std::uint8_t kIccId[] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
// Data offsets (after the two length bytes) of the sequence number and count.
constexpr std::size_t kIccSequencePos = 2 + sizeof kIccId;
constexpr std::size_t kIccCountPos = kIccSequencePos + 1;

bool IsIccSegment(const tSection& slot) {
  const std::vector<std::uint8_t>& d = slot.Data;
  return d.size() >= kIccSequencePos &&
         std::equal(std::begin(kIccId), std::end(kIccId), d.begin() + 2);
}

}  // namespace

bool TimgData::TakeIccSegment(tSection& slot) {
  if (icc_refused_ || !IsIccSegment(slot)) return false;
  // A segment too short for its numbers, or one past the limits, spoils the
  // profile; further ICC segments then take slots like any other, so the
  // walk stays bounded.
  if (slot.Data.size() <= kIccCountPos || icc_segments_.size() >= kMaxIccSegments ||
      kMaxIccProfileBytes - icc_bytes_ < slot.Data.size()) {
    icc_refused_ = true;
    icc_segments_.clear();
    return false;
  }
  icc_bytes_ += slot.Data.size();
  icc_segments_.push_back(std::move(slot));
  slot = tSection{};
  return true;
}

void TimgData::FinishIccProfile() {
  // Every segment names the same count, and the sequence numbers are 1 to
  // that count, each once; anything else carries no profile at all.
  const std::size_t n = icc_segments_.size();
  bool whole = !icc_refused_ && n > 0;
  if (whole) {
    std::array<bool, kMaxIccSegments + 1> seen{};
    for (const tSection& s : icc_segments_) {
      const std::uint8_t sequence = s.Data[kIccSequencePos];
      if (s.Data[kIccCountPos] != n || sequence == 0 || sequence > n || seen[sequence]) {
        whole = false;
        break;
      }
      seen[sequence] = true;
    }
  }
  if (!whole) {
    icc_segments_.clear();
    return;
  }
  std::sort(icc_segments_.begin(), icc_segments_.end(), [](const tSection& a, const tSection& b) {
    return a.Data[kIccSequencePos] < b.Data[kIccSequencePos];
  });
}

void TimgData::ParseExifBlock() {
  // EXIF 2.2 section 4.5.4: after the length bytes, "Exif\0" and a pad byte,
  // then the TIFF header (byte order, 42, offset of the first directory).
  static constexpr std::uint8_t kExifId[] = {'E', 'x', 'i', 'f', 0};
  if (buffer_.size() < 7 ||
      !std::equal(std::begin(kExifId), std::end(kExifId), buffer_.begin() + 2)) {
    status_text_ = kStatusIncorrectHeader;
    return;
  }
  if (buffer_.size() >= 10 && buffer_[8] == 'I' && buffer_[9] == 'I') {
    big_endian_ = false;
  } else if (buffer_.size() >= 10 && buffer_[8] == 'M' && buffer_[9] == 'M') {
    big_endian_ = true;
  } else {
    status_text_ = kStatusInvalidAlignment;
    return;
  }
  exif_info_->SetBuffer(buffer_);
  exif_info_->SetBigEndian(big_endian_);
  // TIFF offsets count from the TIFF header at block offset 8.
  const std::uint32_t first = GetU32(12);
  const std::int64_t start = first == 0 ? 16 : std::int64_t{first} + 8;
  const auto length = static_cast<std::int64_t>(buffer_.size());
  exif_info_->WalkDirectory(start, 8, length, kExifDirectory);
  exif_info_->DeriveFocal35();
}

bool TimgData::ScanTiff(Input& input) {
  FlagScope scanning(from_tiff_);
  try {
    std::uint8_t header[8];
    if (!input.ReadExact(header, 2)) return false;
    const bool motorola = header[0] == 'M' && header[1] == 'M';
    if (!motorola && !(header[0] == 'I' && header[1] == 'I')) return false;
    // The rest of the header (42 and the first-directory offset) is not used:
    // the first directory is taken to follow the header directly.
    if (!input.ReadExact(header + 2, 6)) return false;
    tiff_first_directory_ =
        motorola ? (header[4] == 0 && header[5] == 0 && header[6] == 0 && header[7] == 8)
                 : (header[4] == 8 && header[5] == 0 && header[6] == 0 && header[7] == 0);

    std::vector<std::uint8_t> block(kTiffBlockWindow);
    block.resize(input.Read(block.data(), block.size()));

    segment_count_ = 1;
    tSection& slot = segments_[0];
    slot.Data = block;
    slot.MarkerCode = 0;
    slot.SegLength = 0;
    exif_slot_ = 0;
    exif_from_tiff_ = true;

    exif_info_ = std::make_unique<TImageInfo>(*this, list_level_);
    exif_info_->SetFromTiff(true);
    exif_info_->SetBigEndian(motorola);
    const auto length = static_cast<std::int64_t>(block.size());
    exif_info_->SetBuffer(block);
    buffer_ = std::move(block);
    // A TIFF offset X is block offset X - 8.
    exif_info_->WalkDirectory(0, -8, length, kExifDirectory);
    exif_info_->DeriveFocal35();
    return true;
  } catch (const Exception&) {
    return false;
  }
}

namespace {

void AppendSegment(std::vector<std::uint8_t>& out, const tSection& slot) {
  out.push_back(0xFF);
  out.push_back(static_cast<std::uint8_t>(slot.MarkerCode));
  out.insert(out.end(), slot.Data.begin(), slot.Data.end());
}

}  // namespace

std::vector<std::uint8_t> TimgData::BuildHeader() const {
  std::vector<std::uint8_t> header = {0xFF, kMarkerSOI};
  if (!CarriesExif()) return header;
  AppendSegment(header, *ExifSlot());
  for (const tSection& segment : icc_segments_)
    AppendSegment(header, segment);
  for (const tSection* slot : {IptcSlot(), CommentSlot()})
    if (slot) AppendSegment(header, *slot);
  return header;
}

int TimgData::Orientation() const noexcept {
  if (!exif_info_ || (exif_from_tiff_ && !tiff_first_directory_)) return 1;
  return exif_info_->Orientation();
}

void TimgData::SetCarriedOrientationUpright() {
  if (CarriesExif() && exif_info_) exif_info_->PatchOrientationUpright();
}

namespace {

// Position after the encoder's own leading APP0, APP1, APP13 and COM
// segments (at most one of each, in that order), which the stored segments
// replace. A length that runs past the end is not skipped.
std::size_t SkipEncoderSegments(const std::vector<std::uint8_t>& bytes) {
  std::size_t p = 2;
  for (const std::uint8_t code : {kMarkerAPP0, kMarkerAPP1, kMarkerAPP13, kMarkerCOM}) {
    if (bytes.size() - p < 4 || bytes[p + 1] != code) continue;
    const std::size_t length = std::size_t{bytes[p + 2]} << 8 | bytes[p + 3];
    if (bytes.size() - p - 2 < length) break;
    p += length + 2;
  }
  return p;
}

// Position after the encoder's leading APP0 segments (JFIF, and a JFXX
// extension if any), where an ICC profile goes when no EXIF segment leads.
std::size_t SkipLeadingApp0(const std::vector<std::uint8_t>& bytes) {
  std::size_t p = 2;
  while (bytes.size() - p >= 4 && bytes[p] == 0xFF && bytes[p + 1] == kMarkerAPP0) {
    const std::size_t length = std::size_t{bytes[p + 2]} << 8 | bytes[p + 3];
    if (length < 2 || bytes.size() - p - 2 < length) break;
    p += length + 2;
  }
  return p;
}

}  // namespace

TJPEGImage& TimgData::InjectExif(TJPEGImage& jpeg, bool adjust) {
  const bool exif = CarriesExif();
  if (!exif && !HasIccProfile()) return jpeg;
  if (exif && adjust && exif_info_) exif_info_->PatchDimensions(jpeg.Width(), jpeg.Height());

  TMemoryStream stream;
  jpeg.SaveToStream(stream);
  const std::vector<std::uint8_t>& encoded = stream.Bytes();
  if (encoded.size() < 2 || encoded[0] != 0xFF || encoded[1] != kMarkerSOI) return jpeg;

  std::vector<std::uint8_t> bytes;
  std::size_t rest = 0;
  if (exif) {
    bytes = BuildHeader();
    rest = SkipEncoderSegments(encoded);
  } else {
    rest = SkipLeadingApp0(encoded);
    bytes.assign(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(rest));
    for (const tSection& segment : icc_segments_)
      AppendSegment(bytes, segment);
  }
  bytes.insert(bytes.end(), encoded.begin() + static_cast<std::ptrdiff_t>(rest), encoded.end());
  jpeg.LoadFromBytes(std::move(bytes));
  return jpeg;
}

}  // namespace skalo
