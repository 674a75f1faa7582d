#include "engine/row_pipe.h"

#include <algorithm>
#include <cstring>

namespace skalo {

TRowPipe::TRowPipe(TRowConsumer& inner) : inner_(inner) {
  for (int i = 0; i < kSlots; ++i)
    free_.push_back(i);
}

TRowPipe::~TRowPipe() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    queued_.clear();  // a producer that stopped early: what is left is dropped
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void TRowPipe::Begin(const TRowLayout& layout) {
  row_bytes_ = (static_cast<std::size_t>(layout.width) *
                    static_cast<std::size_t>(layout.sample.BitsPerPixel()) +
                7) /
               8;
  inner_.Begin(layout);
  worker_ = std::thread([this] { Work(); });
}

void TRowPipe::ThrowIfFailed() {
  if (failure_) std::rethrow_exception(failure_);
}

TRowPipe::Slot& TRowPipe::Acquire(int count, std::size_t bytes) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !free_.empty() || failure_; });
  ThrowIfFailed();
  const int index = free_.back();
  free_.pop_back();
  lock.unlock();
  Slot& slot = slots_[index];
  const std::size_t stride = (bytes + 31) / 32 * 32;
  const auto n = static_cast<std::size_t>(count);
  if (slot.bytes.size() < stride * n || slot.row_bytes != stride) {
    slot.bytes.assign(stride * n, 0);
    slot.row_bytes = stride;
  }
  slot.rows.resize(n);
  for (std::size_t k = 0; k < n; ++k)
    slot.rows[k] = slot.bytes.data() + k * stride;
  slot.count = count;
  lent_ = index;
  return slot;
}

std::uint8_t* const* TRowPipe::LendRows(int count, std::size_t bytes) {
  if (count <= 0) return nullptr;
  return Acquire(count, bytes).rows.data();
}

void TRowPipe::Rows(int first, const std::uint8_t* const* rows, int count) {
  if (count <= 0) return;
  const bool lent = lent_ >= 0 && rows == slots_[lent_].rows.data() && count == slots_[lent_].count;
  if (!lent) {
    if (lent_ >= 0) {  // lent, then not used: give it back
      std::lock_guard lock(mutex_);
      free_.push_back(lent_);
      lent_ = -1;
    }
    // The producer's own rows are gone after the call: copied.
    Slot& slot = Acquire(count, row_bytes_);
    for (int k = 0; k < count; ++k)
      std::memcpy(slot.rows[static_cast<std::size_t>(k)], rows[k], row_bytes_);
  }
  std::lock_guard lock(mutex_);
  ThrowIfFailed();
  slots_[lent_].first = first;
  queued_.push_back(lent_);
  lent_ = -1;
  changed_.notify_all();
}

void TRowPipe::Work() {
  for (;;) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queued_.empty() || stop_; });
    if (queued_.empty()) return;
    const int index = queued_.front();
    queued_.erase(queued_.begin());
    lock.unlock();
    Slot& slot = slots_[index];
    try {
      inner_.Rows(slot.first, slot.rows.data(), slot.count);
    } catch (...) {
      lock.lock();
      failure_ = std::current_exception();
      queued_.clear();
      changed_.notify_all();
      return;
    }
    lock.lock();
    free_.push_back(index);
    changed_.notify_all();
  }
}

void TRowPipe::Finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queued_.empty() || failure_; });
  ThrowIfFailed();
  stop_ = true;
  lock.unlock();
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  lock.lock();
  ThrowIfFailed();
}

}  // namespace skalo
