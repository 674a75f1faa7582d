#include "base/http_fields.h"

#include <cstdint>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

namespace skalo {
namespace {

constexpr std::int64_t k1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

// Both texts of a time, and the HTTP-date read back; empty where a
// four-digit year cannot hold the time.
TEST(HttpDate, WritesAndReadsBackUtcTexts) {
  struct Case {
    std::int64_t seconds;
    const char* http;
    const char* log;
  };
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {k1994, "Sun, 06 Nov 1994 08:49:37 GMT", "06/Nov/1994:08:49:37 +0000"},
      {0, "Thu, 01 Jan 1970 00:00:00 GMT", "01/Jan/1970:00:00:00 +0000"},
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT", "31/Dec/1969:23:59:59 +0000"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT", "29/Feb/2000:00:00:00 +0000"},
      {-62167219200, "Sat, 01 Jan 0000 00:00:00 GMT", "01/Jan/0000:00:00:00 +0000"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT", "31/Dec/9999:23:59:59 +0000"},
      {-62167219201, "", ""},
      {253402300800, "", ""},
      {kMax, "", ""},
      {-kMax - 1, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HttpDateText(c.seconds), c.http) << c.seconds;
    EXPECT_EQ(LogDateText(c.seconds), c.log) << c.seconds;
    if (*c.http) {
      EXPECT_EQ(ParseHttpDate(c.http), c.seconds) << c.http;
    }
  }
}

TEST(HttpDate, ReadsTheThreeFormsAndRefusesAnythingElse) {
  const struct {
    const char* text;
    std::optional<std::int64_t> want;
  } cases[] = {
      {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},
      {"Wednesday, 01-Jan-70 00:00:00 GMT", 3155760000},  // not 50 years ahead: 2070
      {"Sun Nov  6 08:49:37 1994", k1994},
      {"Wed Nov 16 08:49:37 1994", k1994 + 10 * 86400},
      {" \tSun, 06 Nov 1994 08:49:37 GMT ", k1994},
      {"Sat, 31 Dec 2016 23:59:60 GMT", 1483228800},  // leap second
      {"", std::nullopt},
      {"yesterday", std::nullopt},
      {"\"abc\"", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT x", std::nullopt},
      {"Sun, 6 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 0x Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 94 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 24:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:60:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:61 GMT", std::nullopt},
      {"Sun, 31 Apr 1994 08:49:37 GMT", std::nullopt},
      {"Wed, 29 Feb 2023 08:49:37 GMT", std::nullopt},
      {", 06 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sunday, 06 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06-Nov-94 08:49:37 GMT", std::nullopt},
      {"Sun Nov  6 08:49:37 1994 GMT", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseHttpDate(c.text), c.want) << c.text;
}

TEST(HttpFields, EntityTagLists) {
  const struct {
    std::string_view list;
    std::string_view etag;
    bool match;
  } cases[] = {
      {" * ", "\"a\"", true},
      {"\"b\", W/\"a\"", "\"a\"", true},
      {"\"x,y\" ,\t\"a\"", "\"a\"", true},  // a comma inside a tag
      {"\"ab\", a", "\"a\"", false},
      {"a, \"a\"", "\"a\"", false},  // malformed from the start
      {"\"a", "\"a\"", false},
      {",,", "", false},
      {"*, \"a\"", "\"b\"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EntityTagListMatches(c.list, c.etag), c.match) << c.list;
}

}  // namespace
}  // namespace skalo
