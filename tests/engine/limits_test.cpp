// What one job may cost: pixel limits, file size, and the shared memory budget.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/memory_budget.h"
#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class JobLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("skalo-limits-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    for (const auto& [name, w, h] : {std::tuple{"100.bmp", 100, 100}, {"101.bmp", 101, 100}}) {
      testing::Raster picture = testing::MakeBgr24(w, h, [](int x, int y) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x),
                                           static_cast<std::uint8_t>(y), 7};
      });
      const auto bytes = testing::SaveToBytes(picture);
      std::ofstream(dir_ / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs a job on `name`; answers its error code.
  int Run(const std::string& name, int width, int height, const TJobLimits& limits,
          bool whitespace = false) {
    TSkalo job;
    job.SetWidth(width);
    job.SetHeight(height);
    job.SetWhitespace(whitespace);
    job.SetLimits(limits);
    std::unique_ptr<TGraphic> result;
    job.doResize(result, (dir_ / name).string());
    return job.ErrorCode();
  }

  fs::path dir_;
};

TEST_F(JobLimits, SourceAndOutputPixelsJustUnderAndJustOver) {
  TJobLimits limits;
  limits.max_source_pixels = 10000;
  EXPECT_EQ(Run("100.bmp", 10, -1, limits), 0);
  EXPECT_EQ(Run("101.bmp", 10, -1, limits), 1009);
  limits = TJobLimits();
  limits.max_output_pixels = 400;
  EXPECT_EQ(Run("100.bmp", 20, 20, limits), 0);
  EXPECT_EQ(Run("100.bmp", 21, 20, limits), 1006);
  EXPECT_EQ(Run("100.bmp", 20, -1, limits), 0);  // 20 x 20 from the aspect ratio
  EXPECT_EQ(Run("101.bmp", 21, -1, limits), 1006);
  limits.max_source_bytes = 100;
  EXPECT_EQ(Run("100.bmp", 10, -1, limits), 1009);
}

TEST_F(JobLimits, HugeOutputsAreRefusedAtOnce) {
  const TJobLimits limits;  // no maxwidth, the default output limit
  EXPECT_EQ(Run("100.bmp", 60000, 60000, limits, true), 1006);
  EXPECT_EQ(Run("100.bmp", 60000, -1, limits), 1006);
  EXPECT_EQ(Run("100.bmp", -1, 2000000000, limits), 1006);
}

TEST_F(JobLimits, AJobLargerThanTheWholeBudgetFails) {
  TMemoryBudget budget(64 * 1024);
  TJobLimits limits;
  limits.budget = &budget;
  EXPECT_EQ(Run("100.bmp", 10, -1, limits), 0);
  EXPECT_EQ(Run("100.bmp", 200, -1, limits), 1009);
  EXPECT_EQ(budget.InUse(), 0u);
}

TEST(MemoryBudget, WaitsInArrivalOrderAndGivesUpAfterItsWait) {
  TMemoryBudget budget(100);
  auto first = budget.Reserve(60);
  EXPECT_THROW(budget.Reserve(101), ESourceTooLarge);
  EXPECT_THROW(budget.Reserve(50, 20ms), EServerBusy);

  // A large job waiting first is not overtaken by a small one that would fit.
  std::vector<int> order;
  std::mutex order_lock;
  std::thread large([&] {
    auto r = budget.Reserve(80, 5s);
    std::lock_guard<std::mutex> guard(order_lock);
    order.push_back(80);
  });
  std::this_thread::sleep_for(50ms);
  std::thread small([&] {
    auto r = budget.Reserve(30, 5s);
    std::lock_guard<std::mutex> guard(order_lock);
    order.push_back(30);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(order.empty());
  first.Release();
  large.join();
  small.join();
  EXPECT_EQ(order, (std::vector<int>{80, 30}));
  EXPECT_EQ(budget.InUse(), 0u);
}

// Eight large jobs under a budget that holds one at a time all finish.
TEST_F(JobLimits, ConcurrentJobsUnderASmallBudgetAllFinish) {
  TMemoryBudget budget(150 * 1024);
  TJobLimits limits;
  limits.budget = &budget;
  std::atomic<int> failures{0};
  std::vector<std::thread> jobs;
  for (int i = 0; i < 8; ++i)
    jobs.emplace_back([&] { failures += Run("100.bmp", 90, -1, limits) != 0; });
  for (auto& job : jobs)
    job.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(budget.InUse(), 0u);
}

}  // namespace
}  // namespace skalo
