// TImageInfo: value rendering through the tag tables, the decoders, the
// extracted fields, sub-directories, the derived 35 mm focal length, and the
// walk's behaviour on blocks that point outside themselves or in circles.
// Blocks are built with ExifWriter in both byte orders.
#include "metadata/exif_info.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "metadata/img_data.h"
#include "tests/metadata/exif_writer.h"

namespace skalo {
namespace {

using exiftest::Bytes;
using exiftest::ExifWriter;

// SOI, the EXIF segment and a bare SOS header: enough for the walk.
Bytes JpegHead(const Bytes& tiff) {
  Bytes out = {0xFF, 0xD8};
  const Bytes app1 = exiftest::ExifSegment(tiff);
  out.insert(out.end(), app1.begin(), app1.end());
  const Bytes sos = exiftest::Segment(0xDA, {1, 1, 0, 0, 63, 0});
  out.insert(out.end(), sos.begin(), sos.end());
  return out;
}

std::unique_ptr<TimgData> Scan(const ExifWriter& writer, bool* result = nullptr) {
  auto data = std::make_unique<TimgData>(255);
  const bool ok = data->ScanJpegData(JpegHead(writer.Tiff()));
  if (result) *result = ok;
  return data;
}

std::vector<std::string> Names(const TImageInfo& info) {
  std::vector<std::string> names;
  for (const TTagEntry& e : info.Entries())
    names.push_back(e.Name);
  return names;
}

class ByteOrder : public ::testing::TestWithParam<bool> {
 protected:
  // The value text of `name` after a walk of a block that `fill` writes.
  std::string Rendered(const std::string& name, const std::function<void(ExifWriter&)>& fill) {
    ExifWriter w(GetParam());
    fill(w);
    bool ok = false;
    auto data = Scan(w, &ok);
    EXPECT_TRUE(ok) << "scan failed: " << data->StatusText();
    const TImageInfo* info = data->ExifInfo();
    if (!info) return "<no parser>";
    const std::int32_t i = info->FindEntry(name);
    if (i < 0) return "<no entry " + name + ">";
    return info->Entries()[static_cast<std::size_t>(i)].ValueText;
  }

  // A GPS directory behind IFD0 holding what `fill` adds.
  std::string RenderedGps(const std::string& name,
                          const std::function<void(ExifWriter&, int)>& fill) {
    return Rendered(name, [&](ExifWriter& w) {
      const int gps = w.AddDirectory();
      w.Pointer(0, 0x8825, gps);
      fill(w, gps);
    });
  }
};

INSTANTIATE_TEST_SUITE_P(BothOrders, ByteOrder, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Motorola" : "Intel"; });

TEST_P(ByteOrder, CodeTablesAndNumbers) {
  EXPECT_EQ(Rendered("Orientation", [](ExifWriter& w) { w.Short(0, 0x0112, {6}); }),
            "CounterClockwise 90\xB0");
  // A value missing from the code table renders as nothing.
  EXPECT_EQ(Rendered("Orientation", [](ExifWriter& w) { w.Short(0, 0x0112, {2}); }), "");
  EXPECT_EQ(Rendered("ColorSpace", [](ExifWriter& w) { w.Short(0, 0xA001, {65535}); }), "");
  EXPECT_EQ(Rendered("ExposureProgram", [](ExifWriter& w) { w.Short(0, 0x8822, {2}); }), "Normal");
  // Blanks after the commas of a code table hide every code but the first.
  EXPECT_EQ(Rendered("PhotometricInterpretation", [](ExifWriter& w) { w.Short(0, 0x0106, {1}); }),
            "Monochrome");
  EXPECT_EQ(Rendered("PhotometricInterpretation", [](ExifWriter& w) { w.Short(0, 0x0106, {2}); }),
            "");
  EXPECT_EQ(Rendered("ImageWidth", [](ExifWriter& w) { w.Long(0, 0x0100, {3000}); }), "3000");
}

TEST_P(ByteOrder, Patterns) {
  EXPECT_EQ(Rendered("XResolution",
                     [](ExifWriter& w) {
                       w.Rational(0, 0x011A, {{72, 1}});
                     }),
            "72.00");
  EXPECT_EQ(Rendered("XResolution",
                     [](ExifWriter& w) {
                       w.Rational(0, 0x011A, {{300, 1}});
                     }),
            "300.00");
  EXPECT_EQ(Rendered("YResolution",
                     [](ExifWriter& w) {
                       w.Rational(0, 0x011B, {{7, 2}});
                     }),
            " 3.50");
  EXPECT_EQ(Rendered("ExposureTime",
                     [](ExifWriter& w) {
                       w.Rational(0, 0x829A, {{1, 60}});
                     }),
            "1/60 sec");
  EXPECT_EQ(Rendered("FNumber", [](ExifWriter& w) { w.Rational(0, 0x829D, {{28, 10}}); }), "F2.8");
  EXPECT_EQ(Rendered("FocalLength",
                     [](ExifWriter& w) {
                       w.Rational(0, 0x920A, {{541, 100}});
                     }),
            " 5.41 mm");
  // A zero denominator gives the value 0, not a division failure.
  EXPECT_EQ(Rendered("FNumber", [](ExifWriter& w) { w.Rational(0, 0x829D, {{28, 0}}); }), "F0.0");
}

TEST_P(ByteOrder, ShutterSpeed) {
  EXPECT_EQ(Rendered("ShutterSpeedValue",
                     [](ExifWriter& w) {
                       w.SRational(0, 0x9201, {{6, 1}});
                     }),
            "0.0156 sec (1/64)");
  EXPECT_EQ(Rendered("ShutterSpeedValue",
                     [](ExifWriter& w) {
                       w.SRational(0, 0x9201, {{-1, 1}});
                     }),
            "2.0000 sec");
}

TEST_P(ByteOrder, Flash) {
  EXPECT_EQ(Rendered("Flash", [](ExifWriter& w) { w.Short(0, 0x9209, {0x19}); }), "On, auto mode");
  EXPECT_EQ(Rendered("Flash", [](ExifWriter& w) { w.Short(0, 0x9209, {0x10}); }),
            "Off, surpressed");
  EXPECT_EQ(Rendered("Flash", [](ExifWriter& w) { w.Short(0, 0x9209, {0x41}); }),
            "On, red-eye reduction");
  EXPECT_EQ(Rendered("Flash", [](ExifWriter& w) { w.Short(0, 0x9209, {0x2F}); }),
            "On, strobe return, forced, no flash function");
}

TEST_P(ByteOrder, UndefinedAndAsciiValues) {
  EXPECT_EQ(Rendered("ComponentsConfiguration",
                     [](ExifWriter& w) {
                       w.Undefined(0, 0x9101, {1, 2, 3, 0});
                     }),
            "YCbCr");
  EXPECT_EQ(Rendered("ExifVersion",
                     [](ExifWriter& w) { w.Undefined(0, 0x9000, exiftest::TextBytes("0220")); }),
            "\"0220\"");
  // Only the first eight elements of an array are rendered.
  std::vector<std::uint8_t> twenty;
  for (std::uint8_t i = 1; i <= 20; ++i)
    twenty.push_back(i);
  EXPECT_EQ(Rendered("PrintFlags", [&](ExifWriter& w) { w.Byte(0, 0x5005, twenty); }),
            "1, 2, 3, 4, 5, 6, 7, 8");
  // ASCII values are cut to 50 characters, control characters shown as ".".
  const std::string long_text(80, 'd');
  EXPECT_EQ(Rendered("ImageDescription", [&](ExifWriter& w) { w.Ascii(0, 0x010E, long_text); }),
            std::string(50, 'd'));
  EXPECT_EQ(Rendered("Software", [](ExifWriter& w) { w.Ascii(0, 0x0131, "a\tb\x01"); }), "a.b.");
}

TEST_P(ByteOrder, WindowsTextTags) {
  // UTF-16LE "Test": with at most eight bytes rendered, four characters.
  EXPECT_EQ(Rendered("Title",
                     [](ExifWriter& w) {
                       w.Byte(0, 0x9C9B, {'T', 0, 'e', 0, 's', 0, 't', 0, '!', 0});
                     }),
            "Test");
}

TEST_P(ByteOrder, GpsDecoders) {
  EXPECT_EQ(RenderedGps("GPSLatitude",
                        [](ExifWriter& w, int g) {
                          w.Rational(g, 2, {{51, 1}, {30, 1}, {0, 1}});
                        }),
            "51 Degrees 30 Minutes 0 Seconds");
  EXPECT_EQ(RenderedGps("GPSLongitude",
                        [](ExifWriter& w, int g) {
                          w.Rational(g, 4, {{51, 1}, {3050, 100}, {0, 1}});
                        }),
            "51 Degrees 30 Minutes 30 Seconds");
  EXPECT_EQ(RenderedGps("GPSTimeStamp",
                        [](ExifWriter& w, int g) {
                          w.Rational(g, 7, {{14, 1}, {5, 1}, {9, 1}});
                        }),
            "14:5:9");
  EXPECT_EQ(RenderedGps("GPSDifferential", [](ExifWriter& w, int g) { w.Short(g, 0x1E, {1}); }),
            "1");
  EXPECT_EQ(RenderedGps("GPSAltitudeRef", [](ExifWriter& w, int g) { w.Byte(g, 5, {0}); }),
            "Sealevel");
}

TEST_P(ByteOrder, ExtractedFields) {
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  w.Ascii(0, 0x010F, "Maker Incorporated With A Very Long Name")
      .Ascii(0, 0x0110, "Model")
      .Ascii(0, 0x0132, "2001:02:03 04:05:06")
      .Long(0, 0x0100, {4000})
      .Pointer(0, 0x8769, exif);
  w.Ascii(exif, 0x9003, "2000:01:01 00:00:00")
      .Undefined(exif, 0x9000, exiftest::TextBytes("0220"))
      .Short(exif, 0xA002, {640})
      .Long(exif, 0xA003, {480})
      .Short(exif, 0x9209, {0x19})
      .Undefined(exif, 0x9286, exiftest::TextBytes(std::string("ASCII\0\0\0  a comment \0", 21)));
  auto data = Scan(w);
  const TImageInfo& info = *data->ExifInfo();
  EXPECT_EQ(info.MakeText(), "Maker Incorporated With A Very L");
  EXPECT_EQ(info.ModelText(), "Model");
  EXPECT_EQ(info.DateText(), "2000:01:01 00:00:00");  // DateTimeOriginal, met last
  EXPECT_EQ(info.VersionText(), "0220");
  EXPECT_EQ(info.PixelWidth(), 640);  // the last width entry wins
  EXPECT_EQ(info.WidthFormat(), kFormatShort);
  EXPECT_EQ(info.PixelHeight(), 480);
  EXPECT_EQ(info.HeightFormat(), kFormatLong);
  EXPECT_EQ(info.FlashValue(), 0x19);
  EXPECT_EQ(info.CommentText(), "a comment");
  EXPECT_EQ(info.EntryValue("usercomment"), "a comment");
  // The recorded positions are those of the value fields inside the block.
  const auto& block = data->ExifSlot()->Data;
  ASSERT_LT(static_cast<std::size_t>(info.WidthPos()) + 2, block.size());
  const Bytes expected = w.U16(640);
  EXPECT_EQ(Bytes(block.begin() + info.WidthPos(), block.begin() + info.WidthPos() + 2), expected);
}

TEST_P(ByteOrder, SubDirectoriesComeBeforeTheirPointer) {
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  const int interop = w.AddDirectory();
  const int gps = w.AddDirectory();
  const int sub = w.AddDirectory();
  w.Ascii(0, 0x010F, "Make")
      .Pointer(0, 0x8769, exif)
      .Pointer(0, 0x8825, gps)
      .Pointer(0, 0x014A, sub)
      .Short(0, 0x0112, {1});
  w.Rational(exif, 0x829A, {{1, 60}}).Pointer(exif, 0xA005, interop);
  w.Ascii(interop, 0x0001, "R98");
  w.Ascii(gps, 1, "N");
  w.Long(sub, 0x00FE, {1});
  auto data = Scan(w);
  EXPECT_EQ(Names(*data->ExifInfo()),
            (std::vector<std::string>{"Make", "ExposureTime", "InteroperabilityIndex",
                                      "InteroperabilityOffset", "ExifOffset", "GPSLatitudeRef",
                                      "GPSInfo", "NewSubfileType", "SubIFDs", "Orientation"}));
}

TEST_P(ByteOrder, EntriesNotKept) {
  ExifWriter w(GetParam());
  w.Short(0, 0x0112, {1})
      .Short(0, 0xBEEF, {5})                   // not in the table
      .Value(0, 0x0131, 2, 0, {})              // zero count
      .Value(0, 0x0110, 13, 4, {1, 2, 3, 4});  // unknown type: size 0
  auto data = Scan(w);
  EXPECT_EQ(Names(*data->ExifInfo()), std::vector<std::string>{"Orientation"});
}

TEST_P(ByteOrder, DerivedFocalLength35) {
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  w.Pointer(0, 0x8769, exif);
  w.Rational(exif, 0x920A, {{58, 10}})
      .Rational(exif, 0xA20E, {{3443, 1}})
      .Rational(exif, 0xA20F, {{3442, 1}})
      .Short(exif, 0xA210, {2})
      .Long(exif, 0xA002, {2048})
      .Long(exif, 0xA003, {1536});
  auto data = Scan(w);
  const TImageInfo& info = *data->ExifInfo();
  ASSERT_GT(info.EntryCount(), 0);
  const TTagEntry& last = info.Entries().back();
  EXPECT_EQ(last.Name, "FocalLengthin35mmFilm");
  EXPECT_EQ(last.ValueText, "13.29");
  EXPECT_EQ(last.Pattern, "%s mm");
  EXPECT_EQ(last.FormatCode, kFormatSRational);
  EXPECT_TRUE(last.RawBytes.empty());

  // The file's own entry is kept and nothing is derived.
  w.Short(exif, 0xA405, {35});
  data = Scan(w);
  EXPECT_EQ(data->ExifInfo()->EntryValue("FocalLengthin35mmFilm"), "35.00 mm");
  EXPECT_EQ(data->ExifInfo()->Entries().back().Name, "ExifOffset");
}

TEST_P(ByteOrder, FocalLength35NeedsAUnitAndSizes) {
  ExifWriter w(GetParam());
  w.Rational(0, 0x920A, {{58, 10}}).Rational(0, 0xA20E, {{3443, 1}}).Long(0, 0x0100, {2048});
  auto data = Scan(w);  // no unit, no height
  EXPECT_EQ(data->ExifInfo()->FindEntry("FocalLengthin35mmFilm"), -1);
}

TEST_P(ByteOrder, ReadUnsignedAndNumericValue) {
  ExifWriter w(GetParam());
  auto data = Scan(w);
  const TImageInfo& info = *data->ExifInfo();
  const auto bytes = [&](std::uint32_t v, int n) {
    Bytes b = n == 2 ? w.U16(static_cast<std::uint16_t>(v)) : w.U32(v);
    return b;
  };
  EXPECT_EQ(info.ReadUnsigned(bytes(0xFFFFFFFE, 4)), -2);         // SLONG keeps its sign
  EXPECT_EQ(info.ReadUnsigned(bytes(0xFFFE, 2)), 65534);          // SSHORT shows unsigned
  EXPECT_EQ(info.ReadUnsigned(bytes(0x80000000, 4)), INT32_MIN);  // large LONG negative
  EXPECT_EQ(info.FormatValue(bytes(0xFFFFFFFE, 4), kFormatSLong, "", ""), "-2");

  // FLOAT and DOUBLE: rendered as a placeholder, numeric value from IEEE 754.
  std::uint32_t f;
  const float fv = 2.5f;
  std::memcpy(&f, &fv, 4);
  EXPECT_EQ(info.FormatValue(bytes(f, 4), kFormatFloat, "", ""), "-9999.99");
  EXPECT_DOUBLE_EQ(info.NumericValue(bytes(f, 4), kFormatFloat), 2.5);
  std::uint64_t d;
  const double dv = -1234.5;
  std::memcpy(&d, &dv, 8);
  Bytes dbytes = GetParam() ? bytes(static_cast<std::uint32_t>(d >> 32), 4)
                            : bytes(static_cast<std::uint32_t>(d), 4);
  const Bytes second = GetParam() ? bytes(static_cast<std::uint32_t>(d), 4)
                                  : bytes(static_cast<std::uint32_t>(d >> 32), 4);
  dbytes.insert(dbytes.end(), second.begin(), second.end());
  EXPECT_DOUBLE_EQ(info.NumericValue(dbytes, kFormatDouble), -1234.5);
  EXPECT_EQ(info.FormatValue(dbytes, kFormatDouble, "", "%5.2f"), "-1234.50");
  EXPECT_EQ(info.FormatValue(bytes(1, 4), 0, "", ""), "0");
}

// --- Table-free helpers ---

TEST(CodeLookup, MatchesWholeCodesOnly) {
  EXPECT_EQ(CodeLookup("1:One,11:Eleven", "11"), "Eleven");
  EXPECT_EQ(CodeLookup("1:One,11:Eleven", " 1 "), "One");
  EXPECT_EQ(CodeLookup("1:One,11:Eleven", "2"), "");
  EXPECT_EQ(CodeLookup("", "1"), "");
}

TEST(ParseRationalText, Forms) {
  EXPECT_DOUBLE_EQ(ParseRationalText("6/1"), 6.0);
  EXPECT_DOUBLE_EQ(ParseRationalText(" -1/2 "), -0.5);
  EXPECT_DOUBLE_EQ(ParseRationalText("1 1/2"), 1.5);
  EXPECT_DOUBLE_EQ(ParseRationalText("3/0"), 0.0);
  EXPECT_DOUBLE_EQ(ParseRationalText("12"), 0.0);
  EXPECT_DOUBLE_EQ(ParseRationalText("x/2"), 0.0);
  EXPECT_DOUBLE_EQ(ParseRationalText("99999999999/1"), 0.0);
}

TEST(Decoders, RefuseNonIntegers) {
  EXPECT_THROW(DecodeFlash("\"on\""), EExifError);
  EXPECT_THROW(DecodeXpText("x, 0, 3, 0"), EExifError);
  EXPECT_EQ(DecodeXpText("72, 0, 105"), "H");  // two commas: only field 1
  // An absurd shutter speed fails instead of overflowing.
  EXPECT_THROW(DecodeShutterSpeed("2000/1"), EExifError);
}

TEST(TagTables, Lookup) {
  EXPECT_EQ(kExifTagTable.size(), kExifTagTableRows);
  EXPECT_EQ(kGpsTagTable.size(), kGpsTagTableRows);
  EXPECT_EQ(FindTagRow(kExifTagTable, 0x9216)->Name, "TIFF/EPStandardID");
  EXPECT_EQ(FindTagRow(kGpsTagTable, 0x1E)->Name, "GPSDifferential");
  EXPECT_EQ(UnknownTagRow().Name, "Unknown");
  EXPECT_EQ(FindTagRow(kGpsTagTable, 0x1F), nullptr);
}

// --- Hostile blocks ---

TEST_P(ByteOrder, DirectoryCyclesEnd) {
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  w.Short(0, 0x0112, {1}).Pointer(0, 0x8769, exif);
  // The EXIF directory points back to IFD0 and to itself.
  w.Rational(exif, 0x829A, {{1, 60}}).Pointer(exif, 0xA005, 0).Pointer(exif, 0x8769, exif);
  bool ok = false;
  auto data = Scan(w, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Names(*data->ExifInfo()),
            (std::vector<std::string>{"Orientation", "ExposureTime", "InteroperabilityOffset",
                                      "ExifOffset", "ExifOffset"}));
}

TEST_P(ByteOrder, DepthIsCapped) {
  ExifWriter w(GetParam());
  int parent = 0;
  for (int level = 1; level < 12; ++level) {
    const int child = w.AddDirectory();
    w.Long(parent, 0x00FE, {static_cast<std::uint32_t>(level)}).Pointer(parent, 0x8769, child);
    parent = child;
  }
  auto data = Scan(w);
  int subfile_entries = 0;
  for (const TTagEntry& e : data->ExifInfo()->Entries())
    subfile_entries += e.Name == "NewSubfileType";
  EXPECT_EQ(subfile_entries, kMaxDirectoryDepth);
}

TEST_P(ByteOrder, OversizedDirectoriesAreNotWalked) {
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  w.Short(0, 0x0112, {1}).Pointer(0, 0x8769, exif).Verbatim(0, 0x8825, 4, 1, 0xFFFFFFF0);
  w.Rational(exif, 0x829A, {{1, 60}});
  Bytes tiff = w.Tiff();
  // The EXIF directory claims 5000 entries.
  const Bytes count = w.U16(5000);
  std::copy(count.begin(), count.end(), tiff.begin() + w.DirectoryOffset(exif));
  TimgData data;
  EXPECT_TRUE(data.ScanJpegData(JpegHead(tiff)));
  EXPECT_EQ(Names(*data.ExifInfo()),
            (std::vector<std::string>{"Orientation", "ExifOffset", "GPSInfo"}));
}

TEST_P(ByteOrder, EntryBudgetPerScan) {
  // Two directories of 2100 entries each: the second would pass the cap.
  ExifWriter w(GetParam());
  const int a = w.AddDirectory();
  const int b = w.AddDirectory();
  w.Pointer(0, 0x8769, a).Pointer(0, 0xA005, b);
  for (int i = 0; i < 2100; ++i) {
    w.Short(a, 0x0112, {1});
    w.Short(b, 0x0128, {2});
  }
  TimgData data;
  const Bytes tiff = w.Tiff();
  ASSERT_LT(tiff.size(), kTiffBlockWindow);
  EXPECT_TRUE(data.ScanTiffData(tiff));
  int a_entries = 0, b_entries = 0;
  for (const TTagEntry& e : data.ExifInfo()->Entries()) {
    a_entries += e.Name == "Orientation";
    b_entries += e.Name == "ResolutionUnit";
  }
  EXPECT_EQ(a_entries, 2100);
  EXPECT_EQ(b_entries, 0);
}

TEST_P(ByteOrder, ValueOutsideTheBlockEndsItsDirectory) {
  // In a sub-directory: that directory ends, its entries so far stay, the
  // parent goes on.
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  w.Short(0, 0x0112, {1}).Pointer(0, 0x8769, exif).Short(0, 0x0128, {2});
  w.Rational(exif, 0x829A, {{1, 60}})
      .Verbatim(exif, 0x829D, 5, 1, 0x7FFFFFF0)
      .Short(exif, 0x8822, {2});
  bool ok = false;
  auto data = Scan(w, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Names(*data->ExifInfo()), (std::vector<std::string>{"Orientation", "ExposureTime",
                                                                "ExifOffset", "ResolutionUnit"}));

  // In the first directory: the whole walk fails, the EXIF slot stays.
  ExifWriter first(GetParam());
  first.Short(0, 0x0112, {1}).Verbatim(0, 0x010E, 2, 100, 0x10000);
  data = Scan(first, &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(data->HasExif());
  EXPECT_EQ(data->StatusText(), kStatusNotExif);
  EXPECT_EQ(Names(*data->ExifInfo()), std::vector<std::string>{"Orientation"});
}

TEST_P(ByteOrder, ValueRunningPastTheEndIsShortened) {
  // A LONG array of 1000 elements starting 8 bytes before the end.
  ExifWriter v(GetParam());
  v.Short(0, 0x0112, {1}).Verbatim(0, 0x0111, 4, 1000, 0);
  Bytes tiff = v.Tiff();
  const std::uint32_t at = static_cast<std::uint32_t>(tiff.size());
  tiff.insert(tiff.end(), {0, 0, 0, 7, 0, 0, 0, 9});
  const Bytes field = v.U32(at);
  // The value field of the second entry: header 8 + count 2 + entry 12 + 8.
  std::copy(field.begin(), field.end(), tiff.begin() + 8 + 2 + 12 + 8);
  TimgData data;
  EXPECT_TRUE(data.ScanJpegData(JpegHead(tiff)));
  const auto& entries = data.ExifInfo()->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].Name, "StripOffsets");
  EXPECT_EQ(entries[1].RawLength, 8);
}

TEST_P(ByteOrder, DecoderFailures) {
  // A Flash value stored as ASCII: in the EXIF directory it ends that
  // directory only; in the first directory it ends the walk.
  ExifWriter w(GetParam());
  const int exif = w.AddDirectory();
  w.Pointer(0, 0x8769, exif).Short(0, 0x0112, {6});
  w.Short(exif, 0x8822, {2}).Ascii(exif, 0x9209, "yes").Short(exif, 0xA001, {1});
  bool ok = false;
  auto data = Scan(w, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Names(*data->ExifInfo()),
            (std::vector<std::string>{"ExposureProgram", "ExifOffset", "Orientation"}));

  ExifWriter first(GetParam());
  first.Ascii(0, 0x9209, "yes");
  data = Scan(first, &ok);
  EXPECT_FALSE(ok);
}

TEST_P(ByteOrder, FindEntryIgnoresCase) {
  ExifWriter w(GetParam());
  w.Ascii(0, 0x010F, "Maker");
  auto data = Scan(w);
  EXPECT_EQ(data->ExifInfo()->FindEntry("MAKE"), 0);
  EXPECT_EQ(data->ExifInfo()->EntryValue("make"), "Maker");
  EXPECT_EQ(data->ExifInfo()->FindEntry("Model"), -1);
  EXPECT_EQ(data->ExifInfo()->EntryValue("Model"), "");
}

}  // namespace
}  // namespace skalo
