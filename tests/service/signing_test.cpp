#include "service/signing.h"

#include <gtest/gtest.h>

namespace skalo {
namespace {

TEST(Signing, HmacAndSignedText) {
  // RFC 4231, test case 2.
  EXPECT_EQ(HmacSha256Hex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  struct Case {
    const char* query;
    const char* text;
    int signatures;
  };
  const Case cases[] = {
      {"a=1&Signature=x&b=2", "a=1&b=2", 1}, {"signature=x&a=%41", "a=%41", 1},
      {"a=1&&b&Signature=", "a=1&&b", 1},    {"a=1&Signatures=x", "a=1&Signatures=x", 0},
      {"Signature=1&a&SIGNATURE=2", "a", 2}, {"", "", 0},
  };
  for (const Case& c : cases) {
    int count = -1;
    EXPECT_EQ(UnsignedQuery(c.query, &count), c.text) << c.query;
    EXPECT_EQ(count, c.signatures) << c.query;
  }
  const std::string signed_query = SignQuery("k", "Image=/a.jpg&Width=10");
  EXPECT_EQ(signed_query,
            "Image=/a.jpg&Width=10&Signature=" + HmacSha256Hex("k", "Image=/a.jpg&Width=10"));
  EXPECT_TRUE(SignatureValid("k", signed_query));
  EXPECT_EQ(SignQuery("k", signed_query), signed_query);  // signing again changes nothing
  std::string upper = signed_query;
  for (std::size_t i = upper.size() - 64; i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  EXPECT_FALSE(SignatureValid("k", upper == signed_query ? upper + "0" : upper));
  EXPECT_FALSE(SignatureValid("K", signed_query));
}

}  // namespace
}  // namespace skalo
