#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "imaging/jpeg.h"
#include "service/application.h"
#include "service/md5.h"
#include "service/module_metrics.h"
#include "service/result_cache.h"
#include "service/signing.h"
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
    for (const char* name : {"photo.JPG", "default.jpg", "a&b.jpg"})
      WriteJpeg(name, 400, 300);
    app_ = std::make_unique<TWebApplication>([this] {
      auto module = std::make_unique<TWebModule1>();
      module->SetSettingsDirectory(dir_.string() + "/");
      return module;
    });
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteJpeg(const std::string& name, int width, int height) {
    testing::Raster picture = testing::MakeBgr24(width, height, [](int x, int y) {
      return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                         90};
    });
    TJPEGImage jpeg;
    jpeg.Assign(picture);
    const testing::Bytes bytes = testing::SaveToBytes(jpeg);
    std::ofstream(dir_ / "www" / "img" / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

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

// A header's value in a header block; empty when it is not there.
std::string Header(const std::string& block, const std::string& name) {
  const std::size_t at = block.find(name + ": ");
  if (at == std::string::npos) return std::string();
  const std::size_t start = at + name.size() + 2;
  return block.substr(start, block.find("\r\n", start) - start);
}

TEST_F(ImageActions, BinFreshThenCached) {
  Settings(true);
  FakeConnection fresh;
  Request(fresh, "/bin", "Image=/img/photo.JPG&Width=200&Output=.png");
  EXPECT_EQ(fresh.status, "200 OK");
  EXPECT_EQ(
      fresh.headers.substr(0, fresh.headers.find("Content-Length")),
      "Content-Disposition: filename=\"photo.JPG\"\r\nETag: " + Header(fresh.headers, "ETag") +
          "\r\nLast-Modified: " + Header(fresh.headers, "Last-Modified") +
          "\r\nContent-Type: image/png\r\n");
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
  EXPECT_EQ(Header(a.headers, "Content-Disposition"), "filename=\"default.jpg\"");
  EXPECT_EQ(Header(a.headers, "Content-Type"), "image/jpeg");
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

void SetAge(const fs::path& path, std::chrono::seconds age) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

TEST_F(ImageActions, EntriesFollowTheirSource) {
  Settings(true);
  const std::string query = "Image=/img/photo.JPG&Width=100&ProcessBinary=false";
  FakeConnection bin1, xml1;
  Request(bin1, "/bin", query);
  Request(xml1, "/xml", query);
  EXPECT_NE(xml1.body.find("<height>75</height>"), std::string::npos);
  // The source is edited after its entries were written.
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "cache"))
    if (e.is_regular_file()) SetAge(e.path(), std::chrono::seconds(100));
  const fs::path source = dir_ / "www" / "img" / "photo.JPG";
  WriteJpeg("photo.JPG", 400, 200);
  SetAge(source, std::chrono::seconds(50));
  FakeConnection bin2, xml2, bin3;
  Request(bin2, "/bin", query);
  Request(xml2, "/xml", query);
  Request(bin3, "/bin", query);
  EXPECT_NE(bin2.body, bin1.body);
  EXPECT_NE(xml2.body.find("<height>50</height>"), std::string::npos) << xml2.body;
  EXPECT_EQ(bin3.body, bin2.body);
  EXPECT_EQ(CacheFiles(), 2u);  // replaced, not added
  // A source that is gone answers as if nothing had been cached.
  fs::remove(source);
  for (const char* action : {"/bin", "/xml"}) {
    FakeConnection gone;
    Request(gone, action, query);
    EXPECT_EQ(gone.status, "500 Internal Server Error") << action;
  }
}

TEST_F(ImageActions, ConditionalRequests) {
  Settings(true, "<cachecontrol>public, max-age=600</cachecontrol>");
  const std::string query = "Image=/img/photo.JPG&Width=80";
  FakeConnection fresh, cached;
  Request(fresh, "/bin", query);
  Request(cached, "/bin", query);
  const std::string etag = Header(fresh.headers, "ETag");
  const std::string modified = Header(fresh.headers, "Last-Modified");
  ASSERT_EQ(etag.size(), 34u) << fresh.headers;
  EXPECT_EQ(etag.front(), '"');
  EXPECT_EQ(
      ParseHttpDate(modified).value_or(-1),
      std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::file_clock::to_sys(fs::last_write_time(dir_ / "www" / "img" / "photo.JPG"))
              .time_since_epoch())
          .count());
  EXPECT_EQ(Header(fresh.headers, "Cache-Control"), "public, max-age=600");
  EXPECT_EQ(cached.headers, fresh.headers);
  // 304s neither read nor compute: the entry's absence does not show.
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "cache"))
    if (e.is_regular_file()) fs::remove(e.path());

  struct Case {
    std::string if_none_match, if_modified_since, extra;
    bool not_modified;
  };
  const Case cases[] = {
      {etag, "", "", true},
      {"\"x\", W/" + etag, "", "", true},
      {"*", "", "", true},
      {"\"x\"", modified, "", false},  // the tag decides
      {"", modified, "", true},
      {"", "Sat, 01 Jan 2000 00:00:00 GMT", "", false},
      {"", "yesterday", "", false},
      {etag, "", "&ForceNewCache=true", false},
      {etag, "", "&Width=81", false},
  };
  for (const Case& c : cases) {
    FakeConnection conn;
    if (!c.if_none_match.empty()) conn.variables["HTTP_IF_NONE_MATCH"] = c.if_none_match;
    if (!c.if_modified_since.empty())
      conn.variables["HTTP_IF_MODIFIED_SINCE"] = c.if_modified_since;
    Request(conn, "/bin", query + c.extra);
    SCOPED_TRACE(c.if_none_match + " | " + c.if_modified_since + " | " + c.extra);
    if (c.not_modified) {
      EXPECT_EQ(conn.status, "304 Not Modified");
      EXPECT_EQ(conn.headers, "ETag: " + etag + "\r\nLast-Modified: " + modified +
                                  "\r\nCache-Control: public, max-age=600\r\n\r\n");
      EXPECT_EQ(conn.body, "");
    } else {
      EXPECT_EQ(conn.status, "200 OK");
      EXPECT_GT(conn.body.size(), 100u);
    }
  }
  EXPECT_EQ(CacheFiles(), 2u);  // the forced and the wider answer only

  // The XML answer has its own tag and no caching rules; a changed source
  // changes the tag.
  FakeConnection xml;
  Request(xml, "/xml", query);
  const std::string xml_etag = Header(xml.headers, "ETag");
  EXPECT_NE(xml_etag, etag);
  EXPECT_EQ(Header(xml.headers, "Cache-Control"), "");
  SetAge(dir_ / "www" / "img" / "photo.JPG", std::chrono::seconds(5));
  FakeConnection changed;
  changed.variables["HTTP_IF_NONE_MATCH"] = xml_etag;
  Request(changed, "/xml", query);
  EXPECT_EQ(changed.status, "200 OK");
  EXPECT_NE(Header(changed.headers, "ETag"), xml_etag);
}

TEST_F(ImageActions, SizeLimitSweepsOldestEntries) {
  Settings(true, "<maxcachemb>1</maxcachemb><usecachesubfolders>false</usecachesubfolders>");
  const fs::path cache = dir_ / "cache";
  const auto put = [&](const std::string& name, std::size_t size, int age) {
    std::ofstream(cache / name, std::ios::binary) << std::string(size, 'x');
    SetAge(cache / name, std::chrono::seconds(age));
  };
  const std::string hex(31, 'a');
  put(hex + "1.jpg", 400'000, 300);
  put(hex + "2.jpg", 400'000, 200);
  put(hex + "3.jpg", 400'000, 100);
  put(hex + "4.jpg.tmp12-3", 1000, 7200);  // left over by a store long ago
  put(hex + "5.jpg.tmp12-4", 1000, 60);    // may still be written
  put("notes.txt", 2'000'000, 900);        // not the cache's
  FakeConnection conn;
  Request(conn, "/bin", "Image=/img/photo.JPG&Width=60");
  EXPECT_EQ(conn.status, "200 OK");
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(cache))
    if (e.path().extension() != ".JPG") left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{hex + "2.jpg", hex + "3.jpg", hex + "5.jpg.tmp12-4",
                                         "notes.txt"}));
  EXPECT_EQ(CacheFiles(), 5u);  // and the new entry
}

TEST_F(ImageActions, SignedRequests) {
  Settings(true, "<signingkey>k3y</signingkey>");
  const std::string query = "Image=/img/photo.JPG&Width=90";
  const std::string good = SignQuery("k3y", query);
  const std::string other = SignQuery("k3y", "Image=/img/photo.JPG&Width=91");
  const std::string refused[] = {
      query,
      query + "&Signature=" + std::string(64, '0'),
      query + other.substr(other.find("&Signature=")),
      SignQuery("other key", query),
      good + "&signature=" + good.substr(good.size() - 64),  // two of them
  };
  for (const char* action : {"/bin", "/xml", "/cachename"}) {
    for (const std::string& q : refused) {
      FakeConnection conn;
      Request(conn, action, q);
      EXPECT_EQ(conn.status, "403 Forbidden") << action << " " << q;
      EXPECT_EQ(conn.body, "Missing or invalid signature.");
    }
    FakeConnection conn;
    Request(conn, action, good);
    EXPECT_EQ(conn.status, "200 OK") << action;
  }
  // The signature is no part of the key: the entry is the unsigned request's.
  const std::string digest = MD5Hex("image=/img/photo.JPG\r\nwidth=90\r\n");
  EXPECT_TRUE(fs::is_regular_file(dir_ / "cache" / std::string{digest.front(), digest.back()} /
                                  (digest + ".JPG")));
  EXPECT_EQ(CacheFiles(), 2u);  // and the XML one
}

TEST_F(ImageActions, XmlFreshThenCached) {
  Settings(true);
  FakeConnection fresh;
  Request(fresh, "/xml", "Image=/img/a%26b.jpg&Width=100&ProcessBinary=false");
  EXPECT_EQ(fresh.status, "200 OK");
  EXPECT_EQ(fresh.headers.substr(0, fresh.headers.find("Content-Length")),
            "Content-Disposition: filename=\"SkaloResizer.xml\"\r\nETag: " +
                Header(fresh.headers, "ETag") + "\r\nLast-Modified: " +
                Header(fresh.headers, "Last-Modified") + "\r\nContent-Type: text/xml\r\n");
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

// The module's count of jobs run for the cache so far.
double CacheMisses() {
  double misses = 0;
  SkaloReportMetrics(
      [](void* to, const char* name, const char*, double value) {
        if (std::string_view(name) == "skalo_cache_misses_total") *static_cast<double*>(to) = value;
      },
      &misses);
  return misses;
}

TEST_F(ImageActions, ConcurrentIdenticalRequestsComputeOnce) {
  Settings(true);
  const double misses = CacheMisses();
  const std::string query = "Image=/img/photo.JPG&Width=120";
  std::vector<std::unique_ptr<FakeConnection>> conns;
  for (int i = 0; i < 16; ++i)
    conns.push_back(std::make_unique<FakeConnection>());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < conns.size(); ++i)
    threads.emplace_back([&, i] { Request(*conns[i], i % 2 ? "/xml" : "/bin", query); });
  for (auto& t : threads)
    t.join();
  // A cached document ends in one more line break than a fresh one.
  const auto text = [](std::string body) {
    return body.ends_with("\r\n\r\n") ? body.substr(0, body.size() - 2) : body;
  };
  for (std::size_t i = 0; i < conns.size(); ++i) {
    EXPECT_EQ(conns[i]->status, "200 OK");
    EXPECT_EQ(text(conns[i]->body), text(conns[i % 2]->body));
  }
  EXPECT_EQ(CacheMisses() - misses, 2);
  EXPECT_EQ(CacheFiles(), 2u);  // no temporary or lock file left behind
}

// Another process computing the entry holds "<entry>.lock": a request waits
// for its entry, computes itself when the lock goes without one, and takes a
// stale lock over.
TEST_F(ImageActions, LockFilesOfOtherProcesses) {
  Settings(true, "<usecachesubfolders>false</usecachesubfolders>");
  const std::string query = "Image=/img/photo.JPG&Width=70";
  const fs::path entry = dir_ / "cache" / (MD5Hex("image=/img/photo.JPG\r\nwidth=70\r\n") + ".JPG");
  const fs::path lock = entry.string() + ".lock";
  const auto run = [&](FakeConnection& conn) {
    return std::thread([&] { Request(conn, "/bin", query); });
  };
  const double misses = CacheMisses();

  std::ofstream(lock) << "1\n";
  FakeConnection waits;
  std::thread waiting = run(waits);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(waits.status.empty());
  const std::string theirs = "\xFF\xD8\xFF their entry";
  std::ofstream(entry, std::ios::binary) << theirs;
  fs::remove(lock);
  waiting.join();
  EXPECT_EQ(waits.body, theirs);
  EXPECT_EQ(CacheMisses(), misses);

  fs::remove(entry);
  std::ofstream(lock) << "1\n";
  FakeConnection failed;
  std::thread computing = run(failed);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(failed.status.empty());
  fs::remove(lock);  // ended without an entry
  computing.join();
  EXPECT_EQ(failed.status, "200 OK");
  EXPECT_EQ(CacheMisses(), misses + 1);

  // Abandoned: older than a lock may be, or its owner on this machine gone
  // (a process ID above any the system hands out). A clock far ahead would
  // keep the second one waiting for a minute if the owner were not looked at.
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const struct {
    std::string owner;
    std::chrono::seconds age;
  } abandoned[] = {{"1\n", TResultCache::kStaleLock + std::chrono::seconds(2)},
                   {std::string(host) + " 2147483000\n", -std::chrono::hours(1)}};
  for (const auto& left : abandoned) {
    fs::remove(entry);
    std::ofstream(lock) << left.owner;
    SetAge(lock, left.age);
    FakeConnection taken;
    std::thread taking = run(taken);
    for (int i = 0; i < 200 && taken.status.empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(taken.status, "200 OK") << left.owner;  // long before the lock would expire
    taking.join();
    EXPECT_EQ(taken.body, failed.body);
    EXPECT_EQ(CacheFiles(), 1u);  // the lock is gone
  }
  EXPECT_EQ(CacheMisses(), misses + 3);
}

}  // namespace
}  // namespace skalo
