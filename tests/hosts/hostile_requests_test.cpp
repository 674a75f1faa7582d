// Requests an attacker would send, through the real host and the real module.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "imaging/jpeg.h"
#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo::host::testing {
namespace {

namespace fs = std::filesystem;

std::string JpegBytes(int width, int height) {
  auto picture = skalo::testing::MakeBgr24(width, height, [](int x, int y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                       90};
  });
  TJPEGImage jpeg;
  jpeg.Assign(picture);
  const auto bytes = skalo::testing::SaveToBytes(jpeg);
  return std::string(bytes.begin(), bytes.end());
}

// A site with one photo, a private photo outside it, and a cache folder.
class HostileRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "module");
    fs::copy_file(SKALO_MODULE_FILE, dir_.path() / "module" / "skalo.so");
    WriteSettings("<skalocacheenabled>true</skalocacheenabled>");
    fs::create_directories(dir_.path() / "cache");
    dir_.Write("www/img/photo.jpg", JpegBytes(64, 48));
    secret_ = dir_.Write("private/secret.jpg", JpegBytes(32, 32)).string();
    httpd_ = std::make_unique<HttpdProcess>(std::vector<std::string>{
        "--listen", "127.0.0.1:0", "--root", (dir_.path() / "www").string(), "--alias",
        "/cache=" + (dir_.path() / "cache").string(), "--module",
        (dir_.path() / "module" / "skalo.so").string(), "--threads", "8"});
  }
  void TearDown() override { EXPECT_EQ(httpd_->Stop(), 0); }

  void WriteSettings(const std::string& keys) {
    dir_.Write("module/SkaloSettings.xml",
               "<s><skalocachepath>/cache</skalocachepath>" + keys + "</s>");
  }
  Reply Get(const std::string& target) { return client_.Fetch(httpd_->Url(target)); }
  std::size_t CacheFiles() const {
    std::size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir_.path() / "cache"))
      n += e.is_regular_file();
    return n;
  }

  TempDir dir_;
  std::string secret_;
  std::unique_ptr<HttpdProcess> httpd_;
  Client client_;
};

TEST_F(HostileRequests, ImageFieldNeverLeavesTheSite) {
  for (const std::string& image : std::vector<std::string>{
           secret_, secret_ + "%00%3A%5C.jpg", secret_ + "%00%5C%5C.jpg", "C:%5C" + secret_,
           "x%5C%5C" + secret_, "/../private/secret.jpg", "/img/..%2f..%2fprivate/secret.jpg"}) {
    for (const char* action :
         {"/skalo/bin?Width=3000&Output=.bmp&Image=", "/skalo/xml?ProcessBinary=false&Image="}) {
      const Reply reply = Get(std::string(action) + image);
      EXPECT_NE(reply.status, 200) << action << image;
      EXPECT_EQ(reply.body.find("<width>"), std::string::npos) << action << image;
    }
  }
  EXPECT_EQ(CacheFiles(), 0u);
}

TEST_F(HostileRequests, ControlBytesAreRefusedBeforeAnythingRuns) {
  struct Case {
    std::string query, field;
  };
  for (const Case& c : std::vector<Case>{{"Rotation=0%0D%0AHeight=20", "Rotation"},
                                         {"Wid%09th=20", "Wid%09th"},
                                         {"bgcolor=%7F", "bgcolor"},
                                         {"x=%00", "x"}}) {
    const std::string query = "?Image=/img/photo.jpg&Width=20&" + c.query;
    const Reply bin = Get("/skalo/bin" + query);
    EXPECT_EQ(bin.status, 400) << c.query;
    EXPECT_EQ(bin.Header("Content-Type"), "text/plain");
    EXPECT_EQ(bin.body, "Invalid character in field " + c.field);
    const Reply xml = Get("/skalo/xml" + query);
    EXPECT_EQ(xml.status, 400) << c.query;
    EXPECT_EQ(xml.body, "<root><errorcode>1010</errorcode><errortext>Invalid character in field " +
                            c.field + "</errortext></root>");
    for (const char* action : {"/skalo/cachename", "/skalo/test", "/skalo/loadsettings"}) {
      const Reply other = Get(action + query);
      EXPECT_EQ(other.status, 400) << action << query;
      EXPECT_NE(other.body.find("Internal Application Error"), std::string::npos);
    }
  }
  EXPECT_EQ(CacheFiles(), 0u);
  // The request whose key the CR LF tried to take is computed for itself.
  const Reply clean = Get("/skalo/bin?Image=/img/photo.jpg&Width=20&Rotation=0&Height=20");
  EXPECT_EQ(clean.status, 200);
  EXPECT_EQ(CacheFiles(), 1u);
}

TEST_F(HostileRequests, ForceNewCacheCountsOnlyAsAWholeField) {
  ASSERT_EQ(Get("/skalo/bin?x=forcenewcache=true&Image=/img/photo.jpg&Width=20").status, 200);
  ASSERT_EQ(Get("/skalo/bin?x=&Image=/img/photo.jpg&Width=20").status, 200);
  EXPECT_EQ(CacheFiles(), 2u);
  ASSERT_EQ(Get("/skalo/bin?x=&Image=/img/photo.jpg&Width=20&ForceNewCache=true").status, 200);
  EXPECT_EQ(CacheFiles(), 2u);
}

TEST_F(HostileRequests, FreshAndCachedAnswersCarryTheSameType) {
  const std::pair<const char*, const char*> formats[] = {{".jpg", "image/jpeg"},
                                                         {".png", "image/png"},
                                                         {".gif", "image/gif"},
                                                         {".bmp", "image/bmp"},
                                                         {".tga", "image/targa"}};
  for (const auto& [output, type] : formats) {
    const std::string target =
        std::string("/skalo/bin?Image=/img/photo.jpg&Width=20&Output=") + output;
    const Reply fresh = Get(target);
    const Reply cached = Get(target);
    EXPECT_EQ(fresh.Header("Content-Type"), type) << output;
    EXPECT_EQ(cached.Header("Content-Type"), type) << output;
    EXPECT_EQ(cached.body, fresh.body) << output;
  }
  EXPECT_EQ(CacheFiles(), 5u);
}

TEST_F(HostileRequests, CacheNameWithoutAFolderCreatesNothing) {
  dir_.Write("module/SkaloSettings.xml", "<s><skalocacheenabled>true</skalocacheenabled></s>");
  ASSERT_EQ(Get("/skalo/loadsettings").status, 200);
  const auto listing = [](const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
      names.insert(e.path().filename().string());
    return names;
  };
  const auto root_before = listing("/");
  const auto site_before = listing(dir_.path() / "www");
  const Reply reply = Get("/skalo/cachename?Image=/img/photo.jpg&Width=20");
  EXPECT_EQ(reply.status, 500);
  EXPECT_NE(reply.body.find("<cachefilename></cachefilename>"), std::string::npos) << reply.body;
  EXPECT_EQ(Get("/skalo/bin?Image=/img/photo.jpg&Width=20").status, 200);
  EXPECT_EQ(listing("/"), root_before);
  EXPECT_EQ(listing(dir_.path() / "www"), site_before);
}

// Every pooled instance follows a reload; a broken file keeps what was there.
TEST_F(HostileRequests, ReloadReachesEveryInstance) {
  const auto burst = [&](int n, const std::string& target) {
    std::vector<long> statuses(static_cast<std::size_t>(n));
    std::vector<std::thread> threads;
    for (long& status : statuses)
      threads.emplace_back([&, target] {
        Client client;
        status = client.Fetch(httpd_->Url(target)).status;
      });
    for (auto& t : threads)
      t.join();
    return statuses;
  };
  WriteSettings("<maxwidth>100</maxwidth>");
  ASSERT_EQ(Get("/skalo/loadsettings").status, 200);
  EXPECT_EQ(burst(24, "/skalo/bin?Image=/img/photo.jpg&Width=50&ForceNewCache=true"),
            std::vector<long>(24, 200));
  WriteSettings("<maxwidth>10</maxwidth>");
  ASSERT_EQ(Get("/skalo/loadsettings").status, 200);
  EXPECT_EQ(burst(40, "/skalo/bin?Image=/img/photo.jpg&Width=50"), std::vector<long>(40, 500));

  dir_.Write("module/SkaloSettings.xml", "<s><maxwidth>1</s>");
  const Reply broken = Get("/skalo/loadsettings");
  EXPECT_EQ(broken.status, 500);
  EXPECT_NE(broken.body.find("<error>Parser error.</error>"), std::string::npos);
  EXPECT_EQ(Get("/skalo/bin?Image=/img/photo.jpg&Width=50").status, 500);
  EXPECT_EQ(Get("/skalo/bin?Image=/img/photo.jpg&Width=10").status, 200);
}

TEST_F(HostileRequests, JpegQualityIsHeldToOneToHundred) {
  const auto at = [&](const char* compression) {
    const Reply reply =
        Get(std::string("/skalo/bin?Image=/img/photo.jpg&Width=40&Compression=") + compression);
    EXPECT_EQ(reply.status, 200) << compression;
    return reply.body;
  };
  EXPECT_EQ(at("300"), at("100"));
  EXPECT_EQ(at("0"), at("1"));
  EXPECT_EQ(at("-5"), at("1"));
  EXPECT_NE(at("44"), at("300"));
}

}  // namespace
}  // namespace skalo::host::testing
