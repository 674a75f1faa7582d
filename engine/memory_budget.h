// A process-wide budget for the pixel memory of running jobs. A job reserves
// its estimate before it decodes and gives it back when it ends; a job that
// does not fit waits, in arrival order, until enough is given back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "base/errors.h"

namespace skalo {

// Failures of a reservation: a wait that timed out answers 503 with a
// Retry-After header.
class EServerBusy : public EHttpError {
 public:
  EServerBusy() : EHttpError(503, "Server busy, please try again later", 5) {}
  const char* ClassName() const noexcept override { return "EServerBusy"; }
};

class TMemoryBudget {
 public:
  // The default wait before a job gives up.
  static constexpr std::chrono::seconds kDefaultWait{30};

  explicit TMemoryBudget(std::uint64_t capacity_bytes) : capacity_(capacity_bytes) {}
  TMemoryBudget(const TMemoryBudget&) = delete;
  TMemoryBudget& operator=(const TMemoryBudget&) = delete;

  // The budget every job of the process shares.
  static TMemoryBudget& Process();

  // Changes the capacity; waiting jobs are looked at again.
  void SetCapacity(std::uint64_t bytes);
  std::uint64_t Capacity() const;
  std::uint64_t InUse() const;
  // Jobs that asked and do not hold their bytes yet.
  std::uint64_t Waiting() const;

  // Bytes held until destroyed (or Release).
  class TReservation {
   public:
    TReservation() = default;
    TReservation(TReservation&& other) noexcept { *this = std::move(other); }
    TReservation& operator=(TReservation&& other) noexcept;
    ~TReservation() { Release(); }
    void Release() noexcept;
    std::uint64_t Bytes() const { return bytes_; }

   private:
    friend class TMemoryBudget;
    TMemoryBudget* budget_ = nullptr;
    std::uint64_t bytes_ = 0;
  };

  // Waits in arrival order, at most `wait`, until `bytes` fit. Throws
  // ESourceTooLarge when `bytes` exceed the whole capacity and EServerBusy
  // when the wait ends first.
  TReservation Reserve(std::uint64_t bytes, std::chrono::milliseconds wait = kDefaultWait);

 private:
  void Give(std::uint64_t bytes) noexcept;
  // Moves the turn past tickets whose holders gave up waiting.
  void AdvanceServing();

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::uint64_t capacity_;
  std::uint64_t in_use_ = 0;
  std::uint64_t next_ticket_ = 0;  // handed to the next arrival
  std::uint64_t serving_ = 0;      // the ticket whose turn it is
  std::set<std::uint64_t> abandoned_;
};

}  // namespace skalo
