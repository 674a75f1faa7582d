// The result cache: files named by the MD5 digest of a request's field list,
// under the configured folder (flat, or in subfolders named by the digest's
// first and last digit). It owns the key text, the file names, lookup, the
// atomic store and the content type of a hit. An unusable cache (switched
// off, or no folder) does nothing at all: no lookup, no folder, no file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/settings.h"
#include "service/web.h"

namespace skalo {

// Size and modification time of a regular file.
struct TFileStamp {
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // since the epoch
  // nullopt when no regular file is at `path`.
  static std::optional<TFileStamp> Of(const std::string& path);
};

class TResultCache {
 public:
  // How long a lock file keeps others waiting: a lock older than this was
  // left by a computation that died (or outlived it) and is taken over; so is
  // at once a lock whose owner, a process of this machine, no longer runs.
  static constexpr std::chrono::seconds kStaleLock{60};

  // The right to compute one entry. While an owner holds it, identical
  // requests of this process, and of every process sharing the folder (by the
  // lock file "<entry>.lock", created exclusively), wait for its entry instead
  // of computing it again. Released (lock file removed, waiters woken) when
  // destroyed, so an owner stores the entry first.
  class TClaim {
   public:
    TClaim() = default;
    TClaim(TClaim&&) noexcept = default;
    TClaim& operator=(TClaim&& other) noexcept;
    TClaim(const TClaim&) = delete;
    TClaim& operator=(const TClaim&) = delete;
    ~TClaim();

    bool Owner() const { return flight_ != nullptr; }

    struct Flight;  // one computation of this process in progress

   private:
    friend class TResultCache;
    void Release() noexcept;

    std::shared_ptr<Flight> flight_;
    std::string entry_;      // the entry's path, the flight's key
    std::string lock_path_;  // "" when no lock file is held
    std::uint64_t lock_dev_ = 0, lock_ino_ = 0;
  };

  explicit TResultCache(const TSkaloSettings& settings);

  // Switched on, with a folder to write into.
  bool Usable() const { return usable_; }

  // The text whose digest names an entry: the field list text lower-cased
  // (except the first Image value, since file names differ by letter case),
  // without a whole "forcenewcache=true" entry, "&" trimmed from both ends.
  static std::string KeyText(const std::string& field_list_text);
  // The entry's path for a field list text and an extension; pure: nothing is
  // created. Answers a path even when the cache is not usable (for reports).
  std::string FileName(const std::string& field_list_text, const std::string& ext) const;

  // Lookups take the stamp of the entry's source: an entry older than its
  // source is a miss (the store that follows replaces it), and so is every
  // entry when the source is gone (nullopt).
  //
  // An image entry: the entry's file, opened once, and the content type of
  // its bytes (from their own signature, the same type a fresh answer
  // carries). The open file keeps answering the bytes it held when found, even
  // when a store replaces the entry meanwhile. nullopt on a miss or when the
  // cache is not usable; EFOpenError when the entry is there but unreadable.
  struct ImageHit {
    TContentFile file;
    std::string content_type;
  };
  std::optional<ImageHit> FindImage(const std::string& field_list_text, const std::string& ext,
                                    const std::optional<TFileStamp>& source) const;
  // An XML entry, its lines each ended by CR LF; nullopt on a miss.
  std::optional<std::string> FindXml(const std::string& field_list_text,
                                     const std::optional<TFileStamp>& source) const;

  // Claims the computation of an entry (the arguments as for FindImage, ext
  // ".xml" for an XML entry). Answers an owning claim when the caller is to
  // compute and store the entry, after waiting while another thread or
  // process computed it; answers an empty claim when that other computation
  // ended (look the entry up again: when it is still missing, it failed, and
  // the caller computes without a claim), or the cache is not usable. Waits
  // at most about kStaleLock.
  TClaim Claim(const std::string& field_list_text, const std::string& ext,
               const std::optional<TFileStamp>& source) const;

  // Writes an entry whole: to a private file in the same folder, renamed into
  // place, so that readers never see part of it. Creates the subfolder when
  // needed. Does nothing when the cache is not usable. Failures raise
  // EFCreateError "Cannot create file ...". With a size limit set, a store
  // may then sweep the folder (see Sweep).
  void StoreImage(const std::string& field_list_text, const std::string& ext,
                  std::span<const std::uint8_t> bytes) const;
  void StoreXml(const std::string& field_list_text, const std::string& document) const;

  // Deletes the least recently used entries (by modification time; a hit
  // touches its entry when a limit is set) until the folder holds at most
  // 90 % of `limit_bytes`, and temporary and lock files older than an hour. Looks at
  // no more than `max_files` files. Answers the bytes that remain.
  static std::uint64_t Sweep(const std::string& folder, std::uint64_t limit_bytes,
                             std::size_t max_files);

 private:
  // The entry's file when it is there and not older than its source.
  TContentFile OpenFresh(const std::string& path, const std::optional<TFileStamp>& source) const;
  void Store(const std::string& path, std::span<const std::uint8_t> bytes) const;

  const TSkaloSettings& settings_;
  bool usable_;
};

}  // namespace skalo
