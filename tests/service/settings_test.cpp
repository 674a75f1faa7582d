#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/convert.h"
#include "service/md5.h"
#include "service/result_cache.h"
#include "service/webmodule.h"
#include "tests/service/fake_ecb.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;
using testing::FakeConnection;

TEST(Convert, Integers) {
  EXPECT_EQ(TryStrToInt("800"), 800);
  EXPECT_EQ(TryStrToInt(" 800"), 800);
  EXPECT_EQ(TryStrToInt("  -12"), -12);
  EXPECT_EQ(TryStrToInt("+7"), 7);
  EXPECT_EQ(TryStrToInt("$320"), 800);
  EXPECT_EQ(TryStrToInt("x1f"), 31);
  EXPECT_EQ(TryStrToInt("X1F"), 31);
  EXPECT_EQ(TryStrToInt("0x10"), 16);
  EXPECT_EQ(TryStrToInt("-$10"), -16);
  EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(TryStrToInt("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", " ", "800 ", "abc", "12a", "2147483648", "-2147483649", "$", "0x",
                          "+", "1.5", "99999999999999999999", "$G"})
    EXPECT_EQ(TryStrToInt(bad), std::nullopt) << "text \"" << bad << "\"";
  EXPECT_EQ(StrToIntDef("abc", -1), -1);
}

TEST(Convert, Booleans) {
  for (const char* yes : {"TRUE", "true", "True", "1", "-1", "2.5", "1e3", " 1"})
    EXPECT_TRUE(StrToBool(yes)) << yes;
  for (const char* no : {"0", "False", "FALSE", "0.0", "-0", "0e5"})
    EXPECT_FALSE(StrToBool(no)) << no;
  try {
    StrToBool("yes");
    ADD_FAILURE() << "yes converted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "'yes' is not a valid boolean value");
  }
  EXPECT_THROW(StrToBool(""), Exception);
}

TEST(MD5, Rfc1321TestSuite) {
  EXPECT_EQ(MD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(MD5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(MD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(MD5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(MD5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(MD5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                   "7890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PiecewiseUpdatesMatchOneShot) {
  std::string text(1000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char>(i * 31 + 7);
  for (std::size_t cut : {1u, 55u, 56u, 63u, 64u, 65u, 500u}) {
    TMD5 md5;
    md5.Update(text.data(), cut);
    md5.Update(text.data() + cut, text.size() - cut);
    const auto digest = md5.Final();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (auto b : digest)
      hex += std::string{kHex[b >> 4], kHex[b & 15]};
    EXPECT_EQ(hex, MD5Hex(text)) << "cut at " << cut;
  }
}

// A module instance with a current request that maps URL paths under a root.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("skalo-settings-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "cache");
    conn_.map_url = [this](const std::string& url) {
      return url.empty() || url[0] != '/' ? std::string() : dir_.string() + url;
    };
    request_ = std::make_unique<TWebRequest>(conn_.Ecb());
    response_ = std::make_unique<TWebResponse>(*request_);
    module_.SetSettingsDirectory(dir_.string() + "/");
    module_.SetCurrent(request_.get(), response_.get());
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteSettings(const std::string& xml) {
    std::ofstream(dir_ / "SkaloSettings.xml", std::ios::binary) << xml;
  }
  std::string LoadError() {
    try {
      module_.LoadSettings();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }

  fs::path dir_;
  FakeConnection conn_;
  std::unique_ptr<TWebRequest> request_;
  std::unique_ptr<TWebResponse> response_;
  TWebModule1 module_;
};

TEST_F(SettingsTest, EmptyRootGivesDefaults) {
  WriteSettings("<settings/>");
  EXPECT_EQ(LoadError(), "");
  EXPECT_TRUE(module_.SettingsLoaded());
  const TSkaloSettings& s = *module_.Settings();
  EXPECT_EQ(s.MaxWidth, -1);
  EXPECT_EQ(s.MaxHeight, -1);
  EXPECT_EQ(s.SkaloCachePath, "");
  EXPECT_FALSE(s.SkaloCacheEnabled);
  EXPECT_TRUE(s.UseCacheSubfolders);
  EXPECT_EQ(s.DefaultImage, "");
  EXPECT_EQ(s.MaxSourcePixels, 100000000u);
  EXPECT_EQ(s.MaxOutputPixels, 50000000u);
  EXPECT_EQ(s.MemoryBudgetMB, 1024u);
  EXPECT_EQ(s.MaxSourceBytes, 1u << 30);
}

TEST_F(SettingsTest, ReadsEveryKey) {
  WriteSettings(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<anything>\n"
      "  <maxwidth> 800</maxwidth><maxheight>$320</maxheight>\n"
      "  <!-- comment --><skalocachepath>/cache</skalocachepath>\n"
      "  <skalocacheenabled>TRUE</skalocacheenabled><usecachesubfolders>0</usecachesubfolders>\n"
      "  <defaultimage>D:\\img\\none.jpg</defaultimage><MaxWidth>5</MaxWidth>\n"
      "  <other><maxwidth>7</maxwidth></other><maxsourcepixels>1000</maxsourcepixels>\n"
      "  <maxoutputpixels>2000</maxoutputpixels><memorybudgetmb>64</memorybudgetmb>\n"
      "  <maxsourcebytes>5000</maxsourcebytes>\n"
      "</anything>");
  EXPECT_EQ(LoadError(), "");
  const TSkaloSettings& s = *module_.Settings();
  EXPECT_EQ(s.MaxWidth, 800);
  EXPECT_EQ(s.MaxHeight, 800);
  EXPECT_EQ(s.SkaloCachePath, dir_.string() + "/cache");
  EXPECT_TRUE(s.SkaloCacheEnabled);
  EXPECT_FALSE(s.UseCacheSubfolders);
  EXPECT_EQ(s.DefaultImage, "D:\\img\\none.jpg");
  EXPECT_EQ(s.MaxSourcePixels, 1000u);
  EXPECT_EQ(s.MaxOutputPixels, 2000u);
  EXPECT_EQ(s.MemoryBudgetMB, 64u);
  EXPECT_EQ(s.MaxSourceBytes, 5000u);
}

TEST_F(SettingsTest, ValueIsTheWholeTextContentAndTheLastOccurrenceWins) {
  WriteSettings(
      "<s><maxwidth>1</maxwidth><maxwidth>8<!-- x -->0<![CDATA[0]]></maxwidth>"
      "<maxheight>800 </maxheight><defaultimage>/a<b/>.jpg</defaultimage>"
      "<maxsourcepixels>-5</maxsourcepixels></s>");
  EXPECT_EQ(LoadError(), "");
  const TSkaloSettings& s = *module_.Settings();
  EXPECT_EQ(s.MaxWidth, 800);
  EXPECT_EQ(s.MaxHeight, -1);                // trailing blank does not convert
  EXPECT_EQ(s.MaxSourcePixels, 100000000u);  // no positive number: the default
  EXPECT_EQ(s.DefaultImage, dir_.string() + "/a.jpg");
}

// A failed load keeps the snapshot every instance had (none at first).
TEST_F(SettingsTest, FailuresKeepThePreviousSnapshot) {
  EXPECT_EQ(LoadError(), "Cannot open file \"" + dir_.string() +
                             "/SkaloSettings.xml\". No such file or directory");
  EXPECT_FALSE(module_.SettingsLoaded());

  WriteSettings("<s><maxwidth>320</maxwidth></s>");
  EXPECT_EQ(LoadError(), "");
  const auto before = module_.Settings();

  WriteSettings("<s><maxwidth>1</s>");
  EXPECT_EQ(LoadError(), "Parser error.");
  WriteSettings(
      "<s><maxwidth>640</maxwidth><skalocacheenabled>yes</skalocacheenabled>"
      "<maxheight>480</maxheight></s>");
  EXPECT_EQ(LoadError(), "'yes' is not a valid boolean value");
  EXPECT_EQ(module_.Settings(), before);
  EXPECT_EQ(module_.Settings()->MaxWidth, 320);
}

TEST_F(SettingsTest, ResolvePathRules) {
  // Settings values may name file-system paths; request fields never do.
  EXPECT_EQ(module_.ResolvePath("D:\\cache"), "D:\\cache");
  EXPECT_EQ(module_.ResolvePath("x\\\\server\\share"), "x\\\\server\\share");
  EXPECT_EQ(module_.ResolvePath("/img/a.jpg"), dir_.string() + "/img/a.jpg");
  EXPECT_EQ(module_.ResolvePath("\\\\server\\share"), "");  // handed to the mapping, which refuses
  EXPECT_EQ(module_.MapRequestPath("/etc/passwd%00:\\.jpg"),
            dir_.string() + "/etc/passwd%00:\\.jpg");
  EXPECT_EQ(module_.MapRequestPath(std::string("/a.jpg\0:\\x", 11)), "");
  EXPECT_EQ(module_.MapRequestPath("x\\\\server\\share"), "");
  module_.SetCurrent(nullptr, nullptr);
  EXPECT_EQ(module_.ResolvePath("/img/a.jpg"), "");
}

TEST(ResultCache, FileNames) {
  TSkaloSettings settings;
  settings.SkaloCachePath = "/c";
  settings.UseCacheSubfolders = false;
  const TResultCache cache(settings);
  const auto name = [&](const std::string& key) { return cache.FileName(key, ""); };
  const std::string base = "/c/";
  EXPECT_EQ(name(""), base + "d41d8cd98f00b204e9800998ecf8427e");
  // Letter case does not matter, except in the Image value (file names); order does.
  EXPECT_EQ(name("IMAGE=a.jpg\r\nWidth=1&OUTPUT=.PNG\r\n"),
            name("image=a.jpg\r\nwidth=1&output=.png\r\n"));
  EXPECT_NE(name("Image=A.JPG\r\nWidth=1\r\n"), name("image=a.jpg\r\nwidth=1\r\n"));
  EXPECT_EQ(name("Image=/A.JPG\r\nimage=/B.JPG\r\n"),
            base + MD5Hex("image=/A.JPG\r\nimage=/b.jpg\r\n"));
  EXPECT_NE(name("image=a.jpg\r\nwidth=1\r\n"), name("width=1\r\nimage=a.jpg\r\n"));
  // A whole ForceNewCache=true entry is not part of the key; ForceNewCache=false
  // is, and so is the text inside another value.
  EXPECT_EQ(name("image=a.jpg\r\nForceNewCache=TRUE\r\n"), name("image=a.jpg\r\n"));
  EXPECT_EQ(name("ForceNewCache=true\r\nimage=a.jpg\r\n"), name("image=a.jpg\r\n"));
  EXPECT_NE(name("image=a.jpg\r\nforcenewcache=false\r\n"), name("image=a.jpg\r\n"));
  EXPECT_NE(name("image=/forcenewcache=true\r\n"), name("image=/\r\n"));
  EXPECT_NE(name("image=a.jpg\r\nx=forcenewcache=true\r\n"), name("image=a.jpg\r\nx=\r\n"));
  EXPECT_EQ(name("image=a.jpg\r\n"), base + MD5Hex("image=a.jpg\r\n"));
  EXPECT_EQ(name("&&a&"), base + MD5Hex("a"));
  settings.SkaloCachePath = "/c/";  // a trailing separator is not doubled
  EXPECT_EQ(name(""), base + "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(SettingsTest, CacheSubfoldersAppearOnlyWhenAnEntryIsStored) {
  TSkaloSettings settings;
  settings.SkaloCachePath = (dir_ / "cache").string();
  settings.SkaloCacheEnabled = true;
  const TResultCache cache(settings);
  const std::optional<TFileStamp> old_source = TFileStamp{};
  const std::string digest = MD5Hex("image=B.png\r\n");
  const std::string sub = std::string{digest.front(), digest.back()};
  EXPECT_EQ(cache.FileName("Image=B.png\r\n", ".png"),
            (dir_ / "cache" / sub).string() + "/" + digest + ".png");
  EXPECT_FALSE(cache.FindImage("Image=B.png\r\n", ".png", old_source));
  EXPECT_FALSE(fs::exists(dir_ / "cache" / sub));
  const std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  cache.StoreImage("Image=B.png\r\n", ".png", png);
  const auto hit = cache.FindImage("Image=B.png\r\n", ".png", old_source);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->content_type, "image/png");
  // A store replacing the entry leaves the bytes of a hit found before it alone.
  const std::vector<std::uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a'};
  cache.StoreImage("Image=B.png\r\n", ".png", gif);
  const auto bytes = [](const TContentFile& file) {
    std::vector<std::uint8_t> read(file.Size() + 1);
    read.resize(file.ReadAt(0, read.data(), read.size()));
    return read;
  };
  EXPECT_EQ(bytes(hit->file), png);
  const auto replaced = cache.FindImage("Image=B.png\r\n", ".png", old_source);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(bytes(replaced->file), gif);
  EXPECT_EQ(replaced->content_type, "image/gif");
  // A missing cache folder is not created: the store fails instead.
  settings.SkaloCachePath = (dir_ / "missing").string();
  EXPECT_THROW(cache.StoreImage("x", ".png", png), EFCreateError);
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  // An unusable cache does nothing at all.
  settings.SkaloCacheEnabled = false;
  const TResultCache off(settings);
  EXPECT_FALSE(off.Usable());
  off.StoreImage("x", ".png", png);
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
}  // namespace skalo
