// SummaryText and XmlLines: exact lines, optional lines, element names and
// the escaping that keeps the fragment well-formed.
#include <utime.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "metadata/exif_info.h"
#include "metadata/img_data.h"
#include "tests/metadata/exif_writer.h"
#include "tests/metadata/xml_check.h"

namespace skalo {
namespace {

using exiftest::Bytes;
using exiftest::ExifWriter;
using exiftest::TempFile;

// SOI, the EXIF segment, SOS, then zero bytes up to `size` when given.
Bytes File(const ExifWriter& w, std::size_t size = 0) {
  Bytes out = {0xFF, 0xD8};
  const Bytes app1 = exiftest::ExifSegment(w.Tiff());
  out.insert(out.end(), app1.begin(), app1.end());
  const Bytes sos = exiftest::Segment(0xDA, {1, 1, 0, 0, 63, 0});
  out.insert(out.end(), sos.begin(), sos.end());
  if (size > out.size()) out.resize(size, 0);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find("\r\n", start);
    lines.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 2;
  }
  return lines;
}

void SetLocalDate(const std::string& path, int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  const std::time_t stamp = std::mktime(&t);
  utimbuf times{stamp, stamp};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(SummaryText, AllLines) {
  ExifWriter w(true);
  const int exif = w.AddDirectory();
  w.Ascii(0, 0x010F, "Canon")
      .Ascii(0, 0x0110, "PowerShot")
      .Ascii(0, 0x0132, "2001:01:01 00:00:00")
      .Pointer(0, 0x8769, exif);
  w.Rational(exif, 0x829A, {{1, 60}})
      .Rational(exif, 0x829D, {{28, 10}})
      .Short(exif, 0x8827, {100})
      .Ascii(exif, 0x9003, "2002:02:02 10:11:12")
      .Short(exif, 0x9209, {1})
      .Rational(exif, 0x920A, {{541, 100}})
      .Short(exif, 0xA002, {640})
      .Short(exif, 0xA003, {480});
  TempFile file("IMG_0001.jpg", File(w, 3 * 1024 + 5));
  SetLocalDate(file.Path(), 2021, 3, 4);
  TimgData data(255);
  ASSERT_TRUE(data.ScanFile(file.Path()));
  EXPECT_EQ(Lines(data.ExifInfo()->SummaryText()),
            (std::vector<std::string>{"File Name: IMG_0001.jpg", "File Size: 3k",
                                      "File Date: 2021-03-04", "Photo Date: 2002:02:02 10:11:12",
                                      "Make (Model): Canon (PowerShot)", "Dimensions: 640 x 480",
                                      "Exposure Time: 1/60 sec", "Focal Length:  5.41 mm",
                                      "FNumber: F2.8", "ISO: 100", "Flash: Yes"}));
}

TEST(SummaryText, OptionalLines) {
  // No ExposureTime: the shutter speed stands in. No Flash entry: "No".
  // The derived 35 mm focal length is shown.
  ExifWriter w(false);
  w.SRational(0, 0x9201, {{6, 1}})
      .Rational(0, 0x920A, {{58, 10}})
      .Rational(0, 0xA20E, {{3443, 1}})
      .Rational(0, 0xA20F, {{3442, 1}})
      .Short(0, 0xA210, {2})
      .Long(0, 0xA002, {2048})
      .Long(0, 0xA003, {1536});
  TempFile file("a.jpg", File(w, 1023));
  TimgData data;
  ASSERT_TRUE(data.ScanFile(file.Path()));
  const auto lines = Lines(data.ExifInfo()->SummaryText());
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[1], "File Size: 0k");
  EXPECT_EQ(lines[3], "Photo Date: ");
  EXPECT_EQ(lines[4], "Make (Model):  ()");
  EXPECT_EQ(lines[6], "Exposure Time: 0.0156 sec (1/64)");
  EXPECT_EQ(lines[7], "Focal Length:  5.80 mm");
  EXPECT_EQ(lines[8], "Focal Length (35mm): 13.29");
  EXPECT_EQ(lines[9], "Flash: No");

  // Without the data to derive it there is no 35 mm line; 2048 bytes are 2k.
  ExifWriter plain(false);
  plain.Rational(0, 0x920A, {{58, 10}});
  TempFile file2("b.jpg", File(plain, 2048));
  ASSERT_TRUE(data.ScanFile(file2.Path()));
  const std::string text = data.ExifInfo()->SummaryText();
  EXPECT_EQ(text.find("35mm"), std::string::npos);
  EXPECT_NE(text.find("\r\nFile Size: 2k\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 9), "Flash: No");
}

TEST(SummaryText, ErrorLines) {
  // The EXIF segment was stored, then its first directory failed.
  ExifWriter w(false);
  w.Verbatim(0, 0x010E, 2, 100, 0x10000);
  TempFile file("a.jpg", File(w));
  TimgData data;
  EXPECT_FALSE(data.ScanFile(file.Path()));
  ASSERT_TRUE(data.HasExif());
  EXPECT_EQ(data.ExifInfo()->SummaryText(), "File Name: a.jpg\r\nExif Error: Not an EXIF file");
}

std::unique_ptr<TimgData> Scan(const ExifWriter& w) {
  auto data = std::make_unique<TimgData>();
  EXPECT_TRUE(data->ScanJpegData(File(w)));
  return data;
}

TEST(XmlLines, Layout) {
  ExifWriter w(false);
  w.Ascii(0, 0x010F, "Canon");
  auto data = Scan(w);
  EXPECT_EQ(data->ExifInfo()->XmlLines(2),
            (std::vector<std::string>{"<exifdata>", "    <make>", "      Canon", "    </make>",
                                      "  </exifdata>"}));

  ExifWriter empty(false);
  data = Scan(empty);
  EXPECT_EQ(data->ExifInfo()->XmlLines(2),
            (std::vector<std::string>{"<exifdata>", "  </exifdata>"}));
}

TEST(XmlLines, ElementNames) {
  ExifWriter w(false);
  w.Ascii(0, 0x9216, "1").Byte(0, 0x83BB, {1});
  auto data = Scan(w);
  TImageInfo& info = *data->ExifInfo();
  for (const std::string& name :
       std::vector<std::string>{"Special Mode", "??", "ContTake/Bracket"}) {
    TTagEntry maker;
    maker.TagNo = 1;
    maker.EntryKind = 1;
    maker.Name = name;
    maker.ValueText.push_back('v');
    info.AddEntry(maker);
  }
  std::vector<std::string> elements;
  const auto lines = info.XmlLines(0);
  for (std::size_t i = 1; i + 1 < lines.size(); i += 3)
    elements.push_back(lines[i]);
  EXPECT_EQ(elements,
            (std::vector<std::string>{"  <tiff_epstandardid>", "  <iptc_naa>", "  <special_mode>",
                                      "  <__>", "  <conttake_bracket>"}));
  EXPECT_TRUE(xmlcheck::WellFormed(lines));
}

TEST(XmlLines, Escaping) {
  ExifWriter w(false);
  w.Ascii(0, 0x010E, "x<y & z>")
      .Ascii(0, 0x013B,
             "a\xFF"
             "b")
      .Undefined(0, 0x9286,
                 exiftest::TextBytes(std::string("ASCII\0\0\0ab\x01"
                                                 "c\0def\0",
                                                 17)));
  auto data = Scan(w);
  const auto lines = data->ExifInfo()->XmlLines(2);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[2], "      x&lt;y &amp; z&gt;");
  EXPECT_EQ(lines[5], "      a b");
  // Cut at the zero byte; the control character becomes ".".
  EXPECT_EQ(lines[8], "      ab.c");
  EXPECT_TRUE(xmlcheck::WellFormed(lines));
}

}  // namespace
}  // namespace skalo
