#include <gtest/gtest.h>

#include "engine/base64.h"

namespace skalo {
namespace {

std::string Encode(const std::string& text) {
  return Base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode("f"), "Zg==");
  EXPECT_EQ(Encode("fo"), "Zm8=");
  EXPECT_EQ(Encode("foo"), "Zm9v");
  EXPECT_EQ(Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
}

TEST(Base64, EveryByteValueAndNoLineBreaks) {
  std::string all;
  for (int i = 0; i < 256; ++i)
    all += static_cast<char>(i);
  const std::string text = Encode(all + all);
  EXPECT_EQ(text.size(), 4u * ((512 + 2) / 3));
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(Encode("\xff\xfe\xfd"), "//79");
  EXPECT_EQ(Encode("\xfb\xff"), "+/8=");
}

}  // namespace
}  // namespace skalo
