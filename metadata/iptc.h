// TIPTCdata: the IPTC-IIM datasets (IPTC-NAA Information Interchange Model
// 4.1) of a JPEG source's APP13 segment, as a list of named values.
//
// The container's segment walk creates one for the first APP13 segment it
// stores (TimgData::IptcInfo()) but never parses it: the service carries
// the APP13 segment into results byte for byte. Parsing is a facility for
// callers that want the datasets:
//
//   TimgData data;
//   TIPTCdata iptc(data);
//   if (iptc.ReadFile(path))
//     std::string words = iptc.ReadDataset("Keywords", "");   // "sea,sun"
//
// Datasets are named by the table below; a dataset the table does not name
// (and the record version 2:0) is named "Custom_" and its number. The
// repeatable datasets Keywords (2:25) and SuppCategory (2:20) are kept as one
// entry whose values are joined by ",". Names are compared without regard to
// ASCII letter case.
//
// Not thread-safe; the container must outlive the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/exif_tags.h"

namespace skalo {

class TimgData;

// The datasets of the application record (2) and the pre-object record (8)
// with their record and dataset numbers (TagNo), names, descriptions (Label)
// and, in RawLength, their maximum lengths in bytes.
extern const std::span<const TTagRow> kIptcDatasetTable;
inline constexpr std::size_t kIptcDatasetTableRows = 49;

// The table row of a dataset, or nullptr.
const TTagRow* FindIptcRow(std::uint16_t record, std::uint16_t dataset);

class TIPTCdata {
 public:
  explicit TIPTCdata(TimgData& container) noexcept : container_(container) {}
  TIPTCdata(const TIPTCdata&) = delete;
  TIPTCdata& operator=(const TIPTCdata&) = delete;

  TimgData& Container() const noexcept { return container_; }
  // One entry per dataset (per name for the repeatable ones), in segment
  // order: RecordNo, TagNo (the dataset number), Name, Label, ValueText.
  const std::vector<TTagEntry>& Datasets() const noexcept { return datasets_; }
  std::int32_t DatasetCount() const noexcept { return static_cast<std::int32_t>(datasets_.size()); }
  void Clear() noexcept { datasets_.clear(); }

  // Index of the first dataset with that name, or -1.
  std::int32_t FindDataset(std::string_view name) const;
  // Removes the first dataset with that name; false when there is none.
  bool DeleteDataset(std::string_view name);
  // Sets the value of the named dataset, adding it when absent. Names are
  // those of the table or "Custom_<n>" (record 2, dataset n < 256); false,
  // changing nothing, for any other name.
  bool SetDataset(std::string_view name, std::string_view value);
  // Appends "," and `value` to the named dataset; false when it is absent.
  bool AppendDataset(std::string_view name, std::string_view value);
  // AppendDataset when the dataset exists, else SetDataset.
  bool AddOrAppendDataset(std::string_view name, std::string_view value);
  // The named dataset's value, or `default_value` when absent.
  std::string ReadDataset(std::string_view name, std::string_view default_value) const;

  // Scans the file with the container and parses its first APP13 segment.
  // True when at least one dataset was found.
  bool ReadFile(const std::string& path);
  // Replaces the list by the datasets of an APP13 segment as stored (its two
  // length bytes, then the payload). The datasets start at the first 0x1C
  // byte followed by record number 2 or 8, searched from the end of
  // "Photoshop 3.0" (from byte 12 when that text is absent). Each dataset is
  // a record number, a dataset number, a big-endian 16-bit length and the
  // value; the byte between one value and the next record number is taken
  // to be the next 0x1C marker. Records other than 2 and 8 are passed over.
  // A dataset whose value would run past the segment ends the list (the
  // datasets before it stay). True when at least one dataset was found.
  bool ParseSegment(std::span<const std::uint8_t> segment);

 private:
  void AddDataset(std::uint16_t record, std::uint16_t dataset, std::string name, std::string value);

  TimgData& container_;
  std::vector<TTagEntry> datasets_;
};

}  // namespace skalo
