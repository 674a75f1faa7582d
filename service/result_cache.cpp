#include "service/result_cache.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "base/errors.h"
#include "base/text.h"
#include "engine/skalo.h"
#include "service/md5.h"

namespace skalo {

namespace {

constexpr std::string_view kForceEntry = "forcenewcache=true";
// The longest signature EncodedImageMime tells apart (PNG's).
constexpr std::size_t kSignatureBytes = 8;

// The folder of the cache with exactly one trailing "/".
std::string Folder(const std::string& path) {
  return !path.empty() && path.back() == '/' ? path : path + "/";
}

// A cached XML document, its lines (ended by CR, LF or CR LF) each followed by CR LF.
std::string JoinLines(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  text.reserve(bytes.size() + 2);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t c = bytes[i++];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i < bytes.size() && bytes[i] == '\n') ++i;
      text += "\r\n";
    } else {
      text += static_cast<char>(c);
    }
  }
  if (!bytes.empty() && bytes.back() != '\r' && bytes.back() != '\n') text += "\r\n";
  return text;
}

}  // namespace

TResultCache::TResultCache(const TSkaloSettings& settings)
    : settings_(settings),
      usable_(settings.SkaloCacheEnabled && !settings.SkaloCachePath.empty()) {}

std::string TResultCache::KeyText(const std::string& key) {
  std::string text;
  text.reserve(key.size());
  bool image_seen = false, force_dropped = false;
  std::size_t pos = 0;
  while (pos < key.size()) {
    std::size_t end = key.find("\r\n", pos);
    end = end == std::string::npos ? key.size() : end + 2;
    const std::string_view line(key.data() + pos, end - pos);
    pos = end;
    const std::string_view entry = line.ends_with("\r\n") ? line.substr(0, line.size() - 2) : line;
    // A forced request shares its entry with the same request unforced.
    if (!force_dropped && SameText(entry, kForceEntry)) {
      force_dropped = true;
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!image_seen && eq != std::string_view::npos && SameText(line.substr(0, eq), "image")) {
      image_seen = true;
      text += LowerCaseAscii(line.substr(0, eq));
      text += line.substr(eq);
    } else {
      text += LowerCaseAscii(line);
    }
  }
  while (!text.empty() && text.back() == '&')
    text.pop_back();
  const std::size_t lead = text.find_first_not_of('&');
  text.erase(0, lead == std::string::npos ? text.size() : lead);
  return text;
}

std::string TResultCache::FileName(const std::string& field_list_text,
                                   const std::string& ext) const {
  const std::string digest = MD5Hex(KeyText(field_list_text));
  std::string path = Folder(settings_.SkaloCachePath);
  if (settings_.UseCacheSubfolders) {
    path += digest.front();
    path += digest.back();
    path += '/';
  }
  return path + digest + ext;
}

std::optional<TResultCache::ImageHit> TResultCache::FindImage(const std::string& field_list_text,
                                                              const std::string& ext) const {
  if (!usable_) return std::nullopt;
  ImageHit hit;
  hit.file = TContentFile::Open(FileName(field_list_text, ext));
  if (!hit.file) return std::nullopt;
  std::uint8_t signature[kSignatureBytes];
  const std::size_t n = hit.file.ReadAt(
      0, signature,
      static_cast<std::size_t>(std::min<std::uint64_t>(sizeof signature, hit.file.Size())));
  hit.content_type = EncodedImageMime(std::span(signature, n));
  return hit;
}

std::optional<std::string> TResultCache::FindXml(const std::string& field_list_text) const {
  if (!usable_) return std::nullopt;
  const std::string path = FileName(field_list_text, ".xml");
  if (!FileExists(path)) return std::nullopt;
  return JoinLines(ReadWholeFile(path));
}

void TResultCache::StoreImage(const std::string& field_list_text, const std::string& ext,
                              std::span<const std::uint8_t> bytes) const {
  if (usable_) Store(FileName(field_list_text, ext), bytes);
}

void TResultCache::StoreXml(const std::string& field_list_text, const std::string& document) const {
  if (!usable_) return;
  const std::string stored = document + "\r\n";
  Store(FileName(field_list_text, ".xml"),
        std::span(reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size()));
}

void TResultCache::Store(const std::string& path, std::span<const std::uint8_t> bytes) const {
  if (settings_.UseCacheSubfolders) {
    // One level below the configured folder, which itself is never created.
    const std::string folder = path.substr(0, path.find_last_of('/'));
    if (!DirectoryExists(folder)) ::mkdir(folder.c_str(), 0755);  // a failure shows below
  }
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  try {
    WriteWholeFile(temp, bytes, path);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw EFCreateError("Cannot create file \"" + path + "\". " + SysErrorMessage(err));
  }
}

}  // namespace skalo
