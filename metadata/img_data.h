// TimgData: the metadata container of one source image file.
//
// Scanning. For a JPEG file it walks the marker segments at the head of the
// file (ITU T.81 annex B) and keeps the ones that carry metadata: the EXIF
// segment APP1 (EXIF 2.2 section 4.5.4), the IPTC segment APP13, the comment
// segment COM and the JFIF segment APP0. Only the head is read: the walk ends
// at SOS, at EOI, after the 20th segment, or at the fifth segment when none
// of the first five carried metadata. For a TIFF file it reads a window of
// kTiffBlockWindow bytes after the 8-byte header and walks the directory
// that follows the header. The EXIF directories are parsed by a TImageInfo
// (ExifInfo()).
//
// Carrying over. InjectExif writes the stored EXIF, APP13 and COM segments
// into an encoded JPEG result, after rewriting the pixel size recorded in the
// EXIF block to the result's size.
//
// How the resize job uses it (one container per job, list level 255):
//
//   TimgData data(255);
//   bool loaded = data.ScanFile(path);           // true: metadata found
//   if (data.HasExif()) {
//     std::string text = data.ExifInfo()->SummaryText();        // EXIF property
//     data.InjectExif(jpeg_encoder, /*adjust=*/true);           // JPEG results
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
  // the status a failing walk left.
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

  // Rewrites the encoded JPEG held by `jpeg` so that it starts with SOI, the
  // stored EXIF segment, the first APP13 and the last COM segment, followed
  // by the encoder's output without its leading APP0, APP1, APP13 and COM
  // segments (so a JFIF APP0 is dropped). With `adjust`, the pixel size in
  // the EXIF block is first set to the JPEG's (PatchDimensions). Answers
  // `jpeg`. Does nothing without an EXIF segment, nothing for a block read
  // from a TIFF file (that block is not a JPEG segment), and nothing when the
  // object's encoded data does not start with SOI. Failures of the object's
  // save and load (EJPEG) pass to the caller.
  TJPEGImage& InjectExif(TJPEGImage& jpeg, bool adjust);
  // SOI, then each stored EXIF, APP13 and COM segment as 0xFF, its marker
  // code and its Data. Without an EXIF segment from a JPEG file: just SOI.
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
  std::string source_path_;
  std::time_t source_stamp_ = 0;
  std::int64_t source_bytes_ = 0;
  std::string status_text_;
  std::unique_ptr<TImageInfo> exif_info_;
  std::unique_ptr<TIPTCdata> iptc_info_;
};

}  // namespace skalo
