#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "imaging/jpeg.h"
#include "service/application.h"
#include "service/md5.h"
#include "tests/imaging/codec_test_util.h"
#include "tests/service/fake_ecb.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;
using testing::FakeConnection;

// The service module over a private site: www/ holds the images, cache/ the results.
class ImageActions : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("skalo-images-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "www" / "img");
    fs::create_directories(dir_ / "cache");
    testing::Raster picture = testing::MakeBgr24(400, 300, [](int x, int y) {
      return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                         90};
    });
    TJPEGImage jpeg;
    jpeg.Assign(picture);
    const testing::Bytes bytes = testing::SaveToBytes(jpeg);
    for (const char* name : {"photo.JPG", "default.jpg", "a&b.jpg"}) {
      std::ofstream(dir_ / "www" / "img" / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    }
    app_ = std::make_unique<TWebApplication>([this] {
      auto module = std::make_unique<TWebModule1>();
      module->SetSettingsDirectory(dir_.string() + "/");
      return module;
    });
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Settings(bool cache, const std::string& extra = "") {
    std::ofstream(dir_ / "SkaloSettings.xml")
        << "<s><skalocachepath>/../cache</skalocachepath><skalocacheenabled>"
        << (cache ? "true" : "false") << "</skalocacheenabled>" << extra << "</s>";
  }
  void Request(FakeConnection& conn, const std::string& path_info, const std::string& query) {
    conn.path_info = path_info;
    conn.query = query;
    conn.map_url = [this](const std::string& url) { return (dir_ / "www").string() + url; };
    app_->HttpExtensionProc(conn.Ecb());
  }
  std::size_t CacheFiles() const {
    std::size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "cache"))
      n += e.is_regular_file();
    return n;
  }

  fs::path dir_;
  std::unique_ptr<TWebApplication> app_;
};

TEST_F(ImageActions, BinFreshThenCached) {
  Settings(true);
  FakeConnection fresh;
  Request(fresh, "/bin", "Image=/img/photo.JPG&Width=200&Output=.png");
  EXPECT_EQ(fresh.status, "200 OK");
  EXPECT_EQ(fresh.headers.substr(0, fresh.headers.find("Content-Length")),
            "Content-Disposition: filename=\"photo.JPG\"\r\nContent-Type: image/png\r\n");
  ASSERT_GT(fresh.body.size(), 8u);
  EXPECT_EQ(fresh.body.substr(1, 3), "PNG");

  // Cached under the digest of the field list with the request's extension.
  const std::string digest = MD5Hex("image=/img/photo.JPG\r\nwidth=200\r\noutput=.png\r\n");
  const fs::path entry =
      dir_ / "cache" / std::string{digest.front(), digest.back()} / (digest + ".JPG");
  EXPECT_TRUE(fs::is_regular_file(entry)) << entry;

  // Labelled as the fresh answer was, the disposition naming the field's file
  // name part; the same whether the host sends the entry's file itself or not.
  for (bool transmit : {true, false}) {
    FakeConnection cached;
    cached.transmit_file = transmit;
    Request(cached, "/", "image=/img/photo.JPG&WIDTH=200&output=.PNG");
    EXPECT_EQ(cached.status, "200 OK");
    EXPECT_EQ(cached.headers, fresh.headers);
    EXPECT_EQ(cached.body, fresh.body);
    EXPECT_EQ(cached.transmit_calls, transmit ? 1 : 0);
  }
}

TEST_F(ImageActions, ForcedRequestsRewriteTheSameEntry) {
  Settings(true);
  FakeConnection first;
  Request(first, "/bin", "Image=/img/default.jpg&Width=50");
  ASSERT_EQ(CacheFiles(), 1u);
  fs::path file;
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "cache"))
    if (e.is_regular_file()) file = e.path();
  std::ofstream(file, std::ios::binary) << "stale";
  FakeConnection forced;
  Request(forced, "/bin", "Image=/img/default.jpg&Width=50&ForceNewCache=TRUE");
  EXPECT_EQ(forced.body, first.body);
  EXPECT_EQ(CacheFiles(), 1u);
  FakeConnection again;
  Request(again, "/bin", "Image=/img/default.jpg&Width=50");
  EXPECT_EQ(again.body, first.body);  // the forced answer refreshed the entry
  FakeConnection yes;
  Request(yes, "/bin", "Image=/img/default.jpg&Width=50&ForceNewCache=yes");
  EXPECT_EQ(CacheFiles(), 2u);  // not forced: an entry of its own
}

TEST_F(ImageActions, DefaultImageStandsInForMissingSources) {
  Settings(true, "<defaultimage>/img/default.jpg</defaultimage>");
  FakeConnection a, b;
  Request(a, "/bin", "Image=/img/none1.jpg&Width=100");
  Request(b, "/bin", "Image=/img/none2.gif&Width=100");
  EXPECT_EQ(a.status, "200 OK");
  EXPECT_NE(a.headers.find("filename=\"default.jpg\"\r\nContent-Type: image/jpeg"),
            std::string::npos);
  EXPECT_EQ(b.body, a.body);
  EXPECT_EQ(CacheFiles(), 1u);  // both share the default image's entry
}

TEST_F(ImageActions, JobErrorsAnswer500) {
  Settings(true);
  FakeConnection bin;
  Request(bin, "/bin", "Image=/img/none.jpg&Width=100");
  EXPECT_EQ(bin.status, "500 Internal Server Error");
  EXPECT_EQ(bin.headers,
            "Content-Disposition: filename=\"SkaloResizer.html\"\r\nContent-Type: "
            "text/plain\r\nContent-Length: 34\r\n\r\n");
  EXPECT_EQ(bin.body, "The specified file does not exist.");

  FakeConnection xml;
  Request(xml, "/xml", "Image=/img/none.jpg&Width=100");
  EXPECT_EQ(xml.status, "500 Internal Server Error");
  EXPECT_EQ(xml.body,
            "<root><errorcode>1005</errorcode><errortext>The specified file does not "
            "exist.</errortext></root>");
  // Failures are never cached: the repetition answers 500 again.
  FakeConnection repeat;
  Request(repeat, "/xml", "Image=/img/none.jpg&Width=100");
  EXPECT_EQ(repeat.status, "500 Internal Server Error");
  EXPECT_EQ(CacheFiles(), 0u);
}

TEST_F(ImageActions, XmlFreshThenCached) {
  Settings(true);
  FakeConnection fresh;
  Request(fresh, "/xml", "Image=/img/a%26b.jpg&Width=100&ProcessBinary=false");
  EXPECT_EQ(fresh.status, "200 OK");
  EXPECT_EQ(fresh.headers.substr(0, fresh.headers.find("Content-Length")),
            "Content-Disposition: filename=\"SkaloResizer.xml\"\r\nContent-Type: text/xml\r\n");
  EXPECT_NE(fresh.body.find("    <width>100</width>\r\n    <height>75</height>\r\n"),
            std::string::npos);
  EXPECT_NE(fresh.body.find("<filename>a&amp;b.jpg</filename>"), std::string::npos);
  EXPECT_EQ(fresh.body.find("imagedata"), std::string::npos);
  FakeConnection cached;
  Request(cached, "/xml", "Image=/img/a%26b.jpg&Width=100&ProcessBinary=false");
  EXPECT_EQ(cached.body, fresh.body + "\r\n");
}

TEST_F(ImageActions, CacheDisabledTouchesNothing) {
  Settings(false);
  FakeConnection a;
  Request(a, "/bin", "Image=/img/photo.JPG&Width=30");
  Request(a, "/xml", "Image=/img/photo.JPG&Width=30");
  EXPECT_EQ(CacheFiles(), 0u);
  EXPECT_TRUE(fs::is_empty(dir_ / "cache"));  // not even a subfolder
}

TEST_F(ImageActions, CacheWriteFailureIsAnApplicationError) {
  std::ofstream(dir_ / "SkaloSettings.xml")
      << "<s><skalocachepath>/../nowhere</skalocachepath><skalocacheenabled>1"
         "</skalocacheenabled><usecachesubfolders>0</usecachesubfolders></s>";
  FakeConnection conn;
  Request(conn, "/bin", "Image=/img/photo.JPG&Width=30");
  EXPECT_EQ(conn.status, "500 Internal Server Error");
  EXPECT_NE(conn.body.find("Internal Application Error</h1>\r\n<p>Cannot create file &quot;"),
            std::string::npos)
      << conn.body;
}

TEST_F(ImageActions, ConcurrentIdenticalRequestsAllSucceed) {
  Settings(true);
  std::vector<std::unique_ptr<FakeConnection>> conns;
  for (int i = 0; i < 8; ++i)
    conns.push_back(std::make_unique<FakeConnection>());
  std::vector<std::thread> threads;
  for (auto& c : conns)
    threads.emplace_back(
        [&, conn = c.get()] { Request(*conn, "/bin", "Image=/img/photo.JPG&Width=120"); });
  for (auto& t : threads)
    t.join();
  for (auto& c : conns) {
    EXPECT_EQ(c->status, "200 OK");
    EXPECT_EQ(c->body, conns.front()->body);
  }
  EXPECT_EQ(CacheFiles(), 1u);  // no temporary file left behind
}

}  // namespace
}  // namespace skalo
