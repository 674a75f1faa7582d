// TIPTCdata: datasets parsed from APP13 segments (with and without the
// Photoshop signature, repeatable datasets, unnamed datasets, other
// records, segments that end inside a dataset), the named-value operations,
// and reading a file through the container.
#include "metadata/iptc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "metadata/img_data.h"
#include "tests/metadata/exif_writer.h"

namespace skalo {
namespace {

using exiftest::Bytes;

// One dataset as IIM writes it: 0x1C, record, dataset, length, value.
Bytes Dataset(std::uint8_t record, std::uint8_t number, const std::string& value) {
  Bytes out(5 + value.size());
  out[0] = 0x1C;
  out[1] = record;
  out[2] = number;
  out[3] = static_cast<std::uint8_t>(value.size() >> 8);
  out[4] = static_cast<std::uint8_t>(value.size());
  std::copy(value.begin(), value.end(), out.begin() + 5);
  return out;
}

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A Photoshop APP13 payload: the signature, then an IPTC image resource
// (8BIM 0x0404) holding the datasets.
Bytes PhotoshopPayload(const Bytes& datasets) {
  Bytes out = exiftest::TextBytes("Photoshop 3.0");
  out.push_back(0);
  const Bytes resource = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0};
  out.insert(out.end(), resource.begin(), resource.end());
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(datasets.size() >> shift));
  out.insert(out.end(), datasets.begin(), datasets.end());
  if (datasets.size() % 2) out.push_back(0);
  return out;
}

// The segment as the container stores it: the length bytes, then the payload.
Bytes Stored(const Bytes& payload) {
  const Bytes segment = exiftest::Segment(0xED, payload);
  return Bytes(segment.begin() + 2, segment.end());
}

std::vector<std::pair<std::string, std::string>> Pairs(const TIPTCdata& iptc) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const TTagEntry& e : iptc.Datasets())
    out.emplace_back(e.Name, e.ValueText);
  return out;
}

using PairList = std::vector<std::pair<std::string, std::string>>;

TEST(IptcParse, NamedRepeatedCustomAndOtherRecords) {
  TimgData data;
  TIPTCdata iptc(data);
  const Bytes datasets = Join({
      Dataset(1, 90, "\x1B%G"),  // envelope record: passed over
      Dataset(2, 0, std::string("\x00\x04", 2)),
      Dataset(2, 25, "sea"),
      Dataset(2, 120, "A <caption>"),
      Dataset(2, 20, "NAT"),
      Dataset(2, 25, "sun"),
      Dataset(2, 200, "x"),
      Dataset(2, 5, "first"),
      Dataset(2, 5, "second"),
      Dataset(2, 20, "SPO"),
      Dataset(8, 10, "ab"),
      Dataset(8, 99, "y"),
  });
  ASSERT_TRUE(iptc.ParseSegment(Stored(PhotoshopPayload(datasets))));
  EXPECT_EQ(Pairs(iptc), (PairList{{"Custom_0", std::string("\x00\x04", 2)},
                                   {"Keywords", "sea,sun"},
                                   {"ImageCaption", "A <caption>"},
                                   {"SuppCategory", "NAT,SPO"},
                                   {"Custom_200", "x"},
                                   {"ObjectName", "first"},
                                   {"ObjectName", "second"},
                                   {"Subfile", "ab"},
                                   {"Custom_99", "y"}}));
  const TTagEntry& caption = iptc.Datasets()[2];
  EXPECT_EQ(caption.RecordNo, 2);
  EXPECT_EQ(caption.TagNo, 120);
  EXPECT_EQ(caption.Label, "Image caption");
  const TTagEntry& custom = iptc.Datasets()[4];
  EXPECT_EQ(custom.TagNo, 200);
  EXPECT_EQ(custom.Label, "Custom_200");
  EXPECT_EQ(iptc.Datasets()[8].RecordNo, 8);

  // A second parse replaces the list.
  ASSERT_TRUE(iptc.ParseSegment(Stored(PhotoshopPayload(Dataset(2, 90, "Paris")))));
  EXPECT_EQ(Pairs(iptc), (PairList{{"City", "Paris"}}));
}

TEST(IptcParse, WithoutPhotoshopSignature) {
  TimgData data;
  TIPTCdata iptc(data);
  // Plain datasets: the search starts at byte 12 of the stored segment.
  Bytes payload = exiftest::TextBytes("IIM-DATA--");  // bytes 2..11
  const Bytes datasets = Join({Dataset(2, 25, "sea"), Dataset(2, 25, "sun")});
  payload.insert(payload.end(), datasets.begin(), datasets.end());
  ASSERT_TRUE(iptc.ParseSegment(Stored(payload)));
  EXPECT_EQ(Pairs(iptc), (PairList{{"Keywords", "sea,sun"}}));

  // A dataset that starts before byte 12 is not looked for: the list starts
  // at the next one.
  const Bytes early = Join({Dataset(2, 90, "Oslo!"), Dataset(2, 101, "Norway")});
  ASSERT_TRUE(iptc.ParseSegment(Stored(early)));
  EXPECT_EQ(Pairs(iptc), (PairList{{"LocationName", "Norway"}}));

  EXPECT_FALSE(iptc.ParseSegment(Stored(exiftest::TextBytes("Adobe_CM\0 no datasets here"))));
  EXPECT_EQ(iptc.DatasetCount(), 0);
}

// Segments that end inside a dataset: the datasets before it stay, nothing
// past the segment is read.
TEST(IptcParse, TruncatedDatasets) {
  TimgData data;
  TIPTCdata iptc(data);
  const Bytes whole =
      Stored(PhotoshopPayload(Join({Dataset(2, 90, "Paris"), Dataset(2, 25, "x")})));
  const Bytes good = Stored(PhotoshopPayload(Dataset(2, 90, "Paris")));
  // Cut inside the second value, inside its length, after its record number.
  for (const std::size_t cut : {whole.size() - 2, good.size() + 3, good.size() + 1}) {
    const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_TRUE(iptc.ParseSegment(part)) << cut;
    EXPECT_EQ(Pairs(iptc), (PairList{{"City", "Paris"}})) << cut;
  }
  // A length that claims more than the segment holds.
  Bytes liar = Dataset(2, 120, "short");
  liar[3] = 0x7F;
  EXPECT_FALSE(iptc.ParseSegment(Stored(PhotoshopPayload(liar))));
  EXPECT_FALSE(iptc.ParseSegment({}));
  EXPECT_FALSE(iptc.ParseSegment(Bytes{0x1C, 0x02}));
}

TEST(IptcOperations, SetAppendDeleteRead) {
  TimgData data;
  TIPTCdata iptc(data);
  EXPECT_EQ(&iptc.Container(), &data);
  EXPECT_TRUE(iptc.SetDataset("keywords", "sea"));
  EXPECT_TRUE(iptc.AppendDataset("KEYWORDS", "sun"));
  EXPECT_TRUE(iptc.AddOrAppendDataset("Keywords", "sky"));
  EXPECT_TRUE(iptc.AddOrAppendDataset("City", "Oslo"));
  EXPECT_TRUE(iptc.SetDataset("city", "Bergen"));
  EXPECT_TRUE(iptc.SetDataset("custom_200", "c"));
  EXPECT_FALSE(iptc.SetDataset("NoSuchDataset", "v"));
  EXPECT_FALSE(iptc.SetDataset("SKIP", "v"));
  EXPECT_FALSE(iptc.SetDataset("Custom_256", "v"));
  EXPECT_FALSE(iptc.AppendDataset("Headline", "v"));
  EXPECT_EQ(Pairs(iptc),
            (PairList{{"Keywords", "sea,sun,sky"}, {"City", "Bergen"}, {"Custom_200", "c"}}));
  EXPECT_EQ(iptc.Datasets()[0].TagNo, 25);
  EXPECT_EQ(iptc.Datasets()[1].Label, "City");
  EXPECT_EQ(iptc.Datasets()[2].TagNo, 200);

  EXPECT_EQ(iptc.ReadDataset("city", "none"), "Bergen");
  EXPECT_EQ(iptc.ReadDataset("State", "none"), "none");
  EXPECT_EQ(iptc.FindDataset("CUSTOM_200"), 2);
  EXPECT_TRUE(iptc.DeleteDataset("City"));
  EXPECT_FALSE(iptc.DeleteDataset("City"));
  EXPECT_EQ(iptc.DatasetCount(), 2);
  EXPECT_EQ(iptc.FindDataset("Custom_200"), 1);
}

TEST(IptcFile, ReadThroughTheContainer) {
  const Bytes jpeg = exiftest::EncodedJpeg(8, 8);
  const Bytes app13 = exiftest::Segment(
      0xED, PhotoshopPayload(Join({Dataset(2, 25, "sea"), Dataset(2, 25, "sun")})));
  const exiftest::TempFile with("iptc.jpg", exiftest::JpegWithSegments({app13}, jpeg));
  const exiftest::TempFile without("plain.jpg", jpeg);

  TimgData data;
  ASSERT_TRUE(data.ScanFile(with.Path()));
  // The walk creates the list for the first APP13 segment but leaves it
  // unparsed.
  TIPTCdata* own = data.IptcInfo();
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->DatasetCount(), 0);
  EXPECT_EQ(&own->Container(), &data);

  // The container's own list may rescan through the container.
  EXPECT_TRUE(own->ReadFile(with.Path()));
  EXPECT_EQ(data.IptcInfo(), own);
  EXPECT_EQ(own->ReadDataset("Keywords", ""), "sea,sun");
  EXPECT_FALSE(own->ReadFile(without.Path()));
  EXPECT_EQ(data.IptcInfo(), nullptr);

  TIPTCdata iptc(data);
  EXPECT_TRUE(iptc.ReadFile(with.Path()));
  EXPECT_EQ(Pairs(iptc), (PairList{{"Keywords", "sea,sun"}}));
  EXPECT_FALSE(iptc.ReadFile(without.Path()));
  EXPECT_EQ(iptc.DatasetCount(), 0);
  EXPECT_FALSE(iptc.ReadFile(with.Path() + ".missing"));
}

}  // namespace
}  // namespace skalo
