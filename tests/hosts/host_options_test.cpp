#include "hosts/host_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/hosts/temp_dir.h"

namespace skalo::host {
namespace {

using ::testing::HasSubstr;
using Args = std::vector<std::string>;

TEST(HostArgs, AppliesDefaultsToTheMinimalCommandLine) {
  const ParsedArgs parsed = ParseHostArgs({"--listen", "127.0.0.1:0", "--root", "www"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_FALSE(parsed.help);
  EXPECT_EQ(parsed.options.listen_host, "127.0.0.1");
  EXPECT_EQ(parsed.options.listen_port, 0);
  EXPECT_EQ(parsed.options.root, "www");
  EXPECT_EQ(parsed.options.mount, "/skalo");
  EXPECT_EQ(parsed.options.module, "");
  EXPECT_EQ(parsed.options.threads, 0u);
  EXPECT_TRUE(parsed.options.aliases.empty());
  EXPECT_EQ(parsed.options.access_log, "");
  EXPECT_EQ(parsed.options.metrics_path, "");
  EXPECT_EQ(parsed.options.healthz_path, "");
}

TEST(HostArgs, ReadsEveryOptionInBothForms) {
  const ParsedArgs parsed = ParseHostArgs(
      {"--listen=[::1]:8080", "--root", "/srv/www", "--mount=/img/skalo/", "--alias",
       "/cache=/var/cache/x", "--alias=/b/c/=rel=dir", "--module", "./m.so", "--threads=3",
       "--access-log=-", "--metrics", "/ops/metrics/", "--healthz=healthz"});
  ASSERT_EQ(parsed.error, "");
  const HostOptions& o = parsed.options;
  EXPECT_EQ(o.listen_host, "::1");
  EXPECT_EQ(o.listen_port, 8080);
  EXPECT_EQ(o.root, "/srv/www");
  EXPECT_EQ(o.mount, "/img/skalo");
  ASSERT_EQ(o.aliases.size(), 2u);
  EXPECT_EQ(o.aliases[0].prefix, "/cache");
  EXPECT_EQ(o.aliases[0].dir, "/var/cache/x");
  EXPECT_EQ(o.aliases[1].prefix, "/b/c");
  EXPECT_EQ(o.aliases[1].dir, "rel=dir");
  EXPECT_EQ(o.module, "./m.so");
  EXPECT_EQ(o.threads, 3u);
  EXPECT_EQ(o.access_log, "-");
  EXPECT_EQ(o.metrics_path, "/ops/metrics");
  EXPECT_EQ(o.healthz_path, "/healthz");
}

TEST(HostArgs, HelpNeedsNothingElse) {
  EXPECT_TRUE(ParseHostArgs({"--help"}).help);
  EXPECT_TRUE(ParseHostArgs({"-h"}).help);
  EXPECT_EQ(ParseHostArgs({"--help"}).error, "");
}

TEST(HostArgs, RefusesBadOrMissingArguments) {
  const Args base = {"--listen", "127.0.0.1:0", "--root", "www"};
  auto with = [&base](Args extra) {
    Args args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::vector<Args> bad = {
      {},
      {"--listen", "127.0.0.1:0"},
      {"--root", "www"},
      {"--root", "www", "--listen"},
      {"--listen", "127.0.0.1", "--root", "www"},
      {"--listen", "127.0.0.1:", "--root", "www"},
      {"--listen", ":80", "--root", "www"},
      {"--listen", "127.0.0.1:65536", "--root", "www"},
      {"--listen", "127.0.0.1:-1", "--root", "www"},
      {"--listen", "127.0.0.1:8o", "--root", "www"},
      {"--listen", "::1:80", "--root", "www"},
      {"--listen", "[::1]80", "--root", "www"},
      {"--listen", "[::1", "--root", "www"},
      {"--listen", "127.0.0.1:0", "--root", ""},
      with({"--threads", "0"}),
      with({"--threads", "1025"}),
      with({"--threads", "x"}),
      with({"--threads", "-2"}),
      with({"--mount", "/"}),
      with({"--mount", "/a/../b"}),
      with({"--alias", "/x"}),
      with({"--alias", "=/d"}),
      with({"--alias", "/x="}),
      with({"--alias", "/=/d"}),
      with({"--alias", "/x=/a", "--alias", "/x/=/b"}),
      with({"--root", "other"}),
      with({"--listen", "127.0.0.1:1"}),
      with({"--module", "a.so", "--module", "b.so"}),
      with({"--port", "80"}),
      with({"extra"}),
      with({"--help=yes"}),
      with({"--access-log", ""}),
      with({"--access-log", "a", "--access-log", "b"}),
      with({"--metrics", "/"}),
      with({"--metrics", "/a b"}),
      with({"--metrics", "/m", "--healthz", "/m/"}),
  };
  for (const Args& args : bad) {
    std::string line;
    for (const std::string& arg : args)
      line += "[" + arg + "] ";
    EXPECT_NE(ParseHostArgs(args).error, "") << "args " << line << "were accepted";
  }
}

TEST(HostArgs, AcceptsThePortRangeEnds) {
  EXPECT_EQ(ParseListenAddress("localhost:65535")->port, 65535);
  EXPECT_EQ(ParseListenAddress("0.0.0.0:0")->port, 0);
  EXPECT_EQ(ParseListenAddress("[::]:1")->host, "::");
}

TEST(HostResolveSite, MakesFoldersAbsoluteAndReal) {
  testing::TempDir temp;
  temp.MakeDir("www/sub");
  temp.MakeDir("cache");
  std::filesystem::create_directory_symlink(temp.path() / "cache", temp.path() / "link");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  HostOptions options;
  options.root = "www/sub/..";
  options.aliases = {{"/c", "link"}};
  std::string error;
  const auto site = ResolveSite(options, &error);
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(site.has_value()) << error;
  EXPECT_EQ(site->root, temp.str() + "/www");
  ASSERT_EQ(site->aliases.size(), 1u);
  EXPECT_EQ(site->aliases[0].prefix, "/c");
  EXPECT_EQ(site->aliases[0].dir, temp.str() + "/cache");
}

TEST(HostResolveSite, RefusesMissingFoldersAndFiles) {
  testing::TempDir temp;
  temp.Write("file.txt", "x");
  temp.MakeDir("www");
  std::string error;

  HostOptions missing_root;
  missing_root.root = temp.str() + "/nope";
  EXPECT_FALSE(ResolveSite(missing_root, &error).has_value());
  EXPECT_THAT(error, HasSubstr("--root"));

  HostOptions file_root;
  file_root.root = temp.str() + "/file.txt";
  EXPECT_FALSE(ResolveSite(file_root, &error).has_value());
  EXPECT_THAT(error, HasSubstr("not a folder"));

  HostOptions missing_alias;
  missing_alias.root = temp.str() + "/www";
  missing_alias.aliases = {{"/cache", temp.str() + "/gone"}};
  EXPECT_FALSE(ResolveSite(missing_alias, &error).has_value());
  EXPECT_THAT(error, HasSubstr("--alias /cache"));
}

TEST(HostModulePath, DefaultsBesideTheProgramAndNeverSearchesTheLibraryPath) {
  EXPECT_EQ(ModuleBesideProgram("/opt/skalo/bin/skalo-httpd"), "/opt/skalo/bin/skalo.so");
  EXPECT_EQ(ModuleBesideProgram("/skalo-httpd"), "/skalo.so");
  EXPECT_EQ(PathForDlopen("skalo.so"), "./skalo.so");
  EXPECT_EQ(PathForDlopen("build/skalo.so"), "build/skalo.so");
  EXPECT_EQ(PathForDlopen("/abs/skalo.so"), "/abs/skalo.so");
}

}  // namespace
}  // namespace skalo::host
