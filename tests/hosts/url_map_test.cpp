#include "hosts/url_map.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace skalo::host {
namespace {

using namespace std::string_literals;

SiteMap Site() {
  return {"/srv/www",
          {{"/cache", "/var/cache/skalo"}, {"/cache/deep", "/mnt/deep"}, {"/Img", "/srv/img"}}};
}

void ExpectMaps(const SiteMap& site,
                const std::vector<std::pair<std::string, std::string>>& cases) {
  for (const auto& [url, want] : cases) {
    EXPECT_EQ(MapUrlToPath(url, site), want) << "url \"" << url << "\"";
  }
}

void ExpectRefused(const SiteMap& site, const std::vector<std::string>& urls) {
  for (const std::string& url : urls) {
    const std::string got = MapUrlToPath(url, site);
    EXPECT_EQ(got, "") << "url \"" << url << "\" got \"" << got << "\", want a failure";
  }
}

TEST(HostUrlMap, MapsPathsIntoTheRoot) {
  ExpectMaps(Site(), {
                         {"/", "/srv/www"},
                         {"/index.html", "/srv/www/index.html"},
                         {"/a/b/c.jpg", "/srv/www/a/b/c.jpg"},
                         {"//a///b//", "/srv/www/a/b"},
                         {"/./a/./b/.", "/srv/www/a/b"},
                         {"/a\\b\\c.jpg", "/srv/www/a/b/c.jpg"},
                         {"/...", "/srv/www/..."},
                         {"/a/..b/c..", "/srv/www/a/..b/c.."},
                         // Only separators and NUL are special among escapes.
                         {"/a b+c%20d", "/srv/www/a b+c%20d"},
                     });
}

TEST(HostUrlMap, TakesValuesWithoutLeadingSlashRelativeToTheSiteRoot) {
  ExpectMaps(Site(), {
                         {"", "/srv/www"},
                         {"images/x.png", "/srv/www/images/x.png"},
                         {"./x", "/srv/www/x"},
                         {"cache/x", "/var/cache/skalo/x"},
                         {"a/../b", "/srv/www/b"},
                     });
  ExpectRefused(Site(), {"..", "../x", "a/../../x"});
}

TEST(HostUrlMap, ResolvesDotDotInsideTheSite) {
  ExpectMaps(Site(), {
                         {"/a/../b", "/srv/www/b"},
                         {"/a/b/../../c", "/srv/www/c"},
                         {"/a/..", "/srv/www"},
                         {"/a\\..\\b", "/srv/www/b"},
                         {"/a/./../b/", "/srv/www/b"},
                     });
}

TEST(HostUrlMap, RefusesEveryWayOfClimbingAboveTheSite) {
  ExpectRefused(Site(), {
                            "/..",
                            "/../etc/passwd",
                            "/a/../../x",
                            "/a/b/../../../x",
                            "\\..\\x",
                            "/a\\..\\..\\x",
                            "/./../x",
                            "//..//x",
                            "/../srv/www/x",
                            "/cache/../../x",
                            "/cache/deep/../../../x",
                        });
}

TEST(HostUrlMap, RefusesPercentEncodedSeparatorsAndNul) {
  ExpectRefused(Site(), {
                            "/%2e%2e/x",
                            "/%2E%2E/x",
                            "/.%2e/x",
                            "/%2e./x",
                            "/a/%2e",
                            "/a%2fb",
                            "/a%2Fb",
                            "/a%5cb",
                            "/a%5Cb",
                            "/a%00b",
                            "/cache/%2e%2e/x",
                            "%2e%2e/x",
                        });
  ExpectRefused(Site(), {"/a\0b"s, "\0"s, "/a/\0/../b"s});
}

TEST(HostUrlMap, PicksTheLongestAliasOnSegmentBoundaries) {
  ExpectMaps(Site(), {
                         {"/cache", "/var/cache/skalo"},
                         {"/cache/", "/var/cache/skalo"},
                         {"/cache/x.jpg", "/var/cache/skalo/x.jpg"},
                         {"/cache\\x.jpg", "/var/cache/skalo/x.jpg"},
                         {"/cache/deep/x", "/mnt/deep/x"},
                         {"/cache/deep", "/mnt/deep"},
                         {"/cache/deeper/x", "/var/cache/skalo/deeper/x"},
                         {"/cachefoo/x", "/srv/www/cachefoo/x"},
                         {"/cach", "/srv/www/cach"},
                         // Case-sensitive.
                         {"/CACHE/x", "/srv/www/CACHE/x"},
                         {"/img/x", "/srv/www/img/x"},
                         {"/Img/x", "/srv/img/x"},
                     });
}

TEST(HostUrlMap, MatchesAliasesAfterNormalisation) {
  ExpectMaps(Site(), {
                         {"/cache/../x", "/srv/www/x"},
                         {"/x/../cache/y", "/var/cache/skalo/y"},
                         {"//cache//y", "/var/cache/skalo/y"},
                         {"/./cache/./y", "/var/cache/skalo/y"},
                         {"/cache/deep/../z", "/var/cache/skalo/z"},
                         {"/cache/..", "/srv/www"},
                     });
}

TEST(HostUrlMap, LimitsInputToTheMapBuffer) {
  // 1023 bytes of input (room for the terminator) that normalise to "/a".
  std::string longest = "/a";
  for (int i = 0; i < 510; ++i)
    longest += "/.";
  longest += "/";
  ASSERT_EQ(longest.size(), kMapBufferSize - 1);
  EXPECT_EQ(MapUrlToPath(longest, Site()), "/srv/www/a");
  EXPECT_EQ(MapUrlToPath(longest + "/", Site()), "") << "1024 bytes of input must fail";
  EXPECT_EQ(MapUrlToPath(std::string(100000, '/'), Site()), "");
}

TEST(HostUrlMap, FailsWhenTheResultWouldNotFitTheMapBuffer) {
  const SiteMap site{"/r", {}};
  // "/r" + "/" + name: 1023 bytes fit with the terminator, 1024 do not.
  EXPECT_EQ(MapUrlToPath("/" + std::string(1020, 'a'), site).size(), kMapBufferSize - 1);
  EXPECT_EQ(MapUrlToPath("/" + std::string(1021, 'a'), site), "");
}

TEST(HostUrlMap, JoinsCleanlyUnderTheFileSystemRoot) {
  const SiteMap site{"/", {{"/c", "/"}}};
  ExpectMaps(site, {{"/", "/"}, {"/x", "/x"}, {"/a/b", "/a/b"}, {"/c/x", "/x"}, {"/c", "/"}});
}

TEST(HostUrlDecode, DecodesEscapesAndKeepsPlus) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/a%20b", "/a b"},
      {"/a+b", "/a+b"},
      {"/a%2Fb%2fc", "/a/b/c"},
      {"%41%62", "Ab"},
      {"/%e2%82%AC", "/\xe2\x82\xac"},
      {"", ""},
      {"/%2e%2e/", "/../"},
      {"/plain", "/plain"},
  };
  for (const auto& [raw, want] : cases) {
    const auto got = DecodeUrlPath(raw);
    ASSERT_TRUE(got.has_value()) << "raw \"" << raw << "\"";
    EXPECT_EQ(*got, want) << "raw \"" << raw << "\"";
  }
}

TEST(HostUrlDecode, RefusesMalformedEscapesAndNul) {
  for (const std::string& raw :
       {"%"s, "%2"s, "/a%2"s, "%zz"s, "%g0"s, "%0g"s, "% 20"s, "%00"s, "/a%00b"s, "/a\0b"s}) {
    EXPECT_FALSE(DecodeUrlPath(raw).has_value()) << "raw \"" << raw << "\"";
  }
}

TEST(HostUrlDecode, DetectsEncodedSeparatorsInAnyCase) {
  for (const char* text : {"%2e", "%2E", "%2f", "%2F", "%5c", "%5C", "%00", "/a/%2E%2e/b"}) {
    EXPECT_TRUE(HasEncodedSeparator(text)) << text;
  }
  for (const char* text : {"", "%", "%2", "%20", "%2g", "%5b", "%01", "2e", "/a/../b"}) {
    EXPECT_FALSE(HasEncodedSeparator(text)) << text;
  }
}

TEST(HostRequestTarget, SplitsOriginFormAtTheFirstQuestionMark) {
  struct Case {
    std::string target, path, query;
  };
  for (const Case& c :
       std::vector<Case>{{"/a/b?x=1&y", "/a/b", "x=1&y"},
                         {"/a?", "/a", ""},
                         {"/a?b?c", "/a", "b?c"},
                         {"/", "/", ""},
                         {"/skalo/xml?Image=/a%20b.jpg", "/skalo/xml", "Image=/a%20b.jpg"}}) {
    const auto got = SplitTarget(c.target);
    ASSERT_TRUE(got.has_value()) << c.target;
    EXPECT_EQ(got->path, c.path) << c.target;
    EXPECT_EQ(got->query, c.query) << c.target;
  }
}

TEST(HostRequestTarget, AcceptsAbsoluteFormAndRefusesOtherForms) {
  struct Case {
    std::string target, path, query;
  };
  for (const Case& c : std::vector<Case>{{"http://host/x?q", "/x", "q"},
                                         {"HTTP://host:80", "/", ""},
                                         {"http://host?q=1", "/", "q=1"},
                                         {"https://h/skalo/", "/skalo/", ""}}) {
    const auto got = SplitTarget(c.target);
    ASSERT_TRUE(got.has_value()) << c.target;
    EXPECT_EQ(got->path, c.path) << c.target;
    EXPECT_EQ(got->query, c.query) << c.target;
  }
  for (const char* target : {"*", "x/y", "", "ftp://h/x", "http:///x", "?q"}) {
    EXPECT_FALSE(SplitTarget(target).has_value()) << target;
  }
}

TEST(HostMount, MatchesWholeSegmentsOnly) {
  struct Case {
    std::string path;
    std::optional<std::string> rest;
  };
  for (const Case& c : std::vector<Case>{{"/skalo", ""},
                                         {"/skalo/", "/"},
                                         {"/skalo/xml", "/xml"},
                                         {"/skalo/a/b%20c", "/a/b%20c"},
                                         {"/skalo//x", "//x"},
                                         {"/skalofoo", std::nullopt},
                                         {"/skal", std::nullopt},
                                         {"/Skalo/x", std::nullopt},
                                         {"/a/skalo", std::nullopt},
                                         {"/", std::nullopt}}) {
    const auto got = PathUnderMount(c.path, "/skalo");
    EXPECT_EQ(got.has_value(), c.rest.has_value()) << c.path;
    if (got && c.rest) {
      EXPECT_EQ(*got, *c.rest) << c.path;
    }
  }
  EXPECT_EQ(PathUnderMount("/img/skalo/x", "/img/skalo"), std::optional<std::string_view>("/x"));
  EXPECT_FALSE(PathUnderMount("/img", "/img/skalo").has_value());
}

TEST(HostUrlPrefix, NormalisesUsablePrefixes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/skalo", "/skalo"}, {"skalo", "/skalo"},        {"/skalo/", "/skalo"},
      {"/a/b", "/a/b"},     {"/a-b_c.d~", "/a-b_c.d~"},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(NormaliseUrlPrefix(text), std::optional<std::string>(want)) << text;
  }
}

TEST(HostUrlPrefix, RefusesPrefixesThatCannotMatchNormalisedPaths) {
  for (const char* text : {"", "/", "//", "/a//b", "/a/../b", "/./a", "/..", "/a b", "/a%20b",
                           "/a?b", "/a#b", "/a\\b", "/a//"}) {
    EXPECT_FALSE(NormaliseUrlPrefix(text).has_value()) << "\"" << text << "\"";
  }
}

}  // namespace
}  // namespace skalo::host
