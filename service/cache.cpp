// Names of result cache files: the MD5 digest of the request's field list.
#include <sys/stat.h>

#include "service/md5.h"
#include "service/web.h"
#include "service/webmodule.h"

namespace skalo {

namespace {

// Lower-cases the key text except the value of its first Image entry: file
// names differ by letter case here, so /A.JPG and /a.jpg need their own entries.
std::string NormaliseKey(const std::string& key) {
  std::string text;
  text.reserve(key.size());
  bool image_seen = false;
  std::size_t pos = 0;
  while (pos < key.size()) {
    std::size_t end = key.find("\r\n", pos);
    end = end == std::string::npos ? key.size() : end + 2;
    const std::string_view line(key.data() + pos, end - pos);
    const std::size_t eq = line.find('=');
    if (!image_seen && eq != std::string_view::npos && SameText(line.substr(0, eq), "image")) {
      image_seen = true;
      text += LowerCaseAscii(line.substr(0, eq));
      text += line.substr(eq);
    } else {
      text += LowerCaseAscii(line);
    }
    pos = end;
  }
  return text;
}

}  // namespace

std::string TWebModule1::CacheFileName(const std::string& key) const {
  std::string text = NormaliseKey(key);
  // A forced request shares its entry with the same request unforced.
  static constexpr std::string_view kForce = "forcenewcache=true";
  if (const std::size_t at = text.find(kForce); at != std::string::npos) {
    std::size_t len = kForce.size();
    if (text.compare(at + len, 2, "\r\n") == 0) len += 2;
    text.erase(at, len);
  }
  while (!text.empty() && text.back() == '&')
    text.pop_back();
  const std::size_t lead = text.find_first_not_of('&');
  text.erase(0, lead == std::string::npos ? text.size() : lead);

  const std::string digest = MD5Hex(text);
  std::string folder = SkaloCachePath;
  if (folder.empty() || folder.back() != '/') folder += '/';
  if (!UseCacheSubfolders) return folder + digest;

  // One level of subfolders, named by the first and the last digit.
  folder += digest.front();
  folder += digest.back();
  if (!DirectoryExists(folder)) ::mkdir(folder.c_str(), 0755);  // a failure shows at the write
  return folder + "/" + digest;
}

}  // namespace skalo
