// TimgData: the JPEG segment walk, the TIFF block scan, the dimension
// rewrite and the carry-over of metadata segments into an encoded JPEG
// (with our real JPEG codec, and exiftool as an independent reader when it
// is installed).
#include "metadata/img_data.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "tests/metadata/exif_writer.h"

namespace skalo {
namespace {

using exiftest::Bytes;
using exiftest::ExifWriter;
using exiftest::Segment;
using exiftest::TempFile;
using exiftest::TextBytes;

const Bytes kJfif = Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});

Bytes Seg(std::uint8_t marker, const std::string& payload) {
  return Segment(marker, TextBytes(payload));
}

// SOI, the segments, a bare SOS header.
Bytes Head(const std::vector<Bytes>& segments) {
  Bytes out = {0xFF, 0xD8};
  for (const Bytes& s : segments)
    out.insert(out.end(), s.begin(), s.end());
  const Bytes sos = Segment(0xDA, {1, 1, 0, 0, 63, 0});
  out.insert(out.end(), sos.begin(), sos.end());
  return out;
}

Bytes Payload(const tSection* slot) {
  if (!slot) return {};
  return Bytes(slot->Data.begin() + 2, slot->Data.end());
}

std::vector<std::uint8_t> Markers(const Bytes& jpeg) {
  std::vector<std::uint8_t> out;
  for (const auto& [marker, bytes] : exiftest::HeadSegments(jpeg))
    out.push_back(marker);
  return out;
}

// An EXIF block recording a 3000 x 2000 picture taken with orientation 6.
Bytes CameraExif(bool big_endian) {
  ExifWriter w(big_endian);
  const int exif = w.AddDirectory();
  w.Ascii(0, 0x010F, "Maker").Short(0, 0x0112, {6}).Pointer(0, 0x8769, exif);
  w.Rational(exif, 0x829A, {{1, 60}}).Long(exif, 0xA002, {3000}).Long(exif, 0xA003, {2000});
  return exiftest::ExifSegment(w.Tiff());
}

std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
      out.append(buf, n);
    ::pclose(pipe);
  }
  return out;
}

bool HaveExiftool() {
  return RunCommand("command -v exiftool 2>/dev/null").find("exiftool") != std::string::npos;
}

// --- Carry-over ---

TEST(InjectExif, ResultStartsWithTheSourceSegments) {
  const Bytes app1 = CameraExif(false);
  TempFile source("photo.jpg",
                  exiftest::JpegWithSegments({kJfif, app1}, exiftest::EncodedJpeg(64, 48)));
  TimgData data(255);
  ASSERT_TRUE(data.ScanFile(source.Path()));
  EXPECT_EQ(data.StatusText(), kStatusNone);
  EXPECT_TRUE(data.HasExif());
  ASSERT_NE(data.App0Slot(), nullptr);

  TJPEGImage jpeg;
  jpeg.LoadFromBytes(exiftest::EncodedJpeg(32, 24));
  EXPECT_EQ(&data.InjectExif(jpeg, true), &jpeg);
  const Bytes result = jpeg.Data();

  // SOI, then the source's APP1 (size rewritten), and no JFIF APP0.
  ASSERT_GT(result.size(), app1.size() + 2);
  EXPECT_EQ(Bytes(result.begin(), result.begin() + 4), (Bytes{0xFF, 0xD8, 0xFF, 0xE1}));
  const auto markers = Markers(result);
  EXPECT_EQ(std::count(markers.begin(), markers.end(), 0xE0), 0);
  EXPECT_EQ(std::count(markers.begin(), markers.end(), 0xE1), 1);
  const Bytes carried(result.begin() + 2,
                      result.begin() + 2 + static_cast<std::ptrdiff_t>(app1.size()));
  int differing = 0;
  for (std::size_t i = 0; i < app1.size(); ++i)
    differing += carried[i] != app1[i];
  EXPECT_LE(differing, 4) << "only the size bytes change";

  // The result decodes and records its own size.
  EXPECT_EQ(jpeg.Width(), 32);
  TBitmap bitmap;
  jpeg.AssignTo(bitmap);
  EXPECT_EQ(bitmap.Width(), 32);
  EXPECT_EQ(bitmap.Height(), 24);
  TimgData again;
  ASSERT_TRUE(again.ScanJpegData(result));
  EXPECT_EQ(again.ExifInfo()->PixelWidth(), 32);
  EXPECT_EQ(again.ExifInfo()->PixelHeight(), 24);
  EXPECT_EQ(again.ExifInfo()->EntryValue("Orientation"), "CounterClockwise 90\xB0");

  // A second carry-over with the same size writes nothing further.
  const Bytes slot_before = data.ExifSlot()->Data;
  data.InjectExif(jpeg, true);
  EXPECT_EQ(data.ExifSlot()->Data, slot_before);

  if (!HaveExiftool()) GTEST_SKIP() << "exiftool not installed";
  TempFile out("result.jpg", result);
  EXPECT_EQ(RunCommand("exiftool -s3 -ExifImageWidth -ExifImageHeight -Orientation# -Make '" +
                       out.Path() + "'"),
            "32\n24\n6\nMaker\n");
}

TEST(InjectExif, CarriesFirstApp13AndLastComment) {
  const Bytes app1 = CameraExif(true);
  const Bytes source = Head({app1, Seg(0xFE, "first"), Seg(0xED, "one"), Seg(0xED, "two"),
                             Seg(0xFE, "second"), Seg(0xE1, "another app1")});
  TimgData data;
  ASSERT_TRUE(data.ScanJpegData(source));
  EXPECT_EQ(Payload(data.CommentSlot()), TextBytes("second"));
  EXPECT_EQ(Payload(data.IptcSlot()), TextBytes("one"));
  // The second APP1 was dropped and its slot reused by SOS.
  EXPECT_EQ(data.SegmentCount(), 6);
  EXPECT_EQ(data.Segment(6).MarkerCode, 0xDA);

  Bytes expected = {0xFF, 0xD8};
  for (const Bytes& s : {app1, Seg(0xED, "one"), Seg(0xFE, "second")})
    expected.insert(expected.end(), s.begin(), s.end());
  EXPECT_EQ(data.BuildHeader(), expected);

  TJPEGImage jpeg;
  jpeg.LoadFromBytes(exiftest::EncodedJpeg(16, 16));
  data.InjectExif(jpeg, true);
  const auto markers = Markers(jpeg.Data());
  ASSERT_GE(markers.size(), 4u);
  EXPECT_EQ(std::vector<std::uint8_t>(markers.begin(), markers.begin() + 4),
            (std::vector<std::uint8_t>{0xE1, 0xED, 0xFE, 0xDB}));
  TBitmap bitmap;
  jpeg.AssignTo(bitmap);
  EXPECT_EQ(bitmap.Width(), 16);
}

TEST(InjectExif, NothingWithoutExif) {
  TimgData data;
  ASSERT_TRUE(data.ScanJpegData(Head({Seg(0xFE, "only a comment")})));
  EXPECT_FALSE(data.HasExif());
  EXPECT_TRUE(data.HasMetadata());
  EXPECT_EQ(data.ExifInfo(), nullptr);
  TJPEGImage jpeg;
  const Bytes encoded = exiftest::EncodedJpeg(8, 8);
  jpeg.LoadFromBytes(encoded);
  data.InjectExif(jpeg, true);
  EXPECT_EQ(jpeg.Data(), encoded);
}

TEST(InjectExif, NothingFromATiffBlock) {
  // The block of a TIFF file is not a JPEG segment: writing it as one would
  // give a corrupt result.
  ExifWriter w(false);
  w.Ascii(0, 0x010F, "Maker").Long(0, 0x0100, {100}).Long(0, 0x0101, {50});
  TimgData data;
  ASSERT_TRUE(data.ScanTiffData(w.Tiff()));
  ASSERT_TRUE(data.HasExif());
  EXPECT_TRUE(data.ExifFromTiff());
  const Bytes block = data.ExifSlot()->Data;
  TJPEGImage jpeg;
  const Bytes encoded = exiftest::EncodedJpeg(8, 8);
  jpeg.LoadFromBytes(encoded);
  data.InjectExif(jpeg, true);
  EXPECT_EQ(jpeg.Data(), encoded);
  EXPECT_EQ(data.ExifSlot()->Data, block);
  EXPECT_EQ(data.BuildHeader(), (Bytes{0xFF, 0xD8}));
  // The parsed data is still there for the text and the XML fragment.
  EXPECT_EQ(data.ExifInfo()->MakeText(), "Maker");
}

// --- ICC profile carry-over ---

// An APP2 segment of an ICC profile: identifier, sequence number, count and
// `size` profile bytes that tell the segment apart.
Bytes IccSegment(int sequence, int count, std::size_t size) {
  Bytes payload = TextBytes(std::string("ICC_PROFILE\0", 12));
  payload.push_back(static_cast<std::uint8_t>(sequence));
  payload.push_back(static_cast<std::uint8_t>(count));
  for (std::size_t i = 0; i < size; ++i)
    payload.push_back(static_cast<std::uint8_t>(sequence * 31 + i));
  return Segment(0xE2, payload);
}

TEST(IccProfile, CarriedWholeOrNotAtAll) {
  struct Case {
    const char* name;
    bool exif;                             // the source has an EXIF segment
    std::vector<std::pair<int, int>> icc;  // (sequence, count) in file order
    bool carried;
  };
  const Case cases[] = {
      {"one segment after EXIF", true, {{1, 1}}, true},
      {"three out of order, no EXIF", false, {{2, 3}, {3, 3}, {1, 3}}, true},
      {"three after EXIF", true, {{1, 3}, {2, 3}, {3, 3}}, true},
      {"counts disagree", false, {{1, 3}, {2, 2}, {3, 3}}, false},
      {"a sequence number twice", false, {{1, 2}, {1, 2}}, false},
      {"one missing", true, {{1, 3}, {3, 3}}, false},
      {"sequence number above the count", false, {{1, 2}, {2, 2}, {3, 2}}, false},
      {"sequence number 0", false, {{0, 1}}, false},
      {"count 0", false, {{1, 0}}, false},
      {"too short for its numbers", false, {{-1, -1}}, false},
  };
  const Bytes encoded = exiftest::EncodedJpeg(32, 24);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> segments = {kJfif};
    if (c.exif) segments.push_back(CameraExif(false));
    std::vector<Bytes> profile(c.icc.size() + 1);  // by sequence number
    for (const auto& [sequence, count] : c.icc) {
      const Bytes segment = sequence < 0 ? Seg(0xE2, std::string("ICC_PROFILE\0\1", 13))
                                         : IccSegment(sequence, count, 100u * sequence + 7);
      segments.push_back(segment);
      if (c.carried) profile[static_cast<std::size_t>(sequence)] = segment;
    }
    // An APP2 of another kind, an APP13 and a comment around them.
    segments.push_back(Seg(0xE2, std::string("FPXR\0", 5)));
    segments.push_back(Seg(0xED, "iptc"));
    segments.push_back(Seg(0xFE, "note"));
    TempFile source("icc.jpg", exiftest::JpegWithSegments(segments, exiftest::EncodedJpeg(8, 8)));
    TimgData data;
    data.ScanFile(source.Path());
    EXPECT_EQ(data.HasIccProfile(), c.carried);
    EXPECT_EQ(data.HasExif(), c.exif);

    TJPEGImage jpeg;
    jpeg.LoadFromBytes(encoded);
    data.InjectExif(jpeg, true);
    const Bytes result = jpeg.Data();
    if (!c.carried && !c.exif) {
      EXPECT_EQ(result, encoded);
      continue;
    }
    // The head of the result, walked independently: EXIF (which must follow
    // SOI) or else the encoder's JFIF APP0 first, then the profile in
    // sequence order, byte for byte; APP13 and COM only along with EXIF.
    std::vector<std::uint8_t> want_markers = {static_cast<std::uint8_t>(c.exif ? 0xE1 : 0xE0)};
    Bytes want_icc;
    for (std::size_t i = 1; c.carried && i < profile.size(); ++i) {
      want_markers.push_back(0xE2);
      want_icc.insert(want_icc.end(), profile[i].begin(), profile[i].end());
    }
    if (c.exif) want_markers.insert(want_markers.end(), {0xED, 0xFE});
    want_markers.push_back(0xDB);
    const auto head = exiftest::HeadSegments(result);
    std::vector<std::uint8_t> markers;
    Bytes icc;
    for (const auto& [marker, bytes] : head) {
      markers.push_back(marker);
      if (marker == 0xE2) icc.insert(icc.end(), bytes.begin(), bytes.end());
    }
    ASSERT_GE(markers.size(), want_markers.size());
    markers.resize(want_markers.size());
    EXPECT_EQ(markers, want_markers);
    EXPECT_EQ(icc, want_icc);
    if (!c.exif) {
      EXPECT_EQ(head[0].second, Bytes(encoded.begin() + 2, encoded.begin() + 20));
    }

    TBitmap bitmap;
    jpeg.AssignTo(bitmap);
    EXPECT_EQ(bitmap.Width(), 32);
    TimgData again;
    again.ScanJpegData(result);
    EXPECT_EQ(again.HasIccProfile(), c.carried) << "a result scans as it was written";
  }
}

TEST(IccProfile, LimitsBoundTheWalk) {
  // Past kMaxIccProfileBytes the profile is dropped, and further ICC
  // segments take slots like any other segment, so the walk's own bounds
  // end it.
  const std::size_t count = kMaxIccProfileBytes / 65000 + 25;
  std::vector<Bytes> segments;
  for (std::size_t i = 1; i <= count; ++i)
    segments.push_back(IccSegment(static_cast<int>(i), static_cast<int>(count), 65000));
  segments.push_back(Seg(0xFE, "after"));
  TimgData data;
  data.ScanJpegData(Head(segments));
  EXPECT_FALSE(data.HasIccProfile());
  EXPECT_LE(data.SegmentCount(), kMaxStoredSegments);
  EXPECT_EQ(data.CommentSlot(), nullptr);

  // Below the limits a profile's segments take no slot: the comment behind
  // 30 of them is still found.
  segments.clear();
  for (int i = 1; i <= 30; ++i)
    segments.push_back(IccSegment(i, 30, 10));
  segments.push_back(Seg(0xFE, "after"));
  EXPECT_TRUE(data.ScanJpegData(Head(segments)));
  EXPECT_TRUE(data.HasIccProfile());
  EXPECT_EQ(data.IccSegments().size(), 30u);
  EXPECT_EQ(Payload(data.CommentSlot()), TextBytes("after"));
}

// --- Orientation tag ---

TEST(OrientationTag, ReadAndRewrittenUpright) {
  struct Case {
    bool big_endian;
    std::uint16_t format;
    std::uint32_t count;
    Bytes field_in;  // the value field, in the block's byte order
    int orientation;
    Bytes field_out;  // after SetCarriedOrientationUpright
  };
  const Case cases[] = {
      {false, kFormatShort, 1, {6, 0, 0xAA, 0xBB}, 6, {1, 0, 0xAA, 0xBB}},
      {true, kFormatShort, 1, {0, 8, 0xAA, 0xBB}, 8, {0, 1, 0xAA, 0xBB}},
      {true, kFormatLong, 1, {0, 0, 0, 3}, 3, {0, 0, 0, 1}},
      {false, kFormatLong, 1, {5, 0, 0, 0}, 5, {1, 0, 0, 0}},
      {false, kFormatByte, 1, {7, 0xAA, 0xBB, 0xCC}, 7, {1, 0xAA, 0xBB, 0xCC}},
      // Values a viewer does not turn by stay as they are.
      {false, kFormatShort, 1, {1, 0, 0, 0}, 1, {1, 0, 0, 0}},
      {false, kFormatShort, 1, {0, 0, 0, 0}, 1, {0, 0, 0, 0}},
      {true, kFormatShort, 1, {0, 9, 0, 0}, 1, {0, 9, 0, 0}},
      {false, kFormatAscii, 2, {'6', 0, 0, 0}, 1, {'6', 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.big_endian ? "MM " : "II ") + std::to_string(c.format) + " " +
                 std::to_string(c.field_in[c.big_endian ? 1 : 0]));
    ExifWriter w(c.big_endian);
    const int exif = w.AddDirectory();
    w.Ascii(0, 0x010F, "Maker").Value(0, 0x0112, c.format, c.count, c.field_in);
    w.Pointer(0, 0x8769, exif).Long(exif, 0xA002, {3000}).Long(exif, 0xA003, {2000});
    TimgData data;
    ASSERT_TRUE(data.ScanJpegData(Head({exiftest::ExifSegment(w.Tiff())})));
    EXPECT_EQ(data.Orientation(), c.orientation);

    Bytes expected = data.ExifSlot()->Data;
    const std::int32_t pos = 2 + 6 + 8 + 2 + 12 + 8;  // IFD0's second entry's value field
    std::copy(c.field_out.begin(), c.field_out.end(), expected.begin() + pos);
    data.SetCarriedOrientationUpright();
    EXPECT_EQ(data.ExifSlot()->Data, expected) << "only the value changes";
    EXPECT_EQ(data.Orientation(), c.orientation) << "the source's value is still reported";

    // Carried into a result that records it.
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(exiftest::EncodedJpeg(16, 8));
    data.InjectExif(jpeg, true);
    TimgData again;
    ASSERT_TRUE(again.ScanJpegData(jpeg.Data()));
    EXPECT_EQ(again.Orientation(), 1);
    EXPECT_EQ(again.ExifInfo()->PixelWidth(), 16);
  }
}

TEST(OrientationTag, OnlyTheFirstDirectoryAndJpegSegments) {
  // A tag in a sub-directory is not the picture's orientation.
  ExifWriter w(false);
  const int exif = w.AddDirectory();
  w.Pointer(0, 0x8769, exif).Short(exif, 0x0112, {6});
  TimgData data;
  ASSERT_TRUE(data.ScanJpegData(Head({exiftest::ExifSegment(w.Tiff())})));
  EXPECT_EQ(data.Orientation(), 1);
  const Bytes before = data.ExifSlot()->Data;
  data.SetCarriedOrientationUpright();
  EXPECT_EQ(data.ExifSlot()->Data, before);
  EXPECT_TRUE(data.ScanJpegData(Head({Seg(0xFE, "no EXIF")})));
  EXPECT_EQ(data.Orientation(), 1);

  // A TIFF block is read when its header points at the directory walked;
  // it is never rewritten (it is not carried).
  ExifWriter t(true);
  t.Short(0, 0x0112, {8});
  Bytes tiff = t.Tiff();
  ASSERT_TRUE(data.ScanTiffData(tiff));
  EXPECT_EQ(data.Orientation(), 8);
  const Bytes block = data.ExifSlot()->Data;
  data.SetCarriedOrientationUpright();
  EXPECT_EQ(data.ExifSlot()->Data, block);
  const Bytes elsewhere = t.U32(0x100);
  std::copy(elsewhere.begin(), elsewhere.end(), tiff.begin() + 4);
  ASSERT_TRUE(data.ScanTiffData(tiff));
  EXPECT_EQ(data.Orientation(), 1);
}

TEST(OrientationTag, ExiftoolReadsTheRewrittenResult) {
  if (!HaveExiftool()) GTEST_SKIP() << "exiftool not installed";
  for (const bool big : {false, true}) {
    TimgData data;
    ASSERT_TRUE(data.ScanJpegData(
        exiftest::JpegWithSegments({CameraExif(big)}, exiftest::EncodedJpeg(8, 8))));
    ASSERT_EQ(data.Orientation(), 6);
    data.SetCarriedOrientationUpright();
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(exiftest::EncodedJpeg(16, 8));
    data.InjectExif(jpeg, true);
    TempFile out("upright.jpg", jpeg.Data());
    EXPECT_EQ(RunCommand("exiftool -s3 -n -Orientation -Make -ExifImageWidth '" + out.Path() + "'"),
              "1\nMaker\n16\n")
        << big;
  }
}

// --- Dimension rewrite ---

// The value field's four bytes at a block offset.
Bytes At(const Bytes& block, std::int32_t pos) {
  return Bytes(block.begin() + pos, block.begin() + pos + 4);
}

TEST(PatchDimensionsBytes, BothOrdersShortAndLong) {
  struct Case {
    bool big_endian;
    std::uint16_t format;
    Bytes width_in, height_in, width_out, height_out;
  };
  const Case cases[] = {
      // 3000 x 2000 rewritten to 800 x 600; a SHORT changes only the first
      // two bytes of its value field.
      {false,
       kFormatLong,
       {0xB8, 0x0B, 0, 0},
       {0xD0, 0x07, 0, 0},
       {0x20, 0x03, 0, 0},
       {0x58, 0x02, 0, 0}},
      {true,
       kFormatShort,
       {0x0B, 0xB8, 0x11, 0x22},
       {0x07, 0xD0, 0x33, 0x44},
       {0x03, 0x20, 0x11, 0x22},
       {0x02, 0x58, 0x33, 0x44}},
      {true,
       kFormatLong,
       {0, 0, 0x0B, 0xB8},
       {0, 0, 0x07, 0xD0},
       {0, 0, 0x03, 0x20},
       {0, 0, 0x02, 0x58}},
      {false,
       kFormatShort,
       {0xB8, 0x0B, 0x11, 0x22},
       {0xD0, 0x07, 0x33, 0x44},
       {0x20, 0x03, 0x11, 0x22},
       {0x58, 0x02, 0x33, 0x44}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.big_endian ? "MM " : "II ") +
                 (c.format == kFormatShort ? "SHORT" : "LONG"));
    ExifWriter w(c.big_endian);
    const int exif = w.AddDirectory();
    w.Pointer(0, 0x8769, exif);
    w.Value(exif, 0xA002, c.format, 1, c.width_in).Value(exif, 0xA003, c.format, 1, c.height_in);
    TimgData data;
    ASSERT_TRUE(data.ScanJpegData(Head({exiftest::ExifSegment(w.Tiff())})));
    TImageInfo& info = *data.ExifInfo();
    ASSERT_EQ(info.PixelWidth(), 3000);
    ASSERT_EQ(info.PixelHeight(), 2000);

    info.PatchDimensions(800, 600);
    const Bytes& block = data.ExifSlot()->Data;
    EXPECT_EQ(At(block, info.WidthPos()), c.width_out);
    EXPECT_EQ(At(block, info.HeightPos()), c.height_out);
    EXPECT_EQ(info.PixelWidth(), 3000);  // the recorded values stay

    Bytes segment = {0xFF, 0xE1};
    segment.insert(segment.end(), block.begin(), block.end());
    TimgData again;
    ASSERT_TRUE(again.ScanJpegData(Head({segment})));
    EXPECT_EQ(again.ExifInfo()->PixelWidth(), 800);
    EXPECT_EQ(again.ExifInfo()->PixelHeight(), 600);
  }
}

TEST(PatchDimensionsBytes, NothingToRewrite) {
  // Same size as recorded: byte for byte.
  ExifWriter w(false);
  w.Long(0, 0xA002, {800}).Long(0, 0xA003, {600});
  TimgData data;
  ASSERT_TRUE(data.ScanJpegData(Head({exiftest::ExifSegment(w.Tiff())})));
  const Bytes before = data.ExifSlot()->Data;
  data.ExifInfo()->PatchDimensions(800, 600);
  EXPECT_EQ(data.ExifSlot()->Data, before);

  // A width entry without a height entry.
  ExifWriter only_width(false);
  only_width.Long(0, 0xA002, {3000});
  ASSERT_TRUE(data.ScanJpegData(Head({exiftest::ExifSegment(only_width.Tiff())})));
  const Bytes before_width = data.ExifSlot()->Data;
  data.ExifInfo()->PatchDimensions(800, 600);
  EXPECT_EQ(data.ExifSlot()->Data, before_width);
}

TEST(PatchDimensionsBytes, OutOfLineValuesAndTheBlockEnd) {
  // A RATIONAL width lies outside its entry: the numerator is rewritten, the
  // entry's offset field is left alone.
  ExifWriter w(true);
  w.Rational(0, 0x0100, {{3000, 1}}).Verbatim(0, 0x0101, kFormatLong, 2, 0);
  Bytes tiff = w.Tiff();
  // The height's two LONGs would start two bytes before the block's end.
  const std::uint32_t at = static_cast<std::uint32_t>(tiff.size());
  tiff.insert(tiff.end(), {0x07, 0xD0});
  const Bytes field = w.U32(at);
  std::copy(field.begin(), field.end(), tiff.begin() + 8 + 2 + 12 + 8);
  TimgData data;
  ASSERT_TRUE(data.ScanJpegData(Head({exiftest::ExifSegment(tiff)})));
  TImageInfo& info = *data.ExifInfo();
  ASSERT_EQ(info.PixelWidth(), 3000);
  ASSERT_EQ(info.PixelHeight(), 2000);
  const Bytes before = data.ExifSlot()->Data;

  info.PatchDimensions(800, 600);
  const Bytes& after = data.ExifSlot()->Data;
  ASSERT_EQ(after.size(), before.size());
  // Only the four numerator bytes changed; the height, which does not fit,
  // was not written.
  int differing = 0;
  for (std::size_t i = 0; i < after.size(); ++i)
    differing += after[i] != before[i];
  EXPECT_EQ(differing, 2);  // 3000 = 00 00 0B B8 -> 800 = 00 00 03 20
  TimgData again;
  Bytes segment = {0xFF, 0xE1};
  segment.insert(segment.end(), after.begin(), after.end());
  ASSERT_TRUE(again.ScanJpegData(Head({segment})));
  EXPECT_EQ(again.ExifInfo()->PixelWidth(), 800);
  EXPECT_EQ(again.ExifInfo()->EntryValue("ImageWidth"), "800/1");
}

// --- The segment walk ---

TEST(SegmentWalk, FifthSegmentRule) {
  TimgData data;
  // Four segments without metadata, then the EXIF segment: not found.
  EXPECT_FALSE(data.ScanJpegData(
      Head({Seg(0xE2, "a"), Seg(0xE3, "b"), Seg(0xE4, "c"), Seg(0xE5, "d"), CameraExif(false)})));
  EXPECT_EQ(data.StatusText(), kStatusNotExif);
  EXPECT_FALSE(data.HasExif());
  EXPECT_EQ(data.SegmentCount(), 5);

  // A comment among the first five keeps the walk going; APP1 as fifth counts.
  EXPECT_TRUE(data.ScanJpegData(
      Head({Seg(0xE2, "a"), Seg(0xE3, "b"), Seg(0xFE, "c"), Seg(0xE4, "d"), CameraExif(false)})));
  ASSERT_TRUE(data.HasExif());
  EXPECT_EQ(data.ExifSlot(), &data.Segment(5));

  // As sixth it is dropped.
  EXPECT_TRUE(data.ScanJpegData(Head({Seg(0xE2, "a"), Seg(0xFE, "b"), Seg(0xE3, "c"),
                                      Seg(0xE4, "d"), Seg(0xE5, "e"), CameraExif(false)})));
  EXPECT_FALSE(data.HasExif());
}

TEST(SegmentWalk, StopsAtSosAndAfterTwentySegments) {
  TimgData data;
  EXPECT_TRUE(data.ScanJpegData(Head({Seg(0xFE, "c")})));
  Bytes after_sos = Head({Seg(0xFE, "c")});
  const Bytes iptc = Seg(0xED, "late");
  after_sos.insert(after_sos.end(), iptc.begin(), iptc.end());
  EXPECT_TRUE(data.ScanJpegData(after_sos));
  EXPECT_EQ(data.IptcSlot(), nullptr);

  std::vector<Bytes> many = {Seg(0xFE, "c")};
  for (int i = 0; i < 19; ++i)
    many.push_back(Seg(0xE2, "x"));
  many.push_back(Seg(0xED, "21st"));
  EXPECT_TRUE(data.ScanJpegData(Head(many)));
  EXPECT_EQ(data.SegmentCount(), kMaxStoredSegments);
  EXPECT_EQ(data.IptcSlot(), nullptr);
}

TEST(SegmentWalk, FillBytesAndEndOfFile) {
  TimgData data;
  // Fill bytes before a marker are skipped.
  Bytes filled = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF};
  const Bytes com = Seg(0xFE, "c");
  filled.insert(filled.end(), com.begin() + 1, com.end());
  EXPECT_TRUE(data.ScanJpegData(filled));
  EXPECT_EQ(Payload(data.CommentSlot()), TextBytes("c"));

  // A segment cut off by the end of the file is not stored.
  Bytes cut = {0xFF, 0xD8};
  cut.insert(cut.end(), com.begin(), com.end());
  const Bytes app1 = CameraExif(false);
  cut.insert(cut.end(), app1.begin(), app1.begin() + 20);
  EXPECT_TRUE(data.ScanJpegData(cut));
  EXPECT_FALSE(data.HasExif());
  EXPECT_EQ(data.SegmentCount(), 1);
}

TEST(SegmentWalk, MalformedLengthFailsTheWalk) {
  TimgData data;
  Bytes bad = {0xFF, 0xD8};
  const Bytes app1 = CameraExif(false);
  bad.insert(bad.end(), app1.begin(), app1.end());
  bad.insert(bad.end(), {0xFF, 0xFE, 0x00, 0x01});
  EXPECT_FALSE(data.ScanJpegData(bad));
  EXPECT_EQ(data.StatusText(), kStatusNotExif);
  EXPECT_TRUE(data.HasExif());  // stored before the failure
}

TEST(SegmentWalk, App1WithoutExifHeader) {
  TimgData data;
  EXPECT_TRUE(data.ScanJpegData(Head({Seg(0xE1, "http://ns.adobe.com/xap/1.0/")})));
  EXPECT_EQ(data.StatusText(), kStatusNone);
  ASSERT_TRUE(data.HasExif());
  EXPECT_EQ(data.ExifInfo()->EntryCount(), 0);

  EXPECT_TRUE(data.ScanJpegData(Head({Seg(0xE1, std::string("Exif\0\0XX*\0\0\0\0\0", 14))})));
  EXPECT_EQ(data.ExifInfo()->EntryCount(), 0);
  // Too short for the first directory's offset: the walk fails.
  EXPECT_FALSE(data.ScanJpegData(Head({Seg(0xE1, std::string("Exif\0\0II*", 9))})));
}

// --- ScanFile ---

TEST(ScanFile, Outcomes) {
  TimgData data;
  EXPECT_FALSE(data.ScanFile("/nonexistent/skalo/photo.jpg"));
  EXPECT_EQ(data.StatusText(), "");

  const Bytes jpeg = exiftest::JpegWithSegments({CameraExif(false)}, exiftest::EncodedJpeg(8, 8));
  TempFile png("photo.png", jpeg);
  EXPECT_FALSE(data.ScanFile(png.Path()));
  EXPECT_EQ(data.StatusText(), kStatusNotExif);
  EXPECT_EQ(data.SourcePath(), png.Path());

  TempFile upper("PHOTO.JPEG", jpeg);
  EXPECT_TRUE(data.ScanFile(upper.Path()));
  EXPECT_EQ(data.SourceBytes(), static_cast<std::int64_t>(jpeg.size()));
  EXPECT_NE(data.SourceStamp(), 0);

  TempFile not_jpeg("photo.jpe", TextBytes("GIF89a"));
  EXPECT_FALSE(data.ScanFile(not_jpeg.Path()));
  EXPECT_EQ(data.StatusText(), kStatusNotExif);
  EXPECT_FALSE(data.HasExif());
}

TEST(ScanFile, TiffBlocks) {
  for (const bool big : {false, true}) {
    ExifWriter w(big);
    const int exif = w.AddDirectory();
    w.Ascii(0, 0x010F, "Maker").Pointer(0, 0x8769, exif);
    w.Rational(exif, 0x829A, {{1, 125}});
    Bytes tiff = w.Tiff();
    // The header's first-directory offset is not used.
    const Bytes bogus = w.U32(0x12345);
    std::copy(bogus.begin(), bogus.end(), tiff.begin() + 4);
    TempFile file(big ? "a.NEF" : "a.tif", tiff);
    TimgData data;
    ASSERT_TRUE(data.ScanFile(file.Path())) << big;
    EXPECT_EQ(data.StatusText(), kStatusNone);
    EXPECT_FALSE(data.FromTiff());
    EXPECT_TRUE(data.ExifInfo()->FromTiff());
    EXPECT_EQ(data.ExifInfo()->EntryValue("ExposureTime"), "1/125 sec");
    EXPECT_EQ(data.ExifInfo()->EntryValue("Make"), "Maker");
  }
}

TEST(ScanFile, TiffWindow) {
  // An EXIF directory beyond the window is out of reach.
  ExifWriter w(false);
  w.Ascii(0, 0x010F, "Maker").Verbatim(0, 0x8769, kFormatLong, 1, 300000);
  Bytes tiff = w.Tiff();
  tiff.resize(300000, 0);
  ExifWriter far(false);
  far.Rational(0, 0x829A, {{1, 125}});
  const Bytes far_tiff = far.Tiff();
  tiff.insert(tiff.end(), far_tiff.begin() + 8, far_tiff.end());
  TimgData data;
  ASSERT_TRUE(data.ScanTiffData(tiff));
  EXPECT_EQ(data.ExifSlot()->Data.size(), kTiffBlockWindow);
  EXPECT_EQ(data.ExifInfo()->EntryCount(), 2);
  EXPECT_EQ(data.ExifInfo()->FindEntry("ExposureTime"), -1);

  EXPECT_FALSE(data.ScanTiffData(TextBytes("XX*\0")));
  EXPECT_FALSE(data.ScanTiffData(TextBytes("II")));
}

}  // namespace
}  // namespace skalo
