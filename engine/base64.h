// Base64 with the standard alphabet and padding (RFC 4648, section 4), no line breaks.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace skalo {

std::string Base64Encode(std::span<const std::uint8_t> bytes);

}  // namespace skalo
