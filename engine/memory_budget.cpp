#include "engine/memory_budget.h"

#include "imaging/limits.h"

namespace skalo {

TMemoryBudget& TMemoryBudget::Process() {
  static TMemoryBudget budget(std::uint64_t{1024} << 20);
  return budget;
}

void TMemoryBudget::SetCapacity(std::uint64_t bytes) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (capacity_ == bytes) return;
    capacity_ = bytes;
  }
  changed_.notify_all();
}

std::uint64_t TMemoryBudget::Capacity() const {
  std::lock_guard<std::mutex> guard(lock_);
  return capacity_;
}

std::uint64_t TMemoryBudget::Waiting() const {
  std::lock_guard<std::mutex> guard(lock_);
  return next_ticket_ - serving_ - abandoned_.size();
}

std::uint64_t TMemoryBudget::InUse() const {
  std::lock_guard<std::mutex> guard(lock_);
  return in_use_;
}

TMemoryBudget::TReservation TMemoryBudget::Reserve(std::uint64_t bytes,
                                                   std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(lock_);
  if (bytes > capacity_) throw ESourceTooLarge(kSourceTooLargeText);
  const std::uint64_t ticket = next_ticket_++;
  const auto fits = [&] {
    return ticket == serving_ && (bytes <= capacity_ - std::min(capacity_, in_use_));
  };
  const bool got = changed_.wait_for(guard, wait, [&] { return fits() || bytes > capacity_; });
  if (!got || bytes > capacity_) {
    // Leave the queue: a later arrival behind this one may go on. Tickets are
    // served in order, so one that gives up while not first is skipped when
    // its turn comes.
    abandoned_.insert(ticket);
    AdvanceServing();
    guard.unlock();
    changed_.notify_all();
    if (got) throw ESourceTooLarge(kSourceTooLargeText);
    throw EServerBusy();
  }
  in_use_ += bytes;
  ++serving_;
  AdvanceServing();
  guard.unlock();
  changed_.notify_all();
  TReservation reservation;
  reservation.budget_ = this;
  reservation.bytes_ = bytes;
  return reservation;
}

void TMemoryBudget::AdvanceServing() {
  while (abandoned_.erase(serving_) != 0)
    ++serving_;
}

void TMemoryBudget::Give(std::uint64_t bytes) noexcept {
  {
    std::lock_guard<std::mutex> guard(lock_);
    in_use_ -= std::min(in_use_, bytes);
  }
  changed_.notify_all();
}

TMemoryBudget::TReservation& TMemoryBudget::TReservation::operator=(TReservation&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = other.budget_;
    bytes_ = other.bytes_;
    other.budget_ = nullptr;
    other.bytes_ = 0;
  }
  return *this;
}

void TMemoryBudget::TReservation::Release() noexcept {
  if (budget_) budget_->Give(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

}  // namespace skalo
