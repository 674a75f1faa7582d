#include "hosts/static_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/http_fields.h"
#include "tests/hosts/temp_dir.h"

namespace skalo::host {
namespace {

std::string ReadAll(int fd) {
  std::string data;
  char chunk[256];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0)
    data.append(chunk, static_cast<size_t>(got));
  return data;
}

TEST(HostStaticFile, OpensRegularFiles) {
  testing::TempDir temp;
  temp.Write("a/photo.JPG", "12345");
  const auto file = OpenStaticFile(temp.str() + "/a/photo.JPG");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->size, 5u);
  EXPECT_EQ(file->name, "photo.JPG");
  EXPECT_FALSE(file->folder);
  EXPECT_EQ(ReadAll(file->fd.get()), "12345");
}

TEST(HostStaticFile, ServesAFoldersIndexPage) {
  testing::TempDir temp;
  temp.Write("site/index.html", "<p>hi</p>");
  temp.MakeDir("bare");
  temp.MakeDir("odd/index.html");

  const auto index = OpenStaticFile(temp.str() + "/site");
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->name, "index.html");
  EXPECT_TRUE(index->folder);
  EXPECT_EQ(ReadAll(index->fd.get()), "<p>hi</p>");

  EXPECT_FALSE(OpenStaticFile(temp.str() + "/bare").has_value()) << "folder without index";
  EXPECT_FALSE(OpenStaticFile(temp.str() + "/odd").has_value()) << "index.html is a folder";
}

TEST(HostStaticFile, RefusesMissingAndSpecialFiles) {
  testing::TempDir temp;
  const std::string fifo = temp.str() + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A pipe without a writer would block an ordinary open for good.
  EXPECT_FALSE(OpenStaticFile(fifo).has_value());
  EXPECT_FALSE(OpenStaticFile(temp.str() + "/missing").has_value());
  EXPECT_FALSE(OpenStaticFile("/dev/null").has_value());
}

TEST(HostStaticFile, PicksTheContentTypeByExtension) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"index.html", "text/html; charset=utf-8"},
      {"a.css", "text/css; charset=utf-8"},
      {"a.js", "text/javascript; charset=utf-8"},
      {"a.txt", "text/plain; charset=utf-8"},
      {"a.xml", "text/xml"},
      {"a.json", "application/json"},
      {"a.png", "image/png"},
      {"a.jpg", "image/jpeg"},
      {"a.JPEG", "image/jpeg"},
      {"a.gif", "image/gif"},
      {"a.bmp", "image/bmp"},
      {"a.tga", "image/x-tga"},
      {"a.tif", "image/tiff"},
      {"a.TIFF", "image/tiff"},
      {"a.svg", "image/svg+xml"},
      {"a.webp", "image/webp"},
      {"a.avif", "image/avif"},
      {"a.woff2", "font/woff2"},
      {"a.pdf", "application/pdf"},
      {"favicon.ico", "image/x-icon"},
      {"a.tar.gz", "application/octet-stream"},
      {"README", "application/octet-stream"},
      {"a.", "application/octet-stream"},
      {"a.png.exe", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases)
    EXPECT_EQ(ContentTypeFor(name), type) << name;
}

// The conditional and range rules on a 1000-byte file modified at kModified.
TEST(HostStaticFile, PlansConditionalAndRangeAnswers) {
  constexpr std::time_t kModified = 1700000000;
  StaticFile file;
  file.size = 1000;
  file.mtime_ns = std::int64_t{kModified} * 1000000000 + 5;
  const std::string tag = EntityTag(file);
  EXPECT_EQ(tag, "\"17979cfe362a0005-3e8\"");
  const std::string modified = HttpDateText(kModified);
  const std::string earlier = HttpDateText(kModified - 1);
  const std::string later = HttpDateText(kModified + 60);

  struct Case {
    const char* what;
    std::optional<std::string> if_none_match, if_modified_since, range, if_range;
    bool get;
    StaticPlan want;
  };
  const std::nullopt_t none = std::nullopt;
  const std::vector<Case> cases = {
      {"plain", none, none, none, none, true, {200, 0, 1000}},
      {"tag matches", tag, none, none, none, true, {304, 0, 0}},
      {"weak tag in a list", "\"x\", W/" + tag, none, none, none, true, {304, 0, 0}},
      {"star", "*", none, none, none, true, {304, 0, 0}},
      {"other tag", "\"x\"", none, none, none, true, {200, 0, 1000}},
      {"other tag wins over the date", "\"x\"", later, none, none, true, {200, 0, 1000}},
      {"unmodified since", none, modified, none, none, true, {304, 0, 0}},
      {"head unmodified", none, later, none, none, false, {304, 0, 0}},
      {"modified since", none, earlier, none, none, true, {200, 0, 1000}},
      {"bad date", none, "soon", none, none, true, {200, 0, 1000}},
      {"future date", none, "Fri, 01 Jan 2100 00:00:00 GMT", none, none, true, {200, 0, 1000}},
      {"first bytes", none, none, "bytes=0-99", none, true, {206, 0, 100}},
      {"blanks and case", none, none, " Bytes=10-19 ", none, true, {206, 10, 10}},
      {"open ended", none, none, "bytes=500-", none, true, {206, 500, 500}},
      {"past the end clamped", none, none, "bytes=900-5000", none, true, {206, 900, 100}},
      {"suffix", none, none, "bytes=-300", none, true, {206, 700, 300}},
      {"suffix longer than file", none, none, "bytes=-5000", none, true, {206, 0, 1000}},
      {"huge numbers", none, none, "bytes=0-99999999999999999999999", none, true, {206, 0, 1000}},
      {"last byte", none, none, "bytes=999-999", none, true, {206, 999, 1}},
      {"starts at the end", none, none, "bytes=1000-", none, true, {416, 0, 0}},
      {"empty suffix", none, none, "bytes=-0", none, true, {416, 0, 0}},
      {"reversed", none, none, "bytes=5-1", none, true, {200, 0, 1000}},
      {"several ranges", none, none, "bytes=0-1,5-6", none, true, {200, 0, 1000}},
      {"other unit", none, none, "items=0-1", none, true, {200, 0, 1000}},
      {"garbage", none, none, "bytes=a-b", none, true, {200, 0, 1000}},
      {"head ignores range", none, none, "bytes=0-1", none, false, {200, 0, 1000}},
      {"if-range tag", none, none, "bytes=0-1", tag, true, {206, 0, 2}},
      {"if-range date", none, none, "bytes=0-1", modified, true, {206, 0, 2}},
      {"if-range old tag", none, none, "bytes=0-1", "\"x\"", true, {200, 0, 1000}},
      {"if-range weak tag", none, none, "bytes=0-1", "W/" + tag, true, {200, 0, 1000}},
      {"if-range old date", none, none, "bytes=0-1", earlier, true, {200, 0, 1000}},
      {"not modified beats range", tag, none, "bytes=0-1", none, true, {304, 0, 0}},
  };
  auto view = [](const std::optional<std::string>& text) -> std::optional<std::string_view> {
    if (!text) return std::nullopt;
    return std::string_view(*text);
  };
  for (const Case& c : cases) {
    StaticConditions request;
    request.get = c.get;
    request.if_none_match = view(c.if_none_match);
    request.if_modified_since = view(c.if_modified_since);
    request.range = view(c.range);
    request.if_range = view(c.if_range);
    request.now = kModified + 3600;
    const StaticPlan got = PlanStaticAnswer(file, request);
    EXPECT_EQ(got.status, c.want.status) << c.what;
    EXPECT_EQ(got.offset, c.want.offset) << c.what;
    EXPECT_EQ(got.length, c.want.length) << c.what;
  }

  StaticFile empty;
  StaticConditions suffix;
  suffix.range = "bytes=-1";
  EXPECT_EQ(PlanStaticAnswer(empty, suffix).status, 416u) << "nothing to take from an empty file";
}

}  // namespace
}  // namespace skalo::host
