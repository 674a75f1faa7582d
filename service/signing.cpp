#include "service/signing.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <vector>

#include "base/text.h"

namespace skalo {

std::string HmacSha256Hex(std::string_view key, std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // An empty key still needs a valid pointer.
  static const unsigned char kNoKey = 0;
  const void* key_data = key.empty() ? static_cast<const void*>(&kNoKey) : key.data();
  if (!HMAC(EVP_sha256(), key_data, static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length))
    return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string UnsignedQuery(std::string_view query, int* signatures, std::string* signature) {
  std::string text;
  int found = 0;
  bool first = true;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t amp = query.find('&', pos);
    const std::string_view pair =
        query.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && SameText(pair.substr(0, eq), "Signature")) {
      if (found++ == 0 && signature) *signature = std::string(pair.substr(eq + 1));
    } else {
      if (!first) text += '&';
      text += pair;
      first = false;
    }
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
  if (signatures) *signatures = found;
  return text;
}

bool SignatureValid(std::string_view key, std::string_view query) {
  int count = 0;
  std::string given;
  const std::string text = UnsignedQuery(query, &count, &given);
  if (count != 1) return false;
  const std::string expected = HmacSha256Hex(key, text);
  return !expected.empty() && given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

std::string SignQuery(std::string_view key, std::string_view query) {
  const std::string text = UnsignedQuery(query);
  return text + (text.empty() ? "" : "&") + "Signature=" + HmacSha256Hex(key, text);
}

}  // namespace skalo
