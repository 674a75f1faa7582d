// IPTC datasets: the input is an APP13 payload. It is parsed as the stored
// segment directly and again after a segment walk of a small JPEG head that
// carries it. Every dataset's value comes from the segment, and the
// repeatable datasets are joined into one entry each.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "metadata/img_data.h"
#include "metadata/iptc.h"

namespace {

void Check(const skalo::TIPTCdata& iptc, bool found, std::size_t segment_size) {
  if (found != (iptc.DatasetCount() > 0)) std::abort();
  std::size_t value_bytes = 0;
  for (const skalo::TTagEntry& entry : iptc.Datasets()) {
    if (entry.Name.empty()) std::abort();
    value_bytes += entry.ValueText.size();
  }
  // Joining adds one comma per repeated dataset, each of which took at least
  // five bytes of the segment.
  if (value_bytes > segment_size) std::abort();
  for (const char* name : {"Keywords", "SuppCategory"}) {
    const std::int32_t first = iptc.FindDataset(name);
    int count = 0;
    for (const skalo::TTagEntry& entry : iptc.Datasets())
      count += entry.Name == name ? 1 : 0;
    if (count > 1 || (count == 1) != (first >= 0)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t n = size < 65533 ? size : 65533;
  const std::size_t length = n + 2;
  std::vector<std::uint8_t> stored = {static_cast<std::uint8_t>(length >> 8),
                                      static_cast<std::uint8_t>(length)};
  stored.insert(stored.end(), data, data + n);

  skalo::TimgData container;
  skalo::TIPTCdata iptc(container);
  Check(iptc, iptc.ParseSegment(stored), stored.size());

  // SOI, APP13 with the input, SOS header.
  std::vector<std::uint8_t> file = {0xFF, 0xD8, 0xFF, 0xED};
  file.insert(file.end(), stored.begin(), stored.end());
  file.insert(file.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 63, 0});
  container.ScanJpegData(file);
  skalo::TIPTCdata* own = container.IptcInfo();
  if (!own || own->DatasetCount() != 0) std::abort();
  Check(*own, own->ParseSegment(container.IptcSlot()->Data), stored.size());

  // The named-value operations on whatever was parsed.
  own->AddOrAppendDataset("Keywords", "k");
  own->SetDataset("Custom_7", "v");
  own->DeleteDataset("City");
  if (own->ReadDataset("Custom_7", "") != "v") std::abort();
  return 0;
}
