// The Debian package, made by cpack from this build folder: what it holds,
// and that the host and module unpacked from it serve the demo site the way
// its systemd unit starts them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "imaging/jpeg.h"
#include "tests/hosts/httpd_harness.h"
#include "tests/hosts/temp_dir.h"

namespace skalo::host::testing {
namespace {

namespace fs = std::filesystem;

// The first `name` on PATH; "" when there is none.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Entry {
  std::string mode;   // "-rw-r--r--", "lrwxrwxrwx", "drwxr-xr-x"
  std::string owner;  // "root/root"
  std::string link;   // target of a symbolic link
};

// `dpkg-deb -c` lines: MODE OWNER SIZE DATE TIME ./PATH [-> TARGET]
std::map<std::string, Entry> ParseListing(const std::string& listing) {
  std::map<std::string, Entry> entries;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    Entry entry;
    std::string size, date, time, path, arrow;
    fields >> entry.mode >> entry.owner >> size >> date >> time >> path >> arrow >> entry.link;
    if (!path.empty()) entries[path] = entry;
  }
  return entries;
}

// ExecStart= of a unit, continuation lines joined, split at blanks.
std::vector<std::string> ExecStart(const std::string& unit) {
  std::string joined;
  std::istringstream lines(unit);
  bool continued = false;
  for (std::string line; std::getline(lines, line);) {
    if (!continued) {
      if (!line.starts_with("ExecStart=")) continue;
      line.erase(0, 10);
    }
    continued = line.ends_with('\\');
    if (continued) line.pop_back();
    joined += line + ' ';
    if (!continued) break;
  }
  std::vector<std::string> words;
  std::istringstream split(joined);
  for (std::string word; split >> word;)
    words.push_back(word);
  return words;
}

// Why this build cannot test its package; "" when it can.
std::string SkipReason() {
#if defined(__SANITIZE_ADDRESS__)
  return "a package of a sanitizer build serves no one; the Release build runs this";
#else
  return FindProgram("dpkg-deb").empty() ? "dpkg-deb is missing (Debian: dpkg)" : "";
#endif
}

class Package : public ::testing::Test {
 protected:
  // One package for every test of this program.
  static void SetUpTestSuite() {
    if (!SkipReason().empty()) return;
    dir_ = std::make_unique<TempDir>();
    const Finished built =
        RunToExit(SKALO_CPACK, {"-G", "DEB", "--config", BuildDir() + "/CPackConfig.cmake", "-B",
                                (dir_->path() / "out").string()});
    build_log_ = built.out + built.err;
    if (!built.Exited(0)) return;
    for (const auto& entry : fs::directory_iterator(dir_->path() / "out")) {
      if (entry.path().extension() == ".deb") deb_ = entry.path().string();
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    if (const std::string reason = SkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    dpkg_deb_ = FindProgram("dpkg-deb");
    ASSERT_FALSE(deb_.empty()) << "cpack made no .deb:\n" << build_log_;
  }

  // dpkg-deb's output; the test fails when it does.
  std::string DpkgDeb(const std::vector<std::string>& args) {
    const Finished run = RunToExit(dpkg_deb_, args);
    EXPECT_TRUE(run.Exited(0)) << "dpkg-deb " << args.front() << ": " << run.err;
    return run.out;
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline std::string deb_;
  static inline std::string build_log_;
  std::string dpkg_deb_;
};

TEST_F(Package, HoldsTheHostModuleSettingsAndUnits) {
  const std::string dpkg = FindProgram("dpkg");
  std::string control = "Package: skalo\nVersion: " SKALO_VERSION "\n";
  if (!dpkg.empty()) control += "Architecture: " + RunToExit(dpkg, {"--print-architecture"}).out;
  EXPECT_EQ(DpkgDeb({"-f", deb_, "Package", "Version", "Architecture"}), control);

  struct Expected {
    const char* path;
    const char* mode;
    const char* link;
  };
  std::vector<Expected> expected = {
      {"./usr/bin/skalo-httpd", "-rwxr-xr-x", ""},
      {"./usr/lib/skalo/skalo.so", "-rw-r--r--", ""},
      {"./usr/lib/skalo/SkaloSettings.xml", "lrwxrwxrwx", "/etc/skalo/SkaloSettings.xml"},
      {"./etc/skalo/SkaloSettings.xml", "-rw-r--r--", ""},
      {"./lib/systemd/system/skalo.service", "-rw-r--r--", ""},
  };
  std::string conffiles = "/etc/skalo/SkaloSettings.xml\n";
#ifdef SKALO_WITH_APACHE
  expected.push_back({"./usr/lib/apache2/modules/mod_skalo.so", "-rw-r--r--", ""});
  expected.push_back({"./etc/apache2/mods-available/skalo.load", "-rw-r--r--", ""});
  expected.push_back({"./etc/apache2/mods-available/skalo.conf", "-rw-r--r--", ""});
  conffiles += "/etc/apache2/mods-available/skalo.conf\n/etc/apache2/mods-available/skalo.load\n";
#endif

  const auto listing = ParseListing(DpkgDeb({"-c", deb_}));
  std::set<std::string> files;
  for (const auto& [path, entry] : listing) {
    EXPECT_EQ(entry.owner, "root/root") << path;
    if (!entry.mode.starts_with('d')) files.insert(path);
  }
  for (const Expected& want : expected) {
    SCOPED_TRACE(want.path);
    ASSERT_TRUE(listing.contains(want.path));
    EXPECT_EQ(listing.at(want.path).mode, want.mode);
    EXPECT_EQ(listing.at(want.path).link, want.link);
    files.erase(want.path);
  }
  EXPECT_TRUE(files.empty()) << "unexpected: " << *files.begin();

  EXPECT_EQ(DpkgDeb({"-I", deb_, "conffiles"}), conffiles);
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_TRUE(RunToExit(dpkg_deb_, {"-I", deb_, script}).Exited(0)) << script;
  }
}

TEST_F(Package, UnpackedHostServesTheDemoSiteAsTheUnitStartsIt) {
  const fs::path root = dir_->path() / "root";
  DpkgDeb({"-x", deb_, root.string()});

  // The settings link points into the /etc of an installed system.
  const fs::path settings = root / "usr/lib/skalo/SkaloSettings.xml";
  ASSERT_TRUE(fs::is_symlink(settings));
  fs::remove(settings);
  fs::copy_file(root / "etc/skalo/SkaloSettings.xml", settings);
  const fs::path cache = dir_->MakeDir("cache");

  // The unit's command, its paths moved into the unpacked tree and the demo.
  std::vector<std::string> command = ExecStart(ReadFile(root / "lib/systemd/system/skalo.service"));
  ASSERT_GE(command.size(), 2u);
  const std::pair<std::string, std::string> moves[] = {
      {"/var/cache/skalo", cache.string()},
      {"/var/www/html", std::string(SKALO_SOURCE_ROOT) + "/demo/www"},
      {"127.0.0.1:8080", "127.0.0.1:0"},
      {"/usr/", root.string() + "/usr/"},
  };
  for (std::string& word : command) {
    for (const auto& [from, to] : moves) {
      if (const std::size_t at = word.find(from); at != std::string::npos) {
        word.replace(at, from.size(), to);
        break;
      }
    }
  }
  const std::string program = command.front();
  command.erase(command.begin());
  ASSERT_EQ(program, (root / "usr/bin/skalo-httpd").string());

  HttpdProcess httpd(command, {}, program);
  Client client;
  const Reply reply = client.Fetch(httpd.Url("/skalo/bin?Image=/images/sample.jpg&Width=100"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.Header("Content-Type"), "image/jpeg");
  TJPEGImage jpeg;
  jpeg.LoadFromBytes(std::vector<std::uint8_t>(reply.body.begin(), reply.body.end()));
  EXPECT_EQ(jpeg.Width(), 100);

  // The packaged settings keep results in the cache the unit gives them.
  std::size_t cached = 0;
  for (const auto& entry : fs::recursive_directory_iterator(cache))
    cached += entry.is_regular_file();
  EXPECT_EQ(cached, 1u);
  EXPECT_EQ(httpd.Stop(), 0);
}

}  // namespace
}  // namespace skalo::host::testing
