// The real module behind the real host: requests over loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "imaging/jpeg.h"
#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo::host::testing {
namespace {

namespace fs = std::filesystem;

// A copy of skalo.so with its own settings, a site with one photo, a cache folder.
class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "module");
    fs::copy_file(SKALO_MODULE_FILE, dir_.path() / "module" / "skalo.so");
    dir_.Write("module/SkaloSettings.xml",
               "<s><skalocachepath>/cache</skalocachepath><skalocacheenabled>true"
               "</skalocacheenabled><defaultimage>/img/photo one.jpg</defaultimage></s>");
    fs::create_directories(dir_.path() / "cache");
    fs::create_directories(dir_.path() / "www" / "img");
    skalo::testing::Raster picture = skalo::testing::MakeBgr24(640, 480, [](int x, int y) {
      return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x / 3),
                                         static_cast<std::uint8_t>(y / 2), 128};
    });
    TJPEGImage jpeg;
    jpeg.Assign(picture);
    const auto bytes = skalo::testing::SaveToBytes(jpeg);
    dir_.Write("www/img/photo one.jpg",
               std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    httpd_ = std::make_unique<HttpdProcess>(std::vector<std::string>{
        "--listen", "127.0.0.1:0", "--root", (dir_.path() / "www").string(), "--alias",
        "/cache=" + (dir_.path() / "cache").string(), "--module",
        (dir_.path() / "module" / "skalo.so").string(), "--metrics", "/metrics"});
  }
  void TearDown() override {
    if (httpd_) {
      EXPECT_EQ(httpd_->Stop(), 0);
    }
  }

  // Decoded size of a JPEG answer.
  static std::pair<int, int> JpegSize(const std::string& body) {
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(std::vector<std::uint8_t>(body.begin(), body.end()));
    return {jpeg.Width(), jpeg.Height()};
  }

  TempDir dir_;
  std::unique_ptr<HttpdProcess> httpd_;
};

TEST_F(Service, ResizesCachesAndAnswersFromTheCache) {
  Client client;
  const Reply fresh = client.Fetch(httpd_->Url("/skalo/bin?Image=/img/photo%20one.jpg&Width=200"));
  ASSERT_EQ(fresh.status, 200) << fresh.body;
  EXPECT_EQ(fresh.Header("Content-Type"), "image/jpeg");
  EXPECT_EQ(fresh.Header("Content-Disposition"), "filename=\"photo one.jpg\"");
  EXPECT_EQ(JpegSize(fresh.body), std::make_pair(200, 150));

  // From the cache's file, labelled as the fresh answer was.
  const Reply cached = client.Fetch(httpd_->Url("/skalo?image=/img/photo+one.jpg&width=200"));
  ASSERT_EQ(cached.status, 200);
  for (const char* name : {"Content-Type", "Content-Disposition", "Content-Length"})
    EXPECT_EQ(cached.Header(name), fresh.Header(name)) << name;
  EXPECT_EQ(cached.body, fresh.body);
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir_.path() / "cache"))
    files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
  const std::string metrics = client.Fetch(httpd_->Url("/metrics")).body;
  EXPECT_NE(metrics.find("skalo_cache_hits_total 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("skalo_cache_misses_total 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("skalo_memory_reserved_bytes 0\n"), std::string::npos) << metrics;

  // A revisit with the validators it was given is answered 304, empty.
  ASSERT_FALSE(fresh.Header("ETag").empty());
  for (const std::string& header : {"If-None-Match: " + fresh.Header("ETag"),
                                    "If-Modified-Since: " + fresh.Header("Last-Modified")}) {
    Request conditional;
    conditional.headers = {header};
    const Reply again =
        client.Fetch(httpd_->Url("/skalo/bin?Image=/img/photo%20one.jpg&Width=200"), conditional);
    EXPECT_EQ(again.status, 304) << header;
    EXPECT_TRUE(again.body.empty());
  }
}

TEST_F(Service, DefaultImageXmlAndErrors) {
  Client client;
  const Reply missing = client.Fetch(httpd_->Url("/skalo/xml?Image=/img/none.jpg&Width=64"));
  ASSERT_EQ(missing.status, 200) << missing.body;
  EXPECT_EQ(missing.Header("Content-Type"), "text/xml");
  EXPECT_NE(missing.body.find("<width>64</width>\r\n    <height>48</height>"), std::string::npos)
      << missing.body;
  EXPECT_NE(missing.body.find("<filename>photo one.jpg</filename>"), std::string::npos);

  const Reply bad = client.Fetch(httpd_->Url("/skalo/bin?Image=/img/photo%20one.jpg"));
  EXPECT_EQ(bad.status, 500);
  EXPECT_EQ(bad.Header("Content-Type"), "text/plain");
  EXPECT_EQ(bad.body, "Both width and height are unspecified");

  const Reply decode = client.Fetch(httpd_->Url("/skalo/%7Bbad?Image=%4"));
  EXPECT_EQ(decode.status, 500);
  EXPECT_EQ(decode.body,
            "<html><body><h1>Internal Application Error</h1>\r\n<p>Error decoding URL style "
            "(%XX) encoded string at position 7\r\n<p><hr width=\"100%\"><i>/{bad</i></body>"
            "</html>");
}

TEST_F(Service, ConcurrentIdenticalRequestsAllSucceed) {
  std::vector<Reply> replies(6);
  std::vector<std::thread> threads;
  for (auto& reply : replies) {
    threads.emplace_back([&] {
      Client client;
      reply =
          client.Fetch(httpd_->Url("/skalo/bin?Image=/img/photo%20one.jpg&Width=320&Output=.png"));
    });
  }
  for (auto& t : threads)
    t.join();
  for (const Reply& reply : replies) {
    // Fresh or from the cache, the same PNG with the same label.
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.Header("Content-Type"), "image/png");
    EXPECT_EQ(reply.body.substr(1, 3), "PNG");
    EXPECT_EQ(reply.body, replies.front().body);
  }
}

}  // namespace
}  // namespace skalo::host::testing
