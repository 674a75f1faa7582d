// Names of result cache files: the MD5 digest of the request's field list.
#include <sys/stat.h>

#include "service/md5.h"
#include "service/web.h"
#include "service/webmodule.h"

namespace skalo {

std::string TWebModule1::CacheFileName(const std::string& key) const {
  std::string text = LowerCaseAscii(key);
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
