// The Apache httpd module host against skalo-httpd: one site, one settings
// file, one request list, and the same answers from both.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <map>
#include <sstream>
#include <thread>

#include "imaging/jpeg.h"
#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo::host::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSettings =
    "<s><maxwidth>500</maxwidth><maxheight>500</maxheight>"
    "<skalocachepath>/skalo-cache</skalocachepath><skalocacheenabled>true</skalocacheenabled>"
    "<usecachesubfolders>true</usecachesubfolders><defaultimage>/img/photo.jpg</defaultimage></s>";

std::string JpegBytes(int width, int height) {
  auto picture = skalo::testing::MakeBgr24(width, height, [](int x, int y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 3),
                                       static_cast<std::uint8_t>(y * 5), 90};
  });
  TJPEGImage jpeg;
  jpeg.Assign(picture);
  const auto bytes = skalo::testing::SaveToBytes(jpeg);
  return std::string(bytes.begin(), bytes.end());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Relative path, size and digest of every file in a cache folder.
std::map<std::string, std::string> CacheContent(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = ReadFile(entry.path());
    files[fs::relative(entry.path(), folder).string()] =
        std::to_string(bytes.size()) + " bytes, hash " +
        std::to_string(std::hash<std::string>{}(bytes));
  }
  return files;
}

// The site, a file outside it, and per host a module folder and a cache
// folder of its own. Start puts the same module file and settings into each
// module folder and starts both hosts.
class ApacheAgainstHttpd : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "apache2 cannot load modules built with sanitizers; the Release build runs "
                    "this suite";
#endif
    if (!fs::exists(SKALO_APACHE_BINARY)) {
      GTEST_SKIP() << SKALO_APACHE_BINARY << " is missing (make deps installs apache2)";
    }
    dir_.Write("www/index.html", "<p>demo</p>");
    // A folder named like the module's URL: SCRIPT_NAME and PATH_INFO must
    // follow the <Location>, not what exists on disk.
    dir_.MakeDir("www/skalo/a b");
    dir_.Write("www/img/photo.jpg", JpegBytes(64, 48));
    dir_.Write("www/img/photo one.jpg", JpegBytes(40, 30));
    dir_.Write("www/img/a %#?.jpg", JpegBytes(20, 20));
    dir_.Write("www/img/readme.txt", "no image");
    secret_ = dir_.Write("private/secret.jpg", JpegBytes(77, 33)).string();
    for (const std::string host : {"httpd", "apache"}) {
      fs::create_directories(dir_.path() / host / "cache");
      fs::create_directories(dir_.path() / host / "run");
      dir_.Write(host + "/module/SkaloSettings.xml", kSettings);
    }
    // Started as root, Apache's children run as www-data: they must read
    // everything here and write their cache.
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      fs::permissions(entry.path(),
                      entry.is_directory() ? fs::perms::others_read | fs::perms::others_exec
                                           : fs::perms::others_read,
                      fs::perm_options::add);
    }
    fs::permissions(dir_.path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    if (geteuid() == 0) {
      const passwd* user = getpwnam("www-data");
      ASSERT_NE(user, nullptr);
      ASSERT_EQ(chown(CacheDir("apache").c_str(), user->pw_uid, user->pw_gid), 0);
    }
  }

  // `env` entries may name a "{host}" folder: "httpd" or "apache".
  void Start(const std::string& module_file, const std::vector<std::string>& env = {}) {
    std::vector<std::string> httpd_env, apache_env;
    for (const std::string& entry : env) {
      httpd_env.push_back(ReplaceAll(entry, "{host}", "httpd"));
      apache_env.push_back(ReplaceAll(entry, "{host}", "apache"));
    }
    for (const std::string host : {"httpd", "apache"})
      fs::copy_file(module_file, ModuleFile(host));
    httpd_ = std::make_unique<HttpdProcess>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--root", Site(), "--alias",
                                 "/skalo-cache=" + CacheDir("httpd"), "--module",
                                 ModuleFile("httpd")},
        httpd_env);
    apache_ = StartApache(apache_env);
  }

  // From the configuration `make run-apache` uses. A port taken between
  // choosing and binding it makes Apache give up: then try another.
  std::unique_ptr<ApacheProcess> StartApache(const std::vector<std::string>& env) {
    const fs::path base = dir_.path() / "apache";
    const std::pair<std::string, std::string> fields[] = {
        {"@SERVER_ROOT@", (base / "run").string()},
        {"@RUN_AS@", geteuid() == 0 ? "User www-data\nGroup www-data" : ""},
        {"@ERROR_LOG@", (base / "error.log").string()},
        {"@APACHE_MODULES@", SKALO_APACHE_MODULES_DIR},
        {"@MOD_SKALO@", MOD_SKALO_FILE},
        {"@SKALO_MODULE@", ModuleFile("apache")},
        {"@DOCUMENT_ROOT@", Site()},
        {"@CACHE_DIR@", CacheDir("apache")}};
    const ApacheProcess::Files files{SKALO_APACHE_BINARY, (base / "httpd.conf").string(),
                                     (base / "run" / "apache2.pid").string(),
                                     (base / "output.log").string(), (base / "error.log").string()};
    for (int attempt = 1;; ++attempt) {
      const int port = FreeLoopbackPort();
      std::string config = ReadFile(SKALO_SOURCE_ROOT "/hosts/apache/httpd.conf.in");
      config = ReplaceAll(config, "@LISTEN@", "127.0.0.1:" + std::to_string(port));
      for (const auto& [name, value] : fields)
        config = ReplaceAll(config, name, value);
      // A folder outside the site under a URL, left to the denial of <Directory />.
      config += "Alias /private \"" + (dir_.path() / "private").string() + "\"\n";
      std::ofstream(files.config) << config;
      try {
        return std::make_unique<ApacheProcess>(files, port, env);
      } catch (const std::runtime_error&) {
        if (attempt == 3) throw;
      }
    }
  }

  std::string Site() const {
    return (dir_.path() / "www").string();
  }
  std::string ModuleFile(const std::string& host) const {
    return (dir_.path() / host / "module" / "skalo.so").string();
  }
  std::string CacheDir(const std::string& host) const {
    return (dir_.path() / host / "cache").string();
  }

  // What may differ only because the hosts differ: the port in the Host
  // header, the cache folder.
  std::string Normalised(std::string body, int port, const std::string& host) const {
    body = ReplaceAll(std::move(body), "127.0.0.1:" + std::to_string(port), "HOST");
    return ReplaceAll(std::move(body), CacheDir(host), "CACHE");
  }

  TempDir dir_;
  std::string secret_;
  std::unique_ptr<HttpdProcess> httpd_;
  std::unique_ptr<ApacheProcess> apache_;
};

TEST_F(ApacheAgainstHttpd, SameAnswersToTheSameRequests) {
  Start(SKALO_MODULE_FILE);
  struct Case {
    std::string target;
    bool head = false;
    // Refused by the web server before the module sees it: its own error page.
    bool status_only = false;
  };
  std::vector<Case> cases = {
      // Every action; the second of a pair comes from the cache.
      {"/skalo/bin?Image=/img/photo.jpg&Width=40"},
      {"/skalo/bin?Image=/img/photo.jpg&Width=40"},
      {"/skalo?image=/img/photo.jpg&height=30"},
      {"/skalo/xml?Image=/img/photo.jpg&Width=40"},
      {"/skalo/xml?Image=/img/photo.jpg&Width=40"},
      {"/skalo/test"},
      {"/skalo/loadsettings"},
      {"/skalo/cachename?Image=/img/photo.jpg&Width=40"},
      {"/skalo/cachename?Image=/"},
      // A file name full of URL syntax, which the lookup must not take as such.
      {"/skalo/bin?Image=/img/a%20%25%23%3F.jpg&Width=16"},
      // Errors: no size, unknown output and input types, control bytes,
      // percent-decoding.
      {"/skalo/bin?Image=/img/photo.jpg"},
      {"/skalo/bin?Image=/img/photo.jpg&Width=20&Output=.xyz"},
      {"/skalo/bin?Image=/img/readme.txt&Width=20"},
      {"/skalo/bin?Image=/img/photo.jpg&Width=20&x=%01"},
      {"/skalo/xml?Image=/img/photo.jpg&Width=20&Rotation=0%0D%0AHeight=20"},
      {"/skalo/test?x=%7F"},
      {"/skalo/bin?Image=%4"},
      {"/skalo/%7Bbad?Image=%zz"},
      {"/skalo/bad%zz", false, true},
      // The default image stands in for a missing one.
      {"/skalo/bin?Image=/img/none.jpg&Width=30"},
      // HEAD: the headers of GET, no body.
      {"/skalo/bin?Image=/img/photo.jpg&Width=40", true},
      {"/skalo/xml?Image=/img/photo.jpg&Width=40", true},
      {"/skalo/bin?Image=/img/photo.jpg", true},
      // A static file beside the module.
      {"/img/photo.jpg"},
  };
  for (const char* output : {".jpg", ".png", ".gif", ".bmp", ".tga"}) {
    const std::string target =
        std::string("/skalo/bin?Image=/img/photo%20one.jpg&Width=24&Output=") + output;
    cases.push_back({target});
    cases.push_back({target});
  }
  // Ways out of the site, none of which may reach the file outside it.
  for (const std::string& image :
       {std::string("/../private/secret.jpg"), std::string("%2e%2e/private/secret.jpg"),
        std::string("/img/%252e%252e/%252e%252e/private/secret.jpg"),
        std::string("/img/..%252f..%252fprivate/secret.jpg"),
        std::string("%5C..%5Cprivate%5Csecret.jpg"), std::string("/private/secret.jpg"), secret_,
        std::string("/img/photo.jpg%00.png")}) {
    cases.push_back({"/skalo/xml?ProcessBinary=false&Image=" + image});
  }

  Client to_httpd, to_apache;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target + (c.head ? " (HEAD)" : ""));
    Request request{};
    request.head = c.head;
    const Reply expected = to_httpd.Fetch(httpd_->Url(c.target), request);
    const Reply actual = to_apache.Fetch(apache_->Url(c.target), request);
    ASSERT_EQ(expected.error, "");
    ASSERT_EQ(actual.error, "");
    EXPECT_EQ(actual.status, expected.status);
    EXPECT_EQ(actual.body.find("<originalwidth>77<"), std::string::npos);
    if (c.status_only) continue;
    EXPECT_EQ(actual.reason, expected.reason);
    EXPECT_EQ(actual.Header("Content-Type"), expected.Header("Content-Type"));
    EXPECT_EQ(actual.Header("Content-Disposition"), expected.Header("Content-Disposition"));
    EXPECT_EQ(Normalised(actual.body, apache_->port(), "apache"),
              Normalised(expected.body, httpd_->port(), "httpd"));
    if (c.head) {
      EXPECT_EQ(actual.Header("Content-Length"), expected.Header("Content-Length"));
      EXPECT_EQ(actual.body, "");
    }
  }
  EXPECT_EQ(CacheContent(CacheDir("apache")), CacheContent(CacheDir("httpd")));
}

TEST_F(ApacheAgainstHttpd, ConcurrentIdenticalRequestsShareOneCacheFile) {
  Start(SKALO_MODULE_FILE);
  const std::string target = "/skalo/bin?Image=/img/photo.jpg&Width=48&Output=.png";
  const auto burst = [&](const std::function<std::string(std::string_view)>& url) {
    constexpr int kRequests = 64;
    std::vector<Reply> replies(kRequests);
    std::latch start(kRequests);
    std::vector<std::thread> threads;
    for (Reply& reply : replies) {
      threads.emplace_back([&] {
        Client client;
        start.arrive_and_wait();
        reply = client.Fetch(url(target));
      });
    }
    for (std::thread& thread : threads)
      thread.join();
    return replies;
  };
  const auto from_httpd = burst([&](std::string_view t) { return httpd_->Url(t); });
  const auto from_apache = burst([&](std::string_view t) { return apache_->Url(t); });
  for (const Reply& reply : from_apache) {
    EXPECT_EQ(reply.status, 200) << reply.error << reply.body;
    EXPECT_EQ(reply.Header("Content-Type"), "image/png");
    EXPECT_EQ(reply.body, from_httpd.front().body);
  }
  for (const Reply& reply : from_httpd) {
    EXPECT_EQ(reply.status, 200) << reply.error << reply.body;
    EXPECT_EQ(reply.body, from_httpd.front().body);
  }
  EXPECT_EQ(CacheContent(CacheDir("apache")).size(), 1u);
  EXPECT_EQ(CacheContent(CacheDir("apache")), CacheContent(CacheDir("httpd")));
}

// The control block, status lines, header handling and failures, through a
// module that echoes what it gets; TerminateExtension runs when Apache stops.
TEST_F(ApacheAgainstHttpd, EchoModuleGetsTheSameControlBlock) {
  Start(ECHO_MODULE_PATH, {"ECHO_MODULE_TERMINATE_MARK=" + CacheDir("{host}") + "/terminated"});
  struct Case {
    std::string target;
    Request request{};
  };
  Request head, post;
  head.head = true;
  post.method = "POST";
  post.body = "ignored=1";
  const std::vector<Case> cases = {
      {"/skalo/a%20b/c?x=1&y=%41+%2B"},
      {"/skalo"},
      {"/skalo/?map=/img/photo.jpg"},
      {"/skalo/?map=img/a%20%25%23%3F.jpg"},
      {"/skalo/?map=/skalo-cache"},
      {"/skalo/?map=/"},
      {"/skalo/?map=/img/photo.jpg/more"},
      {"/skalo/?map=/../private"},
      {"/skalo/?map=%5Cimg%5C..%5C..%5Cprivate"},
      {"/skalo/?map=/img/%252e%252e/x"},
      {"/skalo/status?code=299&reason=Quite%20Fine"},
      {"/skalo/status?code=404&reason=Gone%0Dnow"},
      {"/skalo/status?code=200&reason="},
      {"/skalo/status?code=100&reason=Continue"},
      {"/skalo/fail"},
      {"/skalo/error-page"},
      {"/skalo/silent"},
      {"/skalo/headers"},
      {"/skalo/headers", head},
      {"/skalo/echo", head},
      {"/skalo/echo", post},
      {"/skalo/file?offset=3&size=5&path=" + Site() + "/img/readme.txt"},
      {"/skalo/file?offset=3&size=5&path=" + Site() + "/img/readme.txt", head},
      {"/skalo/file?offset=3&size=9&path=" + Site() + "/img/readme.txt"},
  };
  Client to_httpd, to_apache;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const Reply expected = to_httpd.Fetch(httpd_->Url(c.target), c.request);
    const Reply actual = to_apache.Fetch(apache_->Url(c.target), c.request);
    ASSERT_EQ(actual.error, "");
    EXPECT_EQ(actual.status, expected.status);
    EXPECT_EQ(actual.reason, expected.reason);
    EXPECT_EQ(Normalised(actual.body, apache_->port(), "apache"),
              Normalised(expected.body, httpd_->port(), "httpd"));
    // (Lengths differ with the ports the echoed Host header holds.)
    for (const char* name : {"Content-Type", "X-Echo", "X-Last", "X-Split"}) {
      EXPECT_EQ(actual.Header(name), expected.Header(name)) << name;
      EXPECT_EQ(actual.HeaderCount(name), expected.HeaderCount(name)) << name;
    }
  }
  // Only Apache knows the alias, whose folder its access rules deny.
  const Reply denied = to_apache.Fetch(apache_->Url("/skalo/?map=/private/secret.jpg"));
  EXPECT_NE(denied.body.find("map=<failed>\n"), std::string::npos) << denied.body;

  EXPECT_EQ(apache_->Stop(), 0);
  EXPECT_EQ(ReadFile(CacheDir("apache") + "/terminated"), "terminated\n");
}

}  // namespace
}  // namespace skalo::host::testing
