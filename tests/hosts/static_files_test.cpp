#include "hosts/static_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
      {"index.html", "text/html"},
      {"a.css", "text/css"},
      {"a.js", "text/javascript"},
      {"a.png", "image/png"},
      {"a.jpg", "image/jpeg"},
      {"a.JPEG", "image/jpeg"},
      {"a.gif", "image/gif"},
      {"a.bmp", "image/bmp"},
      {"a.tga", "image/x-tga"},
      {"a.tif", "image/tiff"},
      {"a.TIFF", "image/tiff"},
      {"a.xml", "text/xml"},
      {"a.txt", "text/plain"},
      {"a.svg", "image/svg+xml"},
      {"favicon.ico", "image/x-icon"},
      {"a.tar.gz", "application/octet-stream"},
      {"README", "application/octet-stream"},
      {"a.", "application/octet-stream"},
      {"a.png.exe", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases)
    EXPECT_EQ(ContentTypeFor(name), type) << name;
}

}  // namespace
}  // namespace skalo::host
