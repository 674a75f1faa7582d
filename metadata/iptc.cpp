#include "metadata/iptc.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "imaging/byte_reader.h"
#include "metadata/img_data.h"

namespace skalo {

namespace {

constexpr TTagRow Dataset(std::uint16_t record, std::uint16_t number, std::string_view name,
                          std::string_view label, std::uint32_t max_length) {
  return TTagRow(number, name, label, {}, {}, nullptr, record, max_length);
}

// IIM 4.1, chapter 6 (application record) and chapter 7 (pre-object data).
constexpr TTagRow kIptcRows[] = {
    Dataset(2, 0, "SKIP", "Record Version", 64),
    Dataset(2, 3, "ObjectType", "Object Type Ref", 67),
    Dataset(2, 4, "ObjectAttr", "Object Attribute Ref", 67),
    Dataset(2, 5, "ObjectName", "Object name", 64),
    Dataset(2, 7, "EditStatus", "Edit Status", 64),
    Dataset(2, 8, "EditorialUpdate", "Editorial Update", 2),
    Dataset(2, 10, "Urgency", "Urgency", 1),
    Dataset(2, 12, "SubRef", "Subject Reference", 236),
    Dataset(2, 15, "Category", "Category", 3),
    Dataset(2, 20, "SuppCategory", "Supplemental category", 32),
    Dataset(2, 22, "FixtureID", "Fixture ID", 32),
    Dataset(2, 25, "Keywords", "Keywords", 64),
    Dataset(2, 26, "ContentLocCode", "Content Location Code", 3),
    Dataset(2, 27, "ContentLocName", "Content Location Name", 64),
    Dataset(2, 30, "ReleaseDate", "Release Date", 8),
    Dataset(2, 35, "ReleaseTime", "Release Time", 11),
    Dataset(2, 37, "ExpireDate", "Expiration Date", 8),
    Dataset(2, 38, "ExpireTime", "Expiration Time", 11),
    Dataset(2, 40, "SpecialInstru", "Special Instructions", 256),
    Dataset(2, 42, "ActionAdvised", "Action Advised", 2),
    Dataset(2, 45, "RefService", "Reference Service", 10),
    Dataset(2, 47, "RefDate", "Reference Date", 8),
    Dataset(2, 50, "RefNumber", "Reference Number", 8),
    Dataset(2, 55, "DateCreated", "Date created", 8),
    Dataset(2, 60, "TimeCreated", "Time created", 11),
    Dataset(2, 62, "DigitizeDate", "Digital Creation Date", 8),
    Dataset(2, 63, "DigitizeTime", "Digital Creation Time", 11),
    Dataset(2, 65, "OriginatingProgram", "Originating Program", 32),
    Dataset(2, 70, "ProgramVersion", "Program version", 10),
    Dataset(2, 75, "ObjectCycle", "Object Cycle", 1),
    Dataset(2, 80, "ByLine", "ByLine", 32),
    Dataset(2, 85, "ByLineTitle", "ByLine Title", 32),
    Dataset(2, 90, "City", "City", 32),
    Dataset(2, 92, "SubLocation", "Sublocation", 32),
    Dataset(2, 95, "State", "Province/State", 32),
    Dataset(2, 100, "LocationCode", "Country/Primary Location Code", 3),
    Dataset(2, 101, "LocationName", "Country/Primary Location Name", 64),
    Dataset(2, 103, "TransmissionRef", "Original Transmission Reference", 32),
    Dataset(2, 105, "ImageHeadline", "Image headline", 256),
    Dataset(2, 110, "ImageCredit", "Image credit", 32),
    Dataset(2, 115, "Source", "Source", 32),
    Dataset(2, 116, "Copyright", "Copyright Notice", 128),
    Dataset(2, 118, "Contact", "Contact", 128),
    Dataset(2, 120, "ImageCaption", "Image caption", 2000),
    Dataset(2, 122, "ImageCaptionWriter", "Image caption writer", 32),
    Dataset(2, 130, "ImageType", "Image type", 2),
    Dataset(2, 131, "Orientation", "Image Orientation", 1),
    Dataset(2, 135, "LangID", "Language ID", 3),
    Dataset(8, 10, "Subfile", "Subfile", 2),
};
static_assert(std::size(kIptcRows) == kIptcDatasetTableRows);

constexpr std::uint8_t kTagMarker = 0x1C;  // IIM 4.1 section 1.5: starts every dataset
constexpr std::string_view kPhotoshopId = "Photoshop 3.0";
constexpr std::string_view kCustomPrefix = "Custom_";

// Keywords and supplemental categories may occur more than once (IIM 4.1,
// datasets 2:20 and 2:25); their values are joined into one entry.
bool Repeatable(std::uint16_t record, std::uint16_t dataset) {
  return record == 2 && (dataset == 20 || dataset == 25);
}

std::string CustomName(std::uint16_t dataset) {
  return std::string(kCustomPrefix) + std::to_string(dataset);
}

// The row of a named dataset. "Custom_<n>" stands for 2:n; `custom`
// receives n. Nothing for other names.
const TTagRow* RowByName(std::string_view name, int& custom) {
  custom = -1;
  for (const TTagRow& row : kIptcRows)
    if (row.Name != "SKIP" && SameText(row.Name, name)) return &row;
  if (name.size() > kCustomPrefix.size() &&
      SameText(name.substr(0, kCustomPrefix.size()), kCustomPrefix)) {
    const std::string_view digits = name.substr(kCustomPrefix.size());
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error == std::errc() && end == digits.data() + digits.size() && value < 256)
      custom = static_cast<int>(value);
  }
  return nullptr;
}

}  // namespace

const std::span<const TTagRow> kIptcDatasetTable(kIptcRows);

const TTagRow* FindIptcRow(std::uint16_t record, std::uint16_t dataset) {
  for (const TTagRow& row : kIptcRows)
    if (row.RecordNo == record && row.TagNo == dataset) return &row;
  return nullptr;
}

std::int32_t TIPTCdata::FindDataset(std::string_view name) const {
  for (std::size_t i = 0; i < datasets_.size(); ++i)
    if (SameText(datasets_[i].Name, name)) return static_cast<std::int32_t>(i);
  return -1;
}

bool TIPTCdata::DeleteDataset(std::string_view name) {
  const std::int32_t i = FindDataset(name);
  if (i < 0) return false;
  datasets_.erase(datasets_.begin() + i);
  return true;
}

void TIPTCdata::AddDataset(std::uint16_t record, std::uint16_t dataset, std::string name,
                           std::string value) {
  TTagEntry entry;
  entry.RecordNo = record;
  entry.TagNo = dataset;
  entry.Label = name;
  entry.Name = std::move(name);
  entry.ValueText = std::move(value);
  datasets_.push_back(std::move(entry));
}

bool TIPTCdata::SetDataset(std::string_view name, std::string_view value) {
  const std::int32_t i = FindDataset(name);
  if (i >= 0) {
    datasets_[static_cast<std::size_t>(i)].ValueText = value;
    return true;
  }
  int custom = -1;
  const TTagRow* row = RowByName(name, custom);
  if (row) {
    AddDataset(row->RecordNo, row->TagNo, std::string(row->Name), std::string(value));
    datasets_.back().Label = row->Label;
    return true;
  }
  if (custom < 0) return false;
  AddDataset(2, static_cast<std::uint16_t>(custom), CustomName(static_cast<std::uint16_t>(custom)),
             std::string(value));
  return true;
}

bool TIPTCdata::AppendDataset(std::string_view name, std::string_view value) {
  const std::int32_t i = FindDataset(name);
  if (i < 0) return false;
  std::string& text = datasets_[static_cast<std::size_t>(i)].ValueText;
  text += ',';
  text += value;
  return true;
}

bool TIPTCdata::AddOrAppendDataset(std::string_view name, std::string_view value) {
  return FindDataset(name) >= 0 ? AppendDataset(name, value) : SetDataset(name, value);
}

std::string TIPTCdata::ReadDataset(std::string_view name, std::string_view default_value) const {
  const std::int32_t i = FindDataset(name);
  return std::string(i >= 0 ? std::string_view(datasets_[static_cast<std::size_t>(i)].ValueText)
                            : default_value);
}

bool TIPTCdata::ReadFile(const std::string& path) {
  container_.ScanFile(path);
  Clear();
  const tSection* slot = container_.IptcSlot();
  return slot && ParseSegment(slot->Data);
}

bool TIPTCdata::ParseSegment(std::span<const std::uint8_t> segment) {
  Clear();
  // In a Photoshop segment the datasets sit inside an image resource after
  // the "Photoshop 3.0" signature; start looking behind it.
  const std::string_view text(reinterpret_cast<const char*>(segment.data()), segment.size());
  const std::size_t id = text.find(kPhotoshopId);
  const std::size_t from = id == std::string_view::npos ? 12 : id + kPhotoshopId.size();
  std::size_t pos = segment.size();
  for (std::size_t i = from; i + 1 < segment.size(); ++i) {
    if (segment[i] == kTagMarker && (segment[i + 1] == 2 || segment[i + 1] == 8)) {
      pos = i + 1;
      break;
    }
  }

  ByteReader reader(segment);
  try {
    // IIM 4.1 section 1.5: marker, record, dataset, 2-byte length, value.
    // The four header bytes after the marker are always there.
    while (pos < segment.size() && segment.size() - pos >= 4) {
      reader.seek(pos);
      const std::uint8_t record = reader.u8();
      const std::uint8_t dataset = reader.u8();
      const std::uint16_t length = reader.u16be();
      const auto value = reader.bytes(length);
      pos = reader.offset() + 1;
      if (record != 2 && record != 8) continue;

      const TTagRow* row = FindIptcRow(record, dataset);
      const bool named = row && row->Name != "SKIP";
      std::string name = named ? std::string(row->Name) : CustomName(dataset);
      std::string text_value(value.begin(), value.end());
      if (Repeatable(record, dataset)) {
        if (const std::int32_t i = FindDataset(name); i >= 0) {
          std::string& joined = datasets_[static_cast<std::size_t>(i)].ValueText;
          joined += ',';
          joined += text_value;
          continue;
        }
      }
      AddDataset(record, dataset, std::move(name), std::move(text_value));
      if (named) datasets_.back().Label = row->Label;
    }
  } catch (const EEndOfData&) {
    // A value running past the segment ends the list.
  }
  return !datasets_.empty();
}

}  // namespace skalo
