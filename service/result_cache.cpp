#include "service/result_cache.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "base/errors.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "engine/skalo.h"
#include "service/convert.h"
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

std::int64_t MtimeNs(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

constexpr std::int64_t kSecondNs = 1'000'000'000;
// A hit touches its entry at most this often, so that hits rarely write.
constexpr std::int64_t kTouchAfterNs = 60 * kSecondNs;
// Temporary files of stores that never finished go after this age.
constexpr std::int64_t kTempMaxAgeNs = 3600 * kSecondNs;
// A folder is rescanned this often even when this process's own stores do not
// reach the limit (other processes write into it too), and no sooner than
// kRetryNs after a sweep that could not get under the limit.
constexpr std::int64_t kRescanNs = 60 * kSecondNs;
constexpr std::int64_t kRetryNs = 10 * kSecondNs;
constexpr std::size_t kMaxSweepFiles = 20000;

// An entry named by a digest: 32 lower-case hexadecimal digits first.
bool DigestName(const std::string& name) {
  if (name.size() < 32) return false;
  return std::all_of(name.begin(), name.begin() + 32,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The private file of a store: ".tmp<pid>-<count>" at the name's end.
bool TempName(const std::string& name) {
  const std::size_t at = name.rfind(".tmp");
  if (at == std::string::npos) return false;
  const std::string_view rest = std::string_view(name).substr(at + 4);
  const std::size_t dash = rest.find('-');
  const auto digits = [](std::string_view t) {
    return !t.empty() &&
           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return dash != std::string_view::npos && digits(rest.substr(0, dash)) &&
         digits(rest.substr(dash + 1));
}

// What this process knows of each cache folder it stores into.
struct FolderState {
  std::uint64_t estimate = 0;  // bytes, from the last sweep plus later stores
  bool scanned = false;
  bool busy = false;
  std::int64_t rescan_at = 0;
  std::int64_t retry_at = 0;
};

std::mutex& FoldersLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, FolderState>& Folders() {
  static std::map<std::string, FolderState> folders;
  return folders;
}

// Sweeps `folder` after a store of `bytes` when it is due: first store, the
// estimate over the limit, or the rescan period over. One sweep per folder at
// a time; the storing thread does it.
void AfterStore(const std::string& folder, std::uint64_t bytes, std::uint64_t limit) {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  {
    std::lock_guard<std::mutex> guard(FoldersLock());
    FolderState& state = Folders()[folder];
    state.estimate += bytes;
    const bool due = !state.scanned || now >= state.rescan_at ||
                     (state.estimate > limit && now >= state.retry_at);
    if (!due || state.busy) return;
    state.busy = true;
  }
  std::uint64_t remaining = 0;
  try {
    remaining = TResultCache::Sweep(folder, limit, kMaxSweepFiles);
  } catch (...) {
    remaining = limit + 1;  // try again later
  }
  std::lock_guard<std::mutex> guard(FoldersLock());
  FolderState& state = Folders()[folder];
  state.busy = false;
  state.scanned = true;
  state.estimate = remaining;
  state.rescan_at = now + kRescanNs;
  state.retry_at = remaining > limit ? now + kRetryNs : now;
}

// Lock files of computations in progress: "<entry>.lock".
constexpr std::string_view kLockSuffix = ".lock";

// The cache folder's subfolder of an entry when subfolders are on: one level
// below the configured folder, which itself is never created.
void MakeEntryFolder(const std::string& entry) {
  const std::string folder = entry.substr(0, entry.find_last_of('/'));
  if (!DirectoryExists(folder)) ::mkdir(folder.c_str(), 0755);  // a failure shows later
}

// A name of this process for a file beside `path` that only it writes:
// "<path>.tmp<pid>-<count>", which sweeps recognise.
std::string PrivateName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// What a lock file holds: "<host name> <process id>\n" of its owner.
std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}
std::string LockOwner() {
  return HostName() + " " + std::to_string(::getpid()) + "\n";
}

// A lock is abandoned when it is older than kStaleLock, or at once when its
// owner was a process of this machine that no longer runs (a crash).
bool Abandoned(const std::string& path, const struct stat& st) {
  if (NowNs() - MtimeNs(st) >
      std::chrono::duration_cast<std::chrono::nanoseconds>(TResultCache::kStaleLock).count())
    return true;
  char text[300];
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  const ssize_t n = fd ? ::read(fd.get(), text, sizeof text - 1) : -1;
  if (n <= 0) return false;
  const std::string_view owner(text, static_cast<std::size_t>(n));
  const std::size_t space = owner.rfind(' ');
  if (space == std::string_view::npos || owner.substr(0, space) != HostName()) return false;
  const std::string_view id = owner.substr(space + 1);
  const std::int32_t pid = StrToIntDef(id.substr(0, id.find('\n')), 0);
  return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Removes the abandoned lock at `lock`. It is moved aside first and looked at
// there, so that a waiter which lost a race to another never removes the
// fresh lock that other one has created meanwhile: that one goes back.
void TakeOverLock(const std::string& lock) {
  const std::string aside = PrivateName(lock);
  if (::rename(lock.c_str(), aside.c_str()) != 0) return;
  struct stat st {};
  if (::lstat(aside.c_str(), &st) == 0 && !Abandoned(aside, st))
    ::link(aside.c_str(), lock.c_str());
  ::unlink(aside.c_str());
}

}  // namespace

// The computations of this process in progress, by entry path.
struct TResultCache::TClaim::Flight {
  bool done = false;
  std::condition_variable ended;
};

namespace {

std::mutex& FlightsLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, std::shared_ptr<TResultCache::TClaim::Flight>>& Flights() {
  static std::map<std::string, std::shared_ptr<TResultCache::TClaim::Flight>> flights;
  return flights;
}

}  // namespace

TResultCache::TClaim& TResultCache::TClaim::operator=(TClaim&& other) noexcept {
  if (this != &other) {
    Release();
    flight_ = std::move(other.flight_);
    entry_ = std::move(other.entry_);
    lock_path_ = std::exchange(other.lock_path_, {});
    lock_dev_ = other.lock_dev_;
    lock_ino_ = other.lock_ino_;
  }
  return *this;
}

TResultCache::TClaim::~TClaim() {
  Release();
}

void TResultCache::TClaim::Release() noexcept {
  if (!lock_path_.empty()) {
    // Only this claim's own lock: after a takeover the name may be another's.
    struct stat st {};
    if (::lstat(lock_path_.c_str(), &st) == 0 && st.st_dev == lock_dev_ && st.st_ino == lock_ino_)
      ::unlink(lock_path_.c_str());
    lock_path_.clear();
  }
  if (!flight_) return;
  {
    std::lock_guard<std::mutex> guard(FlightsLock());
    flight_->done = true;
    Flights().erase(entry_);
  }
  flight_->ended.notify_all();
  flight_.reset();
}

std::optional<TFileStamp> TFileStamp::Of(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return TFileStamp{static_cast<std::uint64_t>(st.st_size), MtimeNs(st)};
}

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

TContentFile TResultCache::OpenFresh(const std::string& path,
                                     const std::optional<TFileStamp>& source) const {
  if (!usable_ || !source) return {};
  TContentFile file = TContentFile::Open(path);
  if (!file) return {};
  struct stat st {};
  if (::fstat(file.Fd(), &st) != 0 || MtimeNs(st) < source->mtime_ns) return {};
  // Failing to touch (another owner) only makes the entry look older.
  if (settings_.MaxCacheMB > 0 && NowNs() - MtimeNs(st) > kTouchAfterNs)
    ::futimens(file.Fd(), nullptr);
  return file;
}

std::optional<TResultCache::ImageHit> TResultCache::FindImage(
    const std::string& field_list_text, const std::string& ext,
    const std::optional<TFileStamp>& source) const {
  ImageHit hit;
  hit.file = OpenFresh(FileName(field_list_text, ext), source);
  if (!hit.file) return std::nullopt;
  std::uint8_t signature[kSignatureBytes];
  const std::size_t n = hit.file.ReadAt(
      0, signature,
      static_cast<std::size_t>(std::min<std::uint64_t>(sizeof signature, hit.file.Size())));
  hit.content_type = EncodedImageMime(std::span(signature, n));
  return hit;
}

std::optional<std::string> TResultCache::FindXml(const std::string& field_list_text,
                                                 const std::optional<TFileStamp>& source) const {
  // Read through the open file: a sweep may take the name away meanwhile.
  const TContentFile file = OpenFresh(FileName(field_list_text, ".xml"), source);
  if (!file || file.Size() > kMaxReadFileBytes) return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.Size()));
  bytes.resize(file.ReadAt(0, bytes.data(), bytes.size()));
  return JoinLines(bytes);
}

TResultCache::TClaim TResultCache::Claim(const std::string& field_list_text, const std::string& ext,
                                         const std::optional<TFileStamp>& source) const {
  TClaim claim;
  if (!usable_) return claim;
  const std::string entry = FileName(field_list_text, ext);
  // Within this process: the first request of an entry leads, the others
  // wait for it to end (a little longer than a lock may keep it waiting).
  {
    std::unique_lock<std::mutex> guard(FlightsLock());
    auto& flight = Flights()[entry];
    if (flight) {
      const std::shared_ptr<TClaim::Flight> leader = flight;
      leader->ended.wait_for(guard, kStaleLock + std::chrono::seconds(5),
                             [&] { return leader->done; });
      return claim;
    }
    flight = std::make_shared<TClaim::Flight>();
    claim.flight_ = flight;
    claim.entry_ = entry;
  }
  // Across processes: the lock file. Whoever creates it computes; the others
  // poll for the entry, and take the lock over when it has gone stale.
  const std::string lock = entry + std::string(kLockSuffix);
  // However the lock's time reads (another machine's clock may be ahead),
  // the wait ends a little after a lock would go stale: then compute alone.
  const auto give_up = std::chrono::steady_clock::now() + kStaleLock + std::chrono::seconds(5);
  auto pause = std::chrono::milliseconds(2);
  for (bool folder_made = false; std::chrono::steady_clock::now() < give_up;) {
    if (const UniqueFd fd(::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        fd) {
      struct stat st {};
      if (::fstat(fd.get(), &st) == 0) {
        const std::string owner = LockOwner();
        [[maybe_unused]] const auto written = ::write(fd.get(), owner.data(), owner.size());
        claim.lock_path_ = lock;
        claim.lock_dev_ = st.st_dev;
        claim.lock_ino_ = st.st_ino;
      }
      // The entry may have been stored since the caller looked, by the
      // computation that held the lock or the flight just before.
      if (OpenFresh(entry, source)) claim.Release();
      return claim;
    }
    if (errno == ENOENT && settings_.UseCacheSubfolders && !folder_made) {
      MakeEntryFolder(entry);
      folder_made = true;
      continue;
    }
    // Without a lock file to share (an unwritable folder), compute alone.
    if (errno != EEXIST) return claim;
    if (OpenFresh(entry, source)) {
      claim.Release();  // the entry is there: this process's waiters read it too
      return claim;
    }
    struct stat st {};
    if (::lstat(lock.c_str(), &st) != 0) continue;  // just released: try again
    if (Abandoned(lock, st)) {
      TakeOverLock(lock);
      continue;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return claim;
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
  if (settings_.UseCacheSubfolders) MakeEntryFolder(path);
  const std::string temp = PrivateName(path);
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
  if (settings_.MaxCacheMB > 0)
    AfterStore(Folder(settings_.SkaloCachePath), bytes.size(), settings_.MaxCacheMB << 20);
}

std::uint64_t TResultCache::Sweep(const std::string& folder, std::uint64_t limit_bytes,
                                  std::size_t max_files) {
  namespace fs = std::filesystem;
  struct Entry {
    std::int64_t mtime_ns;
    std::uint64_t size;
    std::string path;
  };
  std::vector<Entry> entries;
  std::uint64_t total = 0;
  const std::int64_t now = NowNs();
  std::size_t seen = 0;
  std::error_code ec;
  // The folder and its subfolders one level down; nothing else is looked at.
  const auto visit = [&](const fs::path& dir, bool top, auto& self) -> void {
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end && seen < max_files;
         it.increment(ec)) {
      ++seen;
      const std::string name = it->path().filename().string();
      struct stat st {};
      if (::lstat(it->path().c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        if (top && name.size() == 2) self(it->path(), false, self);
        continue;
      }
      if (!S_ISREG(st.st_mode) || !DigestName(name)) continue;
      const std::int64_t mtime = MtimeNs(st);
      if (TempName(name) || name.ends_with(kLockSuffix)) {
        if (now - mtime > kTempMaxAgeNs) ::unlink(it->path().c_str());
        continue;
      }
      total += static_cast<std::uint64_t>(st.st_size);
      entries.push_back({mtime, static_cast<std::uint64_t>(st.st_size), it->path().string()});
    }
    ec.clear();
  };
  visit(fs::path(folder), true, visit);
  if (total <= limit_bytes) return total;
  const std::uint64_t target = limit_bytes / 10 * 9;
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.mtime_ns < b.mtime_ns; });
  for (const Entry& e : entries) {
    if (total <= target) break;
    if (::unlink(e.path.c_str()) == 0 || errno == ENOENT) total -= e.size;
  }
  return total;
}

}  // namespace skalo
