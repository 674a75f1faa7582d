// Real camera files from the shared test data (outside the repository):
// every file is scanned, its text and XML fragment produced, and for JPEG
// sources a new picture receives the carried metadata; the result must
// decode and record its own size. Skipped when the test data is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "metadata/img_data.h"
#include "tests/metadata/exif_writer.h"
#include "tests/metadata/xml_check.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;

// <project>/../shared/testdata/exif, beside the project's source folder.
fs::path ExifFolder() {
  return fs::path(SKALO_SOURCE_ROOT) / ".." / "shared" / "testdata" / "exif";
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

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

TEST(CameraFiles, ScanCarryAndDecode) {
  const fs::path folder = ExifFolder();
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) {
    GTEST_SKIP() << "no shared test data";
  }
  const bool exiftool =
      RunCommand("command -v exiftool 2>/dev/null").find("exiftool") != std::string::npos;

  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  const exiftest::Bytes picture = exiftest::EncodedJpeg(40, 30);
  int with_exif = 0, carried = 0, checked_by_exiftool = 0;
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.filename().string());
    const std::string ext = Lower(path.extension().string());
    TimgData data(255);
    const bool found = data.ScanFile(path.string());
    if (found) {
      EXPECT_EQ(data.StatusText(), kStatusNone);
    }
    if (!data.HasExif()) continue;
    ++with_exif;
    const TImageInfo& info = *data.ExifInfo();
    EXPECT_FALSE(info.SummaryText().empty());
    EXPECT_TRUE(xmlcheck::WellFormed(info.XmlLines(2)));
    if (ext != ".jpg" && ext != ".jpeg") continue;

    TJPEGImage jpeg;
    jpeg.LoadFromBytes(picture);
    data.InjectExif(jpeg, true);
    const exiftest::Bytes result = jpeg.Data();
    ASSERT_GE(result.size(), 4u);
    EXPECT_EQ(result[3], 0xE1);
    TBitmap bitmap;
    ASSERT_NO_THROW(jpeg.AssignTo(bitmap));
    EXPECT_EQ(bitmap.Width(), 40);
    EXPECT_EQ(bitmap.Height(), 30);
    ++carried;

    if (!found || info.PixelWidth() <= 0 || info.PixelHeight() <= 0) continue;
    TimgData again;
    ASSERT_TRUE(again.ScanJpegData(result));
    EXPECT_EQ(again.ExifInfo()->PixelWidth(), 40);
    EXPECT_EQ(again.ExifInfo()->PixelHeight(), 30);

    // exiftool reads the rewritten EXIF size when it lives in the EXIF
    // directory's own tags.
    const auto width_entry =
        std::find_if(info.Entries().begin(), info.Entries().end(),
                     [&](const TTagEntry& e) { return e.ValuePos == info.WidthPos(); });
    if (!exiftool || width_entry == info.Entries().end() || width_entry->Name != "ExifImageWidth")
      continue;
    exiftest::TempFile out("result.jpg", result);
    EXPECT_EQ(RunCommand("exiftool -s3 -ExifImageWidth -ExifImageHeight '" + out.Path() + "'"),
              "40\n30\n");
    ++checked_by_exiftool;
  }
  EXPECT_GT(with_exif, 0);
  EXPECT_GT(carried, 0);
  if (exiftool) {
    EXPECT_GT(checked_by_exiftool, 0);
  }
}

}  // namespace
}  // namespace skalo
