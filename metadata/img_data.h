// TimgData: the metadata container of one source image file.
//
// Scanning. For a JPEG file it walks the marker segments at the head of the
// file (ITU T.81 annex B) and keeps the ones that carry metadata: the EXIF
// segment APP1 (EXIF 2.2 section 4.5.4), the IPTC segment APP13, the comment
// segment COM and the JFIF segment APP0. Only the head is read: the walk ends
// at SOS, at EOI, after the 20th segment, or at the fifth segment when none
// of the first five carried metadata. APP2 segments of an embedded ICC
// profile (ICC.1 annex B.4) are kept aside, outside the segment table, and
// carried only when they form one whole profile. For a TIFF file it reads a
// window of kTiffBlockWindow bytes after the 8-byte header and walks the
// directory that follows the header. The EXIF directories are parsed by a
// TImageInfo (ExifInfo()).
//
// Carrying over. InjectExif writes the stored EXIF, ICC profile, APP13 and
// COM segments into an encoded JPEG result, after rewriting the pixel size
// (and, on request, the orientation) recorded in the EXIF block.
//
// How the resize job uses it (one container per job, list level 255):
//
//   TimgData data(255);
//   bool loaded = data.ScanFile(path);           // true: EXIF, APP13 or COM found
//   int orientation = data.Orientation();        // 1..8, 1 without EXIF
//   ... decode, ApplyExifOrientation(bitmap, orientation), then
//   data.SetCarriedOrientationUpright();         // the pixels are upright now
//   if (data.HasExif() || data.HasIccProfile())
//     data.InjectExif(jpeg_encoder, /*adjust=*/true);           // JPEG results
//   if (data.HasExif()) {
//     std::string text = data.ExifInfo()->SummaryText();        // EXIF property
//     std::vector<std::string> lines = data.ExifInfo()->XmlLines(2);  // XML result
//   }
//
// HasExif() implies ExifInfo() != nullptr. Nothing here raises to the caller
// except InjectExif, whose failures are those of the JPEG object's save and
// load (EJPEG). Every scan ends in a Boolean plus StatusText().
//
// Not thread-safe: one container is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "metadata/end_ind.h"
#include "metadata/exif_info.h"

namespace skalo {

class TJPEGImage;
class TIPTCdata;
namespace metadata_detail {
class ScanInput;
}

// One stored JPEG segment.
struct tSection {
  // The two length bytes as in the file, then the payload; its size equals
  // SegLength (a TIFF block stored in slot 1 has neither).
  std::vector<std::uint8_t> Data;
  std::int32_t MarkerCode = 0;  // the byte after 0xFF: 0xE1 for APP1 ...
  std::int32_t SegLength = 0;   // the big-endian length field, counting itself
};

// The walk keeps at most this many segments.
inline constexpr int kMaxStoredSegments = 20;
// Bytes of a TIFF file read after its header.
inline constexpr std::size_t kTiffBlockWindow = 256000;
// The largest ICC profile carried, counted as the bytes of its segments; a
// larger one is dropped whole. Its segments number at most 255 (one count
// byte), so the walk reads at most that many beside the stored ones.
inline constexpr std::size_t kMaxIccProfileBytes = std::size_t{4} << 20;
inline constexpr std::size_t kMaxIccSegments = 255;

// Status texts of a scan.
inline constexpr char kStatusNone[] = "<none>";
inline constexpr char kStatusNotExif[] = "Not an EXIF file";
inline constexpr char kStatusIllegalConstruction[] = "Illegal Exif construction";
inline constexpr char kStatusIncorrectHeader[] = "Incorrect Exif header";
inline constexpr char kStatusInvalidAlignment[] = "Invalid Exif alignment marker";

// JPEG marker codes the walk looks at.
enum : std::uint8_t {
  kMarkerSOI = 0xD8,
  kMarkerEOI = 0xD9,
  kMarkerSOS = 0xDA,
  kMarkerAPP0 = 0xE0,
  kMarkerAPP1 = 0xE1,
  kMarkerAPP2 = 0xE2,
  kMarkerAPP13 = 0xED,
  kMarkerCOM = 0xFE,
};

class TimgData : public tEndInd {
 public:
  // `list_level` is handed to the parser; the service passes 255 (every
  // value rendered, every known entry kept).
  explicit TimgData(std::int32_t list_level = 255);
  TimgData(const TimgData&) = delete;
  TimgData& operator=(const TimgData&) = delete;
  ~TimgData() override;

  // Forgets the last scan: slot references, source facts, status, parser.
  void Clear();

  // Reads the metadata of the file at `path` (8-bit path). By extension,
  // lower-cased: ".jpg", ".jpeg", ".jpe" walk the JPEG segments; ".tif",
  // ".tiff", ".nef" read the TIFF block. True when metadata was found; then
  // StatusText() is "<none>". False with an empty status when no file
  // exists, "Not an EXIF file" for other extensions and files without
  // metadata, "Illegal Exif construction" when the file cannot be read, or
  // the status a failing walk left. An ICC profile alone does not make the
  // result true (HasIccProfile() tells).
  bool ScanFile(const std::string& path);
  // The same scans over bytes in memory (no source path, size or date).
  bool ScanJpegData(std::span<const std::uint8_t> file);
  bool ScanTiffData(std::span<const std::uint8_t> file);

  // An EXIF segment (or TIFF block) is stored.
  bool HasExif() const noexcept { return exif_slot_ >= 0; }
  // An EXIF, COM or APP13 segment is stored.
  bool HasMetadata() const noexcept {
    return exif_slot_ >= 0 || comment_slot_ >= 0 || iptc_slot_ >= 0;
  }

  // A whole ICC profile was found: IccSegments() is not empty.
  bool HasIccProfile() const noexcept { return !icc_segments_.empty(); }
  // The APP2 segments of the profile, in sequence order, each as read
  // (MarkerCode 0xE2; Data: length bytes, "ICC_PROFILE\0", sequence number,
  // count, profile bytes). Empty unless the last JPEG walk met segments
  // whose counts all agree and whose sequence numbers are 1..count, each
  // once, with at most kMaxIccProfileBytes in all.
  const std::vector<tSection>& IccSegments() const noexcept { return icc_segments_; }

  // The EXIF orientation of the stored raster (tag 0x0112 of the first
  // directory, see TImageInfo::Orientation): 1..8, 1 without EXIF.
  int Orientation() const noexcept;
  // Makes the EXIF block carried into results say orientation 1 (for a job
  // that turned the pixels upright): the stored tag's value is rewritten in
  // place, in the block's byte order, and nothing else changes. Does nothing
  // when Orientation() is 1 (no tag, or a value outside 2..8, which no
  // viewer turns by either), or for a block read from a TIFF file.
  // Orientation() keeps answering the source's value.
  void SetCarriedOrientationUpright();

  // Rewrites the encoded JPEG held by `jpeg` so that it carries the stored
  // metadata, and answers `jpeg`.
  //
  // With an EXIF segment: SOI, the EXIF segment, the ICC profile's
  // segments, the first APP13 and the last COM segment, followed by the
  // encoder's output without its leading APP0, APP1, APP13 and COM segments.
  // The EXIF APP1 must follow SOI directly (EXIF 2.2 section 4.5.4), so the
  // encoder's JFIF APP0 is dropped. With `adjust`, the pixel size in the
  // EXIF block is first set to the JPEG's (PatchDimensions).
  //
  // Without one (or with a block read from a TIFF file, which is not a JPEG
  // segment) but with an ICC profile: the encoder's output with the
  // profile's segments inserted after its leading APP0 segments, so a JFIF
  // APP0 stays first (JFIF 1.02); APP13 and COM are not carried.
  //
  // Does nothing when there is neither, and nothing when the object's
  // encoded data does not start with SOI. Failures of the object's save and
  // load (EJPEG) pass to the caller.
  TJPEGImage& InjectExif(TJPEGImage& jpeg, bool adjust);
  // What InjectExif writes ahead of the encoder's frame when an EXIF segment
  // is carried: SOI, then the stored EXIF segment, the ICC profile's
  // segments, the APP13 and the COM segment, each as 0xFF, its marker code
  // and its Data. Without an EXIF segment from a JPEG file: just SOI.
  std::vector<std::uint8_t> BuildHeader() const;

  // The parsed EXIF directories, or nullptr before an EXIF block was found.
  TImageInfo* ExifInfo() const noexcept { return exif_info_.get(); }
  // The dataset list of the first APP13 segment, or nullptr when the last
  // scan stored none. The walk creates it but does not parse it (see
  // TIPTCdata::ParseSegment); a scan empties it. The object lives as long as
  // the container, so its own ReadFile may rescan through it.
  TIPTCdata* IptcInfo() const noexcept { return iptc_slot_ >= 0 ? iptc_info_.get() : nullptr; }

  // Stored segments of the last walk, numbered 1..SegmentCount() (EExifError
  // for any other number).
  std::int32_t SegmentCount() const noexcept { return segment_count_; }
  const tSection& Segment(std::int32_t number) const;
  // The EXIF segment, first APP13, last COM and last APP0, or nullptr.
  const tSection* ExifSlot() const noexcept { return Slot(exif_slot_); }
  const tSection* IptcSlot() const noexcept { return Slot(iptc_slot_); }
  const tSection* CommentSlot() const noexcept { return Slot(comment_slot_); }
  const tSection* App0Slot() const noexcept { return Slot(app0_slot_); }
  // The EXIF slot holds a TIFF file's raw directory block, not a segment.
  bool ExifFromTiff() const noexcept { return exif_from_tiff_; }

  // True while a TIFF file is being scanned.
  bool FromTiff() const noexcept { return from_tiff_; }
  std::int32_t ListLevel() const noexcept { return list_level_; }
  const std::string& SourcePath() const noexcept { return source_path_; }
  // Last-write time of the source file (0 when not scanned from a file).
  std::time_t SourceStamp() const noexcept { return source_stamp_; }
  std::int64_t SourceBytes() const noexcept { return source_bytes_; }
  // "<none>" after a successful scan, else why the last scan failed.
  const std::string& StatusText() const noexcept { return status_text_; }
  void SetStatusText(std::string text) { status_text_ = std::move(text); }

 private:
  friend class TImageInfo;  // PatchDimensions writes into the EXIF slot
  using Input = metadata_detail::ScanInput;

  const tSection* Slot(int index) const noexcept {
    return index >= 0 ? &segments_[static_cast<std::size_t>(index)] : nullptr;
  }
  bool FinishScan(bool found);
  bool ScanJpeg(Input& input);
  bool WalkSegments(Input& input);
  // Moves `slot` into the ICC list when it is an ICC profile segment that
  // fits the limits; true when it was taken.
  bool TakeIccSegment(tSection& slot);
  // Keeps the ICC list only when it forms one whole profile, sorted.
  void FinishIccProfile();
  // Carries from the EXIF segment of a JPEG file (not a TIFF block).
  bool CarriesExif() const noexcept { return HasExif() && !exif_from_tiff_; }
  void ParseExifBlock();
  bool ScanTiff(Input& input);

  std::array<tSection, kMaxStoredSegments> segments_;
  bool from_tiff_ = false;
  std::int32_t list_level_ = 255;
  std::int32_t segment_count_ = 0;
  int exif_slot_ = -1;  // 0-based index into segments_, -1 for none
  int iptc_slot_ = -1;
  int comment_slot_ = -1;
  int app0_slot_ = -1;
  bool exif_from_tiff_ = false;
  // ICC segments in walk order, until FinishIccProfile sorts or drops them.
  std::vector<tSection> icc_segments_;
  std::size_t icc_bytes_ = 0;  // of their Data
  bool icc_refused_ = false;   // a segment broke the limits: none is carried
  // The TIFF header's first-directory offset was 8, so the directory walked
  // really is the first one.
  bool tiff_first_directory_ = false;
  std::string source_path_;
  std::time_t source_stamp_ = 0;
  std::int64_t source_bytes_ = 0;
  std::string status_text_;
  std::unique_ptr<TImageInfo> exif_info_;
  std::unique_ptr<TIPTCdata> iptc_info_;
};

}  // namespace skalo
