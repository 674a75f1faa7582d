#include "imaging/checked.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace skalo {
namespace {

TEST(CheckedArithmetic, DetectsOverflowAtTheBoundary) {
  constexpr auto kMax64 = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t out = 0;
  EXPECT_TRUE(CheckedMul<std::uint64_t>(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1, out));
  EXPECT_FALSE(CheckedMul<std::uint64_t>(std::uint64_t{1} << 32, std::uint64_t{1} << 32, out));
  EXPECT_TRUE(CheckedAdd<std::uint64_t>(kMax64 - 1, 1, out));
  EXPECT_EQ(out, kMax64);
  EXPECT_FALSE(CheckedAdd<std::uint64_t>(kMax64, 1, out));

  std::int32_t small = 0;
  EXPECT_TRUE(CheckedMul<std::int32_t>(46340, 46340, small));
  EXPECT_FALSE(CheckedMul<std::int32_t>(46341, 46341, small));
  EXPECT_FALSE(CheckedMul<std::int32_t>(-65536, 32769, small));

  EXPECT_EQ(MulOrThrow(3, 5), 15u);
  EXPECT_THROW(MulOrThrow(kMax64, 2), EOutOfResources);
  EXPECT_THROW(AddOrThrow(kMax64, 1), EOutOfResources);
}

TEST(CheckedArithmetic, RowBytesArePaddedToFourBytes) {
  struct Case {
    std::uint64_t width;
    unsigned bits;
    std::uint64_t want;
  };
  for (const Case c :
       {Case{1, 1, 4}, Case{32, 1, 4}, Case{33, 1, 8}, Case{9, 4, 8}, Case{5, 8, 8}, Case{3, 16, 8},
        Case{3, 24, 12}, Case{5, 24, 16}, Case{5, 32, 20}, Case{0, 24, 0}}) {
    std::uint64_t got = 0;
    ASSERT_TRUE(RowBytes(c.width, c.bits, got));
    EXPECT_EQ(got, c.want) << c.width << " pixels of " << c.bits << " bits";
  }
  std::uint64_t got = 0;
  EXPECT_FALSE(RowBytes(std::numeric_limits<std::uint64_t>::max() / 8, 24, got));
}

TEST(CheckedArithmetic, StoreSizeIsCappedAtOneGibibyte) {
  EXPECT_EQ(PixelStoreBytes(32768, 8192, 32), kMaxPixelStoreBytes);
  try {
    PixelStoreBytes(32768, 8193, 32);
    FAIL() << "a store above the cap was accepted";
  } catch (const EOutOfResources& e) {
    EXPECT_EQ(e.Message(), "Out of system resources");
  }
  // Overflowing computations are refused the same way, not wrapped.
  EXPECT_THROW(PixelStoreBytes(std::uint64_t{1} << 62, 1, 32), EOutOfResources);
  EXPECT_THROW(PixelStoreBytes(1u << 31, 1u << 31, 32), EOutOfResources);
  EXPECT_NO_THROW(CheckAllocation(kMaxPixelStoreBytes));
  EXPECT_THROW(CheckAllocation(kMaxPixelStoreBytes + 1), EOutOfResources);
}

}  // namespace
}  // namespace skalo
