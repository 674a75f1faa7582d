#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/application.h"
#include "service/md5.h"
#include "tests/service/fake_ecb.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;
using testing::FakeConnection;

constexpr const char* kDecl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";

// The service module over a private folder that holds its settings, images and cache.
class UtilityActions : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("skalo-util-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "www" / "img");
    fs::create_directories(dir_ / "cache");
    std::ofstream(dir_ / "www" / "img" / "a.jpg") << "not really a jpeg";
    app_ = std::make_unique<TWebApplication>([this] {
      auto module = std::make_unique<TWebModule1>();
      module->SetSettingsDirectory(dir_.string() + "/");
      return module;
    });
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteSettings(const std::string& body) {
    std::ofstream(dir_ / "SkaloSettings.xml") << "<settings>" << body << "</settings>";
  }
  void Request(FakeConnection& conn, const std::string& path_info, const std::string& query = "") {
    conn.path_info = path_info;
    conn.query = query;
    conn.map_url = [this](const std::string& url) { return (dir_ / "www").string() + url; };
    app_->HttpExtensionProc(conn.Ecb());
  }

  fs::path dir_;
  std::unique_ptr<TWebApplication> app_;
};

TEST_F(UtilityActions, TestPageWithEmptySettings) {
  WriteSettings("");
  FakeConnection conn;
  conn.variables["HTTP_HOST"] = "h.example:8080";
  conn.variables["SCRIPT_NAME"] = "/apps/skalo";
  Request(conn, "/test");
  const std::string body =
      "<b>Skalo Resizer v2.5 beta</b><br />Is working fine!<br /><br /><b>Settings</b><br />"
      "<pre>MaxWidth:            -1<br />MaxHeight:           -1<br />"
      "SkaloCachePath:    \"\"<br />SkaloCacheEnabled: No<br />UseCacheSubfolders: Yes<br />"
      "DefaultImage:       \"\"<br /></pre>"
      "<p><a href=\"http://h.example:8080/apps/skalo/loadsettings\">Reload settings</p>";
  EXPECT_EQ(conn.status, "200 OK");
  EXPECT_EQ(conn.headers,
            "Content-Disposition: filename=\"Skalo.html\"\r\nContent-Type: "
            "text/html\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n");
  EXPECT_EQ(conn.body, body);
}

TEST_F(UtilityActions, TestPageShowsValuesAndEscapesTheLink) {
  WriteSettings(
      "<maxwidth>800</maxwidth><skalocachepath>/c</skalocachepath>"
      "<skalocacheenabled>1</skalocacheenabled><usecachesubfolders>false</usecachesubfolders>");
  FakeConnection conn;
  conn.variables["HTTP_HOST"] = "x\"><script>";
  Request(conn, "/TEST");
  EXPECT_NE(conn.body.find("MaxWidth:            800<br />MaxHeight:           -1<br />"
                           "SkaloCachePath:    \"" +
                           (dir_ / "www").string() +
                           "/c\"<br />SkaloCacheEnabled: Yes<br />UseCacheSubfolders: No<br />"),
            std::string::npos)
      << conn.body;
  EXPECT_NE(conn.body.find("href=\"http://x&quot;&gt;&lt;script&gt;/skalo/loadsettings\""),
            std::string::npos)
      << conn.body;
}

TEST_F(UtilityActions, TestPageWithoutSettingsFileIsAnApplicationError) {
  FakeConnection conn;
  Request(conn, "/test");
  EXPECT_EQ(conn.status, "500 Internal Server Error");
  EXPECT_NE(conn.body.find("<p>Cannot open file &quot;" + dir_.string() +
                           "/SkaloSettings.xml&quot;. No such file or directory\r\n"),
            std::string::npos)
      << conn.body;
}

TEST_F(UtilityActions, LoadSettingsSuccessAndFailures) {
  WriteSettings("");
  FakeConnection ok;
  Request(ok, "/loadsettings");
  EXPECT_EQ(ok.status, "200 OK");
  EXPECT_EQ(ok.headers, "Content-Type: text/xml\r\nContent-Length: " +
                            std::to_string(ok.body.size()) + "\r\n\r\n");
  EXPECT_EQ(ok.body, std::string(kDecl) +
                         "<root>\r\n  <error>Success</error>\r\n  <status>Settings "
                         "loaded</status>\r\n</root>");

  const auto failure = [&](const std::string& message) {
    return std::string(kDecl) + "<root>\r\n  <error>" + message +
           "</error>\r\n  <status>An error occured</status>\r\n</root>";
  };
  WriteSettings("<skalocacheenabled>yes & <no></skalocacheenabled>");  // not well-formed
  FakeConnection bad_xml;
  Request(bad_xml, "/loadsettings");
  EXPECT_EQ(bad_xml.status, "500 Internal Server Error");
  EXPECT_EQ(bad_xml.body, failure("Parser error."));

  WriteSettings("<skalocacheenabled>a&amp;b</skalocacheenabled>");
  FakeConnection bad_bool;
  Request(bad_bool, "/loadsettings");
  EXPECT_EQ(bad_bool.body, failure("'a&amp;b' is not a valid boolean value"));

  fs::remove(dir_ / "SkaloSettings.xml");
  FakeConnection missing;
  Request(missing, "/loadsettings");
  EXPECT_EQ(missing.status, "500 Internal Server Error");
  EXPECT_EQ(missing.body, failure("Cannot open file &quot;" + dir_.string() +
                                  "/SkaloSettings.xml&quot;. No such file or directory"));

  // The failed reloads kept the snapshot of the first one.
  FakeConnection test;
  Request(test, "/test");
  EXPECT_EQ(test.status, "200 OK");
}

TEST_F(UtilityActions, CacheNameReportsSourceAndCacheFile) {
  WriteSettings(
      "<skalocachepath>/../cache</skalocachepath><defaultimage>/img/a.jpg</defaultimage>"
      "<skalocacheenabled>true</skalocacheenabled>");
  FakeConnection conn;
  Request(conn, "/cachename", "Image=/img/a.jpg&Width=100");
  const std::string digest = MD5Hex("image=/img/a.jpg\r\nwidth=100\r\n");
  const std::string cache = (dir_ / "www").string() + "/../cache/" +
                            std::string{digest.front(), digest.back()} + "/" + digest + ".jpg";
  EXPECT_EQ(conn.body, std::string(kDecl) + "<root>\r\n  <filename>" + (dir_ / "www").string() +
                           "/img/a.jpg</filename>\r\n  <cachefilename>" + cache +
                           "</cachefilename>\r\n</root>");
  EXPECT_EQ(conn.status, "200 OK");
  EXPECT_FALSE(fs::exists(dir_ / "cache" / std::string{digest.front(), digest.back()}));

  // A missing source reports "test", even with a default image.
  FakeConnection missing;
  Request(missing, "/cachename", "Image=/img/none%26.JPG");
  EXPECT_EQ(missing.body, std::string(kDecl) + "<root>\r\n  <filename>" + (dir_ / "www").string() +
                              "/img/none&amp;.JPG</filename>\r\n  <cachefilename>test"
                              "</cachefilename>\r\n</root>");
}

TEST_F(UtilityActions, CacheNameWithCacheDisabledAndFlatLayout) {
  WriteSettings(
      "<skalocachepath>D:\\cache</skalocachepath><usecachesubfolders>0"
      "</usecachesubfolders>");
  FakeConnection conn;
  Request(conn, "/cachename", "Image=/img/a.jpg");
  EXPECT_NE(conn.body.find("<cachefilename>D:\\cache/" + MD5Hex("image=/img/a.jpg\r\n") +
                           ".jpg</cachefilename>"),
            std::string::npos)
      << conn.body;
  EXPECT_EQ(conn.status, "500 Internal Server Error");  // the cache is off
  // Without a folder there is nothing to name, and nothing is created.
  WriteSettings("<skalocacheenabled>true</skalocacheenabled>");
  FakeConnection reload, none;
  Request(reload, "/loadsettings");
  Request(none, "/cachename", "Image=/img/a.jpg");
  EXPECT_EQ(none.status, "500 Internal Server Error");
  EXPECT_NE(none.body.find("<cachefilename></cachefilename>"), std::string::npos) << none.body;
}

}  // namespace
}  // namespace skalo
