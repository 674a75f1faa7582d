// The service's settings: one immutable snapshot per process, read from
// SkaloSettings.xml and shared by every module instance. A reload builds a new
// snapshot and swaps it in at once; a request keeps the snapshot it started with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/files.h"
#include "imaging/limits.h"

namespace skalo {

struct TSkaloSettings {
  bool SkaloCacheEnabled = false;
  bool UseCacheSubfolders = true;
  std::int32_t MaxWidth = -1;
  std::int32_t MaxHeight = -1;
  std::string SkaloCachePath;  // already resolved to a file-system path
  std::string DefaultImage;    // already resolved to a file-system path
  // Resource limits of one job and of all jobs together.
  std::uint64_t MaxSourcePixels = kDefaultMaxSourcePixels;
  std::uint64_t MaxOutputPixels = 50'000'000;
  std::uint64_t MaxSourceBytes = kMaxReadFileBytes;
  std::uint64_t MemoryBudgetMB = 1024;
  // Turn sources upright by their EXIF orientation before anything else.
  bool AutoOrient = false;
  // PNG and GIF results of see-through sources stay see-through.
  bool KeepTransparency = false;
  // Cache-Control of image answers; empty: no such header.
  std::string CacheControl;
  // The cache folder's size limit in MiB; 0: no limit.
  std::uint64_t MaxCacheMB = 0;
  // The key of signed URLs; empty: requests need no signature.
  std::string SigningKey;
};

// Turns a settings path value into a file-system path ("" when it has none).
using TPathResolver = std::function<std::string(const std::string&)>;

// Parses the settings document: defaults first, then the root element's
// children in order. Throws "Parser error." for bad XML and the boolean
// message for a bad boolean; integer keys that do not convert keep -1 (sizes)
// or their default (limits).
TSkaloSettings ParseSettings(const std::string& xml, const TPathResolver& resolve);

class TSettingsStore {
 public:
  // `directory` holds SkaloSettings.xml (with a trailing "/"); empty: the
  // module file's folder.
  explicit TSettingsStore(std::string directory = std::string());

  // The current snapshot; null until a load has succeeded.
  std::shared_ptr<const TSkaloSettings> Current() const;
  // Reads the file and makes it the current snapshot. On failure the
  // previous snapshot stays and the failure passes to the caller
  // ("Cannot open file ...", "Parser error.", the boolean message).
  std::shared_ptr<const TSkaloSettings> Load(const TPathResolver& resolve);

  std::string Directory() const;
  void SetDirectory(std::string directory);

 private:
  mutable std::mutex lock_;
  std::string directory_;
  std::shared_ptr<const TSkaloSettings> current_;
};

}  // namespace skalo
