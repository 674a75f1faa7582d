#include "engine/base64.h"

namespace skalo {

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t n = bytes.size();
  std::string out((n + 2) / 3 * 4, '=');
  std::size_t o = 0, i = 0;
  for (; n - i >= 3; i += 3) {
    const std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16 |
                            static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    const std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
  } else if (n - i == 2) {
    const std::uint32_t v =
        static_cast<std::uint32_t>(bytes[i]) << 16 | static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
  }
  return out;
}

}  // namespace skalo
