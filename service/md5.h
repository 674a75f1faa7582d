// MD5 message digest (RFC 1321).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace skalo {

class TMD5 {
 public:
  TMD5();
  void Update(const void* data, std::size_t size);
  // Finishes the digest; the object must not be updated afterwards.
  std::array<std::uint8_t, 16> Final();

 private:
  void Transform(const std::uint8_t block[64]);

  std::uint32_t state_[4];
  std::uint64_t length_ = 0;  // bytes hashed so far
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
};

// The digest of `text` as 32 lower-case hexadecimal digits, high half of each byte first.
std::string MD5Hex(std::string_view text);

}  // namespace skalo
