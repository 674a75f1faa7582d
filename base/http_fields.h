// Values of HTTP header fields: blanks around them, entity-tag lists, and
// time stamps as HTTP writes them (RFC 9110, section 5.6.7) and as the
// Common Log Format does. Times are whole seconds since 1970-01-01 00:00:00
// UTC; the texts are always UTC and never depend on the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skalo {

// `text` without the blanks and tabs around it (HTTP's optional white space).
std::string_view TrimHttpSpace(std::string_view text);

// Whether an If-None-Match list names `etag` (weak comparison: a W/ prefix in
// the list does not matter) or is "*". A malformed list matches nothing from
// where it goes wrong; an empty `etag` matches nothing.
bool EntityTagListMatches(std::string_view list, std::string_view etag);

// The preferred HTTP-date form (IMF-fixdate), "Sun, 06 Nov 1994 08:49:37 GMT".
// Empty for a time outside the years 0000 to 9999, which the form cannot hold.
std::string HttpDateText(std::int64_t seconds);

// An HTTP-date in any of the three forms a recipient must accept: IMF-fixdate,
// the obsolete RFC 850 form ("Sunday, 06-Nov-94 08:49:37 GMT") and the asctime
// form ("Sun Nov  6 08:49:37 1994"). Blanks and tabs around it are ignored. A
// two-digit year is the latest year with those digits that is at most 50 years
// ahead of the present one. nullopt for any other text, days that no month
// has (31 Apr, 29 Feb 2023) included.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

// The Common Log Format's time stamp, "10/Dec/2026:13:55:36 +0000", without
// the brackets around it. Empty outside the years 0000 to 9999.
std::string LogDateText(std::int64_t seconds);

}  // namespace skalo
