// The small pieces the carvers and the timeline's threads stand on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "base/hash_set.h"
#include "base/lanes.h"

namespace velmora {
namespace {

TEST(HashSet64Test, InsertsOnceAndFindsThroughGrowth) {
  HashSet64 set;
  EXPECT_FALSE(set.Contains(0));
  EXPECT_TRUE(set.Insert(0));  // the table's own empty mark is a value too
  EXPECT_FALSE(set.Insert(0));
  for (uint64_t v = 1; v <= 5000; ++v) ASSERT_TRUE(set.Insert(v * 0x10000));  // low bits alike
  for (uint64_t v = 1; v <= 5000; ++v) ASSERT_FALSE(set.Insert(v * 0x10000));
  EXPECT_EQ(set.size(), 5001u);
  EXPECT_TRUE(set.Contains(0) && set.Contains(5000 * 0x10000));
  EXPECT_FALSE(set.Contains(0x10001));
}

TEST(LeBytesTest, NextAligned32FindsOnlyWholeValuesOnTheStep) {
  // 0x30 0 0 0 (a $FILE_NAME type) at 3 (off the step), 16, and 28 (cut by end 30).
  std::vector<uint8_t> bytes(32, 0);
  for (size_t at : {3u, 16u, 28u}) bytes[at] = 0x30;
  const LeBytes view(bytes);
  struct Case {
    uint64_t from, end, step, expect;
  } cases[] = {
      {0, 32, 8, 16},   // 3 is not on the step
      {3, 32, 8, 3},    // the step counts from `from`
      {17, 32, 8, 32},  // none on 17, 25
      {20, 32, 4, 28},
      {20, 30, 4, 30},  // the value would run past end
      {0, 99, 4, 16},   // end past the bytes is the bytes' end
      {0, 32, 0, 32},
  };
  for (const Case& c : cases)
    EXPECT_EQ(view.NextAligned32(c.from, c.end, c.step, 0x30), c.expect) << c.from << " " << c.end << " " << c.step;
  bytes[17] = 1;  // 16 now holds 0x130: the first byte alone does not match
  EXPECT_EQ(LeBytes(bytes).NextAligned32(0, 32, 8, 0x30), 32u);
}

TEST(LanesTest, EveryChunkOnceAndHandedOnInOrder) {
  for (uint64_t count : {0u, 1u, 7u, 64u, 65u}) {
    std::vector<std::atomic<int>> seen(count);
    std::vector<uint64_t> lane_first(kLanes), order;
    RunInLanes(
        count, 8,
        [&](uint64_t begin, uint64_t end, unsigned lane) {
          lane_first[lane] = begin;
          for (uint64_t i = begin; i < end; ++i) ++seen[i];
        },
        [&](unsigned lane) { order.push_back(lane_first[lane]); });
    for (uint64_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], 1) << count << " " << i;
    ASSERT_EQ(order.size(), (count + 7) / 8);
    for (size_t k = 0; k < order.size(); ++k) EXPECT_EQ(order[k], k * 8);
  }
}

}  // namespace
}  // namespace velmora
