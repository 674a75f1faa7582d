// URL handling of the standalone host: splitting request targets, the module's
// mount, percent-decoding, and the URL-to-path mapping shared by the static
// file server and the module's MapUrlToPath callback.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skalo::host {

// Size of the buffer the module maps URLs through (terminator included). No
// URL of this length or longer is mapped, and no longer path is produced.
inline constexpr std::size_t kMapBufferSize = 1024;

// A URL prefix served from its own folder.
struct AliasDir {
  std::string prefix;  // normalised: "/cache", "/img/thumbs"; never "/"
  std::string dir;     // absolute folder, as realpath gives it
};

// Where URL paths live on disk.
struct SiteMap {
  std::string root;  // absolute folder
  std::vector<AliasDir> aliases;
};

// Maps a URL path (already percent-decoded) to the file-system path served for
// it, or "" when it cannot be mapped. The result always lies inside the root or
// the matching alias's folder:
//  - a value without a leading "/" is taken relative to the site root;
//  - "\" separates like "/", "." and empty segments vanish, ".." removes the
//    previous segment and fails when there is none;
//  - percent-encoded dots, slashes, backslashes and NULs ("%2e", "%2f", "%5c",
//    "%00", any case) and NUL bytes are refused, so that nothing decoded twice
//    elsewhere can sneak a separator past the normalisation;
//  - after normalisation the longest alias prefix matching whole segments
//    (case-sensitive) picks the folder, otherwise the root does;
//  - inputs of kMapBufferSize bytes or more, and results that would not fit
//    such a buffer with their terminator, fail.
std::string MapUrlToPath(std::string_view url, const SiteMap& site);

// The checks and the normalisation MapUrlToPath applies before it picks a
// folder: the URL path as "/"-joined segments ("/" for the top), or nullopt
// when it is refused (kMapBufferSize bytes or more, NUL bytes, encoded
// separators, ".." above the top).
std::optional<std::string> NormaliseMapUrl(std::string_view url);

// True when `text` holds "%2e", "%2f", "%5c" or "%00" in any case.
bool HasEncodedSeparator(std::string_view text);

// Normalises a URL path into its segments ("\" counts as "/", "." and empty
// segments dropped, ".." resolved). nullopt when ".." climbs above the top.
std::optional<std::vector<std::string_view>> NormalisePath(std::string_view path);

// Percent-decodes a URL path ("+" stays "+"). nullopt when an escape is not
// "%" followed by two hex digits, or when the result would hold a NUL byte.
std::optional<std::string> DecodeUrlPath(std::string_view raw);

// The parts of a request target, both still percent-encoded.
struct RequestTarget {
  std::string_view path;   // starts with "/"
  std::string_view query;  // text after the first "?", "" when none
};

// Splits an origin-form ("/a/b?q") or absolute-form ("http://host/a/b?q")
// request target. nullopt for anything else ("*", "a/b", "").
std::optional<RequestTarget> SplitTarget(std::string_view target);

// When the raw URL path `path` lies under `mount` (whole segments, so
// "/skalofoo" is not under "/skalo"), answers the remainder: "" for the mount
// itself, otherwise the text from the "/" after it. nullopt when not under it.
std::optional<std::string_view> PathUnderMount(std::string_view path, std::string_view mount);

// Checks and normalises a URL prefix given on the command line (a mount or an
// alias prefix): adds a leading "/" when missing, drops one trailing "/", and
// refuses "/" alone, empty, "." and ".." segments, "%" and characters that
// cannot appear literally in a URL path.
std::optional<std::string> NormaliseUrlPrefix(std::string_view text);

}  // namespace skalo::host
