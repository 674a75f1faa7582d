// Hands rows from the thread that decodes them to a worker thread that
// consumes them, so that a decoder and the resampler's horizontal pass run at
// the same time on two cores. Worth it only when the other cores are idle.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "imaging/rows.h"

namespace skalo {

class TRowPipe final : public TRowConsumer {
 public:
  // `inner` gets Begin on the producer's thread, then every batch, in order,
  // on the worker.
  explicit TRowPipe(TRowConsumer& inner);
  // Stops the worker (after what it has) and waits for it.
  ~TRowPipe() override;
  TRowPipe(const TRowPipe&) = delete;
  TRowPipe& operator=(const TRowPipe&) = delete;

  void Begin(const TRowLayout& layout) override;
  // A free batch buffer (waits for one while all are queued).
  std::uint8_t* const* LendRows(int count, std::size_t bytes) override;
  // Queues the batch: a lent buffer as it is, other rows copied into one.
  void Rows(int first, const std::uint8_t* const* rows, int count) override;
  // Waits until the worker has consumed every batch; rethrows its failure.
  void Finish();

 private:
  struct Slot {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t*> rows;
    std::size_t row_bytes = 0;
    int first = 0;
    int count = 0;
  };
  static constexpr int kSlots = 4;

  Slot& Acquire(int count, std::size_t bytes);  // a free slot, sized
  void Work();
  void ThrowIfFailed();  // with the lock held

  TRowConsumer& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Slot slots_[kSlots];
  std::vector<int> free_, queued_;
  int lent_ = -1;
  std::size_t row_bytes_ = 0;
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
};

}  // namespace skalo
