#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/skalo.h"
#include "imaging/graphic.h"
#include "imaging/jpeg.h"
#include "metadata/img_data.h"
#include "tests/metadata/exif_writer.h"

namespace skalo {
namespace {

using exiftest::Bytes;

// A 320x240 JPEG with an EXIF block recording that size, a comment and an APP13.
Bytes CameraJpeg() {
  exiftest::ExifWriter exif;
  const int sub = exif.AddDirectory();
  exif.Ascii(0, 0x010F, "Maker").Ascii(0, 0x0110, "Model X").Pointer(0, 0x8769, sub);
  exif.Rational(sub, 0x829A, {{1, 60}}).Long(sub, 0xA002, {320}).Long(sub, 0xA003, {240});
  return exiftest::JpegWithSegments(
      {exiftest::ExifSegment(exif.Tiff()), exiftest::Segment(0xFE, exiftest::TextBytes("hello")),
       exiftest::Segment(0xED, exiftest::TextBytes("Photoshop 3.0"))},
      exiftest::EncodedJpeg(320, 240));
}

Bytes Save(TGraphic& graphic) {
  TMemoryStream stream;
  graphic.SaveToStream(stream);
  return stream.Bytes();
}

TEST(JobExif, JpegResultsCarryThePatchedBlock) {
  exiftest::TempFile source("camera.jpg", CameraJpeg());
  TSkalo job;
  job.SetWidth(100);
  std::unique_ptr<TGraphic> result;
  job.doResize(result, source.Path());
  ASSERT_EQ(job.ErrorCode(), 0) << job.ErrorText();
  ASSERT_TRUE(result);
  EXPECT_TRUE(job.EXIFLoaded());
  const Bytes out = Save(*result);
  const auto segments = exiftest::HeadSegments(out);
  ASSERT_GE(segments.size(), 3u);
  EXPECT_EQ(segments[0].first, 0xE1);  // SOI then the source's APP1, no JFIF APP0
  TimgData scanned;
  ASSERT_TRUE(scanned.ScanJpegData(out));
  ASSERT_TRUE(scanned.HasExif());
  EXPECT_TRUE(scanned.CommentSlot());
  EXPECT_TRUE(scanned.IptcSlot());
  const std::string summary = scanned.ExifInfo()->SummaryText();
  TJPEGImage decoded;
  decoded.LoadFromBytes(out);
  EXPECT_EQ(decoded.Width(), 100);
  EXPECT_EQ(decoded.Height(), 75);

  // The XML result of the same request carries the fragment.
  TSkalo xml;
  xml.SetWidth(100);
  const std::string doc = xml.doResizeXML(source.Path());
  const std::size_t info_end = doc.find("  </imageinfo>\r\n");
  ASSERT_NE(info_end, std::string::npos);
  EXPECT_EQ(doc.substr(info_end + 16, 2), "  ");
  EXPECT_NE(doc.find("<exifdata>"), std::string::npos) << doc.substr(info_end);
  EXPECT_EQ(doc.substr(doc.size() - 9), "</root>\r\n");
}

TEST(JobExif, OtherOutputsNeitherReadNorCarryMetadata) {
  exiftest::TempFile source("camera.jpg", CameraJpeg());
  TSkalo png;
  png.SetWidth(50);
  png.SetOutput(".png");
  const std::string doc = png.doResizeXML(source.Path());
  EXPECT_EQ(png.ErrorCode(), 0);
  EXPECT_FALSE(png.EXIFLoaded());
  EXPECT_EQ(doc.find("exifdata"), std::string::npos);

  TSkalo off;
  off.SetWidth(50);
  off.SetProcessEXIF(false);
  std::unique_ptr<TGraphic> result;
  off.doResize(result, source.Path());
  ASSERT_TRUE(result);
  TimgData scanned;
  scanned.ScanJpegData(Save(*result));
  EXPECT_FALSE(scanned.HasExif());
}

TEST(JobExif, MeasuringStillReportsTheFragment) {
  exiftest::TempFile source("camera.jpg", CameraJpeg());
  TSkalo job;
  job.SetProcessBinary(false);
  const std::string doc = job.doResizeXML(source.Path());
  EXPECT_TRUE(job.EXIFLoaded());
  EXPECT_EQ(doc.find("imagedata"), std::string::npos);
  EXPECT_NE(doc.find("<exifdata>"), std::string::npos);
}

TEST(JobExif, ExifPropertyReadsOnceAndNeverSetsErrors) {
  exiftest::TempFile plain("plain.jpg", exiftest::EncodedJpeg(16, 16));
  TSkalo none;
  none.SetImage(plain.Path());
  EXPECT_EQ(none.EXIF(), "No image loaded or no EXIF data avaible");
  EXPECT_EQ(none.ErrorCode(), 0);

  exiftest::TempFile source("camera.jpg", CameraJpeg());
  TSkalo job;
  job.SetImage(source.Path());
  const std::string text = job.EXIF();
  EXPECT_NE(text, "No image loaded or no EXIF data avaible");
  EXPECT_TRUE(job.EXIFLoaded());
  // Once loaded, the run does not read the file's metadata again.
  job.ImgData().SetStatusText("kept");
  job.SetWidth(20);
  std::unique_ptr<TGraphic> result;
  job.doResize(result, "");
  EXPECT_EQ(job.ImgData().StatusText(), "kept");
}

// A 320x240 JPEG whose EXIF block says `orientation`, and an ICC profile in
// `icc_parts` APP2 segments (none: no profile).
Bytes PhoneJpeg(int orientation, int icc_parts) {
  std::vector<Bytes> segments;
  if (orientation != 0) {
    exiftest::ExifWriter exif;
    exif.Short(0, 0x0112, {static_cast<std::uint16_t>(orientation)});
    segments.push_back(exiftest::ExifSegment(exif.Tiff()));
  }
  for (int part = 1; part <= icc_parts; ++part) {
    Bytes payload = exiftest::TextBytes("ICC_PROFILE");
    payload.push_back(0);
    payload.push_back(static_cast<std::uint8_t>(part));
    payload.push_back(static_cast<std::uint8_t>(icc_parts));
    for (int k = 0; k < 100; ++k)
      payload.push_back(static_cast<std::uint8_t>(part * 31 + k));
    segments.push_back(exiftest::Segment(0xE2, payload));
  }
  return exiftest::JpegWithSegments(segments, exiftest::EncodedJpeg(320, 240));
}

TEST(JobExif, AutoOrientTurnsThePictureUpright) {
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE("orientation " + std::to_string(orientation));
    exiftest::TempFile source("phone.jpg", PhoneJpeg(orientation, 0));
    for (bool on : {false, true}) {
      TSkalo job;
      job.SetWidth(-1);
      job.SetHeight(60);
      job.SetAutoRotate(false);
      job.SetAutoOrient(on);
      std::unique_ptr<TGraphic> result;
      job.doResize(result, source.Path());
      ASSERT_EQ(job.ErrorCode(), 0) << job.ErrorText();
      const bool sideways = on && orientation >= 5;
      EXPECT_EQ(job.OriginalWidth(), sideways ? 240 : 320);
      EXPECT_EQ(result->Width(), sideways ? 45 : 80);
      TimgData carried;
      ASSERT_TRUE(carried.ScanJpegData(Save(*result)));
      EXPECT_EQ(carried.Orientation(), on ? 1 : orientation);
    }
  }
}

TEST(JobExif, IccProfilesAreCarriedWithOrWithoutExif) {
  for (auto [orientation, parts] : {std::pair{1, 1}, std::pair{0, 3}, std::pair{6, 3}}) {
    exiftest::TempFile source("wide.jpg", PhoneJpeg(orientation, parts));
    const auto wanted = exiftest::HeadSegments(PhoneJpeg(orientation, parts));
    for (bool exif : {true, false}) {
      TSkalo job;
      job.SetWidth(50);
      job.SetProcessEXIF(exif);
      std::unique_ptr<TGraphic> result;
      job.doResize(result, source.Path());
      ASSERT_EQ(job.ErrorCode(), 0) << job.ErrorText();
      std::vector<Bytes> icc, want_icc;
      for (const auto& [marker, bytes] : exiftest::HeadSegments(Save(*result)))
        if (marker == 0xE2) icc.push_back(bytes);
      for (const auto& [marker, bytes] : wanted)
        if (marker == 0xE2) want_icc.push_back(bytes);
      EXPECT_EQ(icc, exif ? want_icc : std::vector<Bytes>{}) << orientation << " " << parts;
    }
  }
}

}  // namespace
}  // namespace skalo
