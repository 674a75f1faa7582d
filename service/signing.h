// Signed URLs: a query carries a field "Signature" holding the lower-case hex
// HMAC-SHA256, under a shared key, of the query without that field. The
// signed text is the raw query with every pair named "Signature" (any letter
// case, the name taken undecoded) removed and the remaining pairs, empty ones
// included, joined by "&" in their order.
#pragma once

#include <string>
#include <string_view>

namespace skalo {

// The lower-case hex HMAC-SHA256 of `text` under `key`.
std::string HmacSha256Hex(std::string_view key, std::string_view text);

// The signed text of a raw query; `signatures` receives how many Signature
// pairs were removed and `signature` the value of the first.
std::string UnsignedQuery(std::string_view query, int* signatures = nullptr,
                          std::string* signature = nullptr);

// True when the query holds exactly one Signature pair and it matches.
bool SignatureValid(std::string_view key, std::string_view query);

// The query followed by "&Signature=" and its signature (a query that
// already holds one is signed without it).
std::string SignQuery(std::string_view key, std::string_view query);

}  // namespace skalo
