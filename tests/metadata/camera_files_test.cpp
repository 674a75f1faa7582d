// Real camera files from the shared test data (outside the repository):
// every file is scanned, its text and XML fragment produced, and for JPEG
// sources a new picture receives the carried metadata; the result must
// decode and record its own size. The cameras' maker entries must show in
// the XML fragment, and the IPTC datasets of the files that carry them must
// parse. Skipped when the test data is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "metadata/img_data.h"
#include "metadata/iptc.h"
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

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ')
    s.remove_prefix(1);
  return s;
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

// Maker notes of real cameras: for the files below the maker's entries are
// listed in the XML fragment (one element per entry, the maker's run right
// before "makernote"); cameras of other makers give none. Every file's
// fragment stays well-formed whatever its note holds.
TEST(CameraFiles, MakerEntriesInTheXmlFragment) {
  const fs::path folder = ExifFolder();
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) {
    GTEST_SKIP() << "no shared test data";
  }
  // File, an element its maker entries must include.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Nikon_D70.jpg", "<isospeed>"},
      {"Nikon_D1X.jpg", "<isospeed>"},
      {"DSCN0010.jpg", "<isospeed>"},
      {"nikon-e950.jpg", "<quality>"},
      {"Nikon_E885.jpg", "<colormode>"},
      {"Olympus_C2040Z.jpg", "<jpegqual>"},
      {"olympus-c960.jpg", "<jpegqual>"},
      {"canon-ixus.jpg", "<imagetype>"},
      {"Canon_PowerShot_S40.jpg", "<imagetype>"},
      {"Canon_EOS-1D_Issue_122.jpg", "<imagetype>"},
      {"fujifilm-finepix40i.jpg", "<picturemode>"},
      {"Fujifilm_FinePix_E500.jpg", "<quality>"},
      {"Casio_QV-3000EX.jpg", "<recordingmode>"},
      {"Seiko_Epson_PhotoPC_3000Z.jpg", "<special_mode>"},
      {"sanyo-vpcsx550.jpg", "<jpegquality>"},
      {"Minolta_DiMAGE_X.jpg", "<modelid>"},
  };
  const std::vector<std::string> known = {"NIKON", "OLYMP", "CASIO", "FUJIF",
                                          "CANON", "SEIKO", "SANYO", "MINOL"};

  int checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    TimgData data(255);
    data.ScanFile(entry.path().string());
    if (!data.HasExif()) continue;
    const TImageInfo& info = *data.ExifInfo();
    const std::vector<TTagEntry>& entries = info.Entries();
    const std::vector<std::string> lines = info.XmlLines(2);
    ASSERT_TRUE(xmlcheck::WellFormed(lines));
    ASSERT_EQ(lines.size(), entries.size() * 3 + 2);

    std::size_t makers = 0;
    for (const TTagEntry& e : entries)
      makers += e.EntryKind == 1 ? 1 : 0;
    std::string key = info.MakeText().substr(0, 5);
    for (char& c : key)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      EXPECT_EQ(makers, 0u) << info.MakeText();
    }
    const auto want = std::find_if(expected.begin(), expected.end(),
                                   [&](const auto& e) { return e.first == name; });
    if (want == expected.end()) continue;

    // The maker's run of elements ends right before the maker note's.
    const std::int32_t note = info.FindEntry("MakerNote");
    ASSERT_GT(note, 0);
    ASSERT_GT(makers, 0u);
    const auto note_at = static_cast<std::size_t>(note);
    ASSERT_GE(note_at, makers);
    for (std::size_t i = note_at - makers; i < note_at; ++i)
      EXPECT_EQ(entries[i].EntryKind, 1) << entries[i].Name;
    EXPECT_EQ(Trimmed(lines[1 + 3 * note_at]), "<makernote>");
    bool listed = false;
    for (std::size_t i = note_at - makers; i < note_at; ++i)
      listed = listed || Trimmed(lines[1 + 3 * i]) == want->second;
    EXPECT_TRUE(listed) << "no " << want->second;
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<int>(expected.size()));
}

// The IPTC datasets of camera files that carry them in a Photoshop APP13.
TEST(CameraFiles, IptcDatasets) {
  const fs::path folder = ExifFolder();
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) {
    GTEST_SKIP() << "no shared test data";
  }
  for (const std::string name : {"iptc.jpg", "Nikon_D1X.jpg", "Canon_EOS-1D_Issue_122.jpg"}) {
    SCOPED_TRACE(name);
    TimgData data;
    TIPTCdata iptc(data);
    EXPECT_TRUE(iptc.ReadFile((folder / name).string()));
    EXPECT_GT(iptc.DatasetCount(), 2);
    ASSERT_NE(data.IptcInfo(), nullptr);
  }
}

}  // namespace
}  // namespace skalo
