// Mapping pairs decoding and reading a value's bytes through its runs.
#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <type_traits>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"

namespace velmora {
namespace {

// Cluster numbers of a value and of the volume never stand in for each
// other, nor come from a bare integer without being named.
static_assert(!std::is_convertible_v<Vcn, Lcn> && !std::is_convertible_v<Lcn, Vcn>);
static_assert(!std::is_convertible_v<uint64_t, Vcn> && !std::is_convertible_v<uint64_t, Lcn>);
static_assert(!std::is_convertible_v<Vcn, uint64_t> && !std::is_convertible_v<Lcn, uint64_t>);
static_assert(!std::is_constructible_v<Vcn, Lcn> && !std::is_constructible_v<Lcn, Vcn>);

std::vector<Run> Decode(std::vector<uint8_t> pairs, uint64_t start_vcn = 0, uint64_t last_vcn = ~uint64_t{0}) {
  RunCursor cursor(pairs, Vcn(start_vcn), Vcn(last_vcn));
  std::vector<Run> runs;
  Run run;
  for (bool more = cursor.FirstRun(run); more; more = cursor.NextRun(run)) runs.push_back(run);
  return runs;
}

TEST(RunCursorTest, DecodesLengthsAndSignedOffsets) {
  auto runs = Decode({0x21, 0x18, 0x34, 0x56, 0x11, 0x05, 0xF0, 0x00});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].length, 24u);
  EXPECT_EQ(runs[0].lcn->value, 0x5634u);
  EXPECT_EQ(runs[0].vcn.value, 0u);
  EXPECT_EQ(runs[1].length, 5u);
  EXPECT_EQ(runs[1].lcn->value, 0x5624u);  // offset -16
  EXPECT_EQ(runs[1].vcn.value, 24u);
}

TEST(RunCursorTest, EntryWithoutOffsetIsAHoleAndDecodingGoesOn) {
  // 8 clusters at 0x100, a 4-cluster hole, 2 clusters at 0x110.
  auto runs = Decode({0x21, 0x08, 0x00, 0x01, 0x01, 0x04, 0x11, 0x02, 0x10, 0x00});
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_FALSE(runs[1].lcn.has_value());
  EXPECT_EQ(runs[1].vcn.value, 8u);
  EXPECT_EQ(runs[2].lcn->value, 0x110u);
  EXPECT_EQ(runs[2].vcn.value, 12u);
}

TEST(RunCursorTest, FirstRunMayBeAHole) {
  auto runs = Decode({0x01, 0x10, 0x11, 0x04, 0x20, 0x00});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_FALSE(runs[0].lcn.has_value());
  EXPECT_EQ(runs[1].lcn->value, 0x20u);
}

TEST(RunCursorTest, OverlongFieldsEndTheList) {
  EXPECT_TRUE(Decode({0x15, 1, 2, 3, 4, 5, 6, 0}).empty());                        // length of 5 bytes
  EXPECT_TRUE(Decode({0x91, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}).empty());            // offset of 9 bytes
  EXPECT_EQ(Decode({0x11, 0x01, 0x05, 0x15, 1, 2, 3, 4, 5, 6, 0}).size(), 1u);  // stops at the second
}

TEST(RunCursorTest, EndsWithTheExtentsVcnRangeWithoutTerminator) {
  auto runs = Decode({0x11, 0x18, 0x30, 0x11, 0x05, 0x10}, 0, 23);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].length, 24u);
}

TEST(RunCursorTest, EntriesRunningPastTheAttributeAreNotRead) {
  EXPECT_TRUE(Decode({0x21, 0x18, 0x34}).empty());
  EXPECT_TRUE(Decode({0x11}).empty());
  EXPECT_TRUE(Decode({}).empty());
}

TEST(RunCursorTest, NegativeLcnEndsTheList) {
  auto runs = Decode({0x11, 0x01, 0x02, 0x11, 0x01, 0xF0, 0x00});
  ASSERT_EQ(runs.size(), 1u);
}

// A volume of 16 clusters of 512 bytes; cluster n holds the byte n.
class RunBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<uint8_t> image(16 * 512);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i / 512);
    image[boot::kBytesPerSector] = 0x00;
    image[boot::kBytesPerSector + 1] = 0x02;  // 512 bytes per sector
    image[boot::kSectorsPerCluster] = 1;
    image[boot::kClustersPerRecord] = 0xF6;  // 1 KiB records; the MFT at cluster 0
    ASSERT_TRUE(OpenVolumeSource(volume_, std::make_unique<source::MemorySource>(std::move(image)), u"test"));
  }
  RunList Runs(std::vector<uint8_t> pairs) {
    pairs_ = std::move(pairs);
    RunList list;
    list.AppendCursor(RunCursor(pairs_, Vcn(0), Vcn(~uint64_t{0})));
    return list;
  }
  VolumeContext volume_;
  std::vector<uint8_t> pairs_;
};

TEST_F(RunBytesTest, RangeCrossingRunsReadsEachInVcnOrder) {
  RunList runs = Runs({0x11, 0x02, 0x0A, 0x11, 0x02, 0xFB, 0x00});  // clusters 10,11 then 5,6
  std::vector<uint8_t> out(1024);
  ASSERT_TRUE(ReadRunBytes(volume_, runs, 512 + 256, out, false));
  EXPECT_EQ(out[0], 11);
  EXPECT_EQ(out[255], 11);
  EXPECT_EQ(out[256], 5);
  EXPECT_EQ(out[1023], 6);
}

TEST_F(RunBytesTest, HolesAndUnmappedTailReadAsZeros) {
  RunList runs = Runs({0x11, 0x01, 0x03, 0x01, 0x02, 0x11, 0x01, 0x04, 0x00});  // 3, hole x2, 7
  std::vector<uint8_t> out(5 * 512, 0xEE);
  ASSERT_TRUE(ReadRunBytes(volume_, runs, 0, out, false));
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[512], 0);
  EXPECT_EQ(out[1535], 0);
  EXPECT_EQ(out[1536], 7);
  EXPECT_EQ(out[2048], 0);  // past the last run
  // A range that starts inside the hole: zeros up to the run, then its bytes.
  std::vector<uint8_t> within(1024, 0xEE);
  ASSERT_TRUE(ReadRunBytes(volume_, runs, 512 + 256, within, false));
  EXPECT_EQ(std::count(within.begin(), within.begin() + 768, 0), 768);
  EXPECT_EQ(std::count(within.begin() + 768, within.end(), 7), 256);
}

TEST_F(RunBytesTest, RequireMappedRefusesHolesAndGaps) {
  RunList runs = Runs({0x11, 0x01, 0x03, 0x01, 0x02, 0x11, 0x01, 0x04, 0x00});
  std::vector<uint8_t> out(512);
  EXPECT_TRUE(ReadRunBytes(volume_, runs, 0, out, true));
  EXPECT_FALSE(ReadRunBytes(volume_, runs, 512, out, true));
  EXPECT_FALSE(ReadRunBytes(volume_, runs, 4 * 512, out, true));
}

TEST_F(RunBytesTest, RunsBeyondTheImageFailTheRead) {
  RunList runs = Runs({0x11, 0x02, 0x0F, 0x00});  // clusters 15 and 16; the image has 16
  std::vector<uint8_t> out(1024);
  EXPECT_FALSE(ReadRunBytes(volume_, runs, 0, out, false));
}

TEST_F(RunBytesTest, HugeLcnDoesNotOverflow) {
  RunList runs = Runs({0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0x00});
  std::vector<uint8_t> out(16);
  EXPECT_FALSE(ReadRunBytes(volume_, runs, 0, out, false));
}

TEST(RunListTest, LcnOfMapsAVcnThroughItsRun) {
  // An extent from VCN 2: clusters 0x10..0x12, a hole of 2, then 0x0C.
  std::vector<uint8_t> pairs = {0x11, 0x03, 0x10, 0x01, 0x02, 0x11, 0x01, 0xFC, 0x00};
  RunList list;
  list.AppendCursor(RunCursor(pairs, Vcn(2), Vcn(~uint64_t{0})));
  const struct {
    uint64_t vcn;
    std::optional<uint64_t> lcn;
  } cases[] = {{0, std::nullopt}, {1, std::nullopt}, {2, 0x10}, {4, 0x12}, {5, std::nullopt},
               {6, std::nullopt}, {7, 0x0C}, {8, std::nullopt}, {~uint64_t{0}, std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vcn);
    const std::optional<Lcn> lcn = list.LcnOf(Vcn(c.vcn));
    ASSERT_EQ(lcn.has_value(), c.lcn.has_value());
    if (lcn) {
      EXPECT_EQ(lcn->value, *c.lcn);
    }
  }
  EXPECT_FALSE(RunList().LcnOf(Vcn(0)));
}

TEST(RunListTest, ExtentsOutOfOrderAreNotTaken) {
  std::vector<uint8_t> first = {0x11, 0x04, 0x10, 0x00};
  std::vector<uint8_t> earlier = {0x11, 0x02, 0x20, 0x00};
  RunList list;
  list.AppendCursor(RunCursor(first, Vcn(0), Vcn(3)));
  EXPECT_EQ(list.EndVcn(), Vcn(4));
  list.AppendCursor(RunCursor(earlier, Vcn(4), Vcn(5)));
  EXPECT_EQ(list.EndVcn(), Vcn(6));
  EXPECT_EQ(list.runs().back().lcn->value, 0x20u);
}

}  // namespace
}  // namespace velmora
