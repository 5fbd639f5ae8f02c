// The index walk over synthetic directories: key order, searching with a
// comparator, and damaged indexes that must end the walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntfs/index.h"
#include "ntfs/path.h"
#include "ntfs/upcase.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using namespace testing;

constexpr uint64_t kDir = 40;
constexpr uint64_t kBlocksLcn = SyntheticVolume::kFreeLcn;

std::vector<uint8_t> Entry(const std::u16string& name, uint64_t record, std::optional<uint64_t> sub = std::nullopt) {
  return IndexEntry(record, FileNameValue(kDir, name), false, sub);
}
std::vector<uint8_t> Last(std::optional<uint64_t> sub = std::nullopt) { return IndexEntry(0, {}, true, sub); }

class IndexWalkTest : public ::testing::Test {
 protected:
  // A directory whose root holds root_entries and whose allocation holds
  // the given blocks at VCNs 0, 1, 2... (one 512-byte cluster each).
  void MakeDirectory(const std::vector<std::vector<uint8_t>>& root_entries,
                     const std::vector<std::vector<std::vector<uint8_t>>>& blocks, bool large = true) {
    RecordBuilder record(kDir, 1024, 0x0003);
    record.Resident(0x30, 1, u"", FileNameValue(5, u"dir", 1, 0x10000000));
    record.Resident(0x90, 2, u"$I30", IndexRootValue(root_entries, large));
    if (!blocks.empty()) {
      for (size_t i = 0; i < blocks.size(); ++i) synthetic_.SetClusters(kBlocksLcn + i, IndexBlock(i, blocks[i]));
      record.NonResident(0xA0, 3, u"$I30", SingleRun(kBlocksLcn, blocks.size()), 0, blocks.size() - 1,
                         blocks.size() * 512);
    }
    synthetic_.SetRecord(kDir, record.Build());
    synthetic_.SetRootEntries({{u"dir", kDir}});
  }
  void Open() {
    source_ = new source::MemorySource(std::span<const uint8_t>(synthetic_.image()));
    ASSERT_TRUE(OpenVolumeSource(volume_, std::unique_ptr<source::ByteSource>(source_), u"test"));
    ASSERT_TRUE(CheckNtfsVolume(volume_));
  }
  // Names visited by a full walk, in order.
  std::vector<std::u16string> Names(int stop_after = 0, EntryComparator comparator = nullptr) {
    std::vector<std::u16string> names;
    IndexWalker(
        volume_, FileReference(kDir), kI30Name,
        [&](std::span<const uint8_t> key, FileReference) {
          LeBytes k(key);
          names.push_back(k.Utf16(0x42, k.U8(0x40)));
          return (stop_after != 0 && static_cast<int>(names.size()) == stop_after) ? Walk::kStop : Walk::kContinue;
        },
        comparator);
    return names;
  }

  SyntheticVolume synthetic_;
  VolumeContext volume_;
  source::MemorySource* source_ = nullptr;
};

TEST_F(IndexWalkTest, SmallDirectoryWalksTheRootOnly) {
  MakeDirectory({Entry(u"a", 30), Entry(u"b", 31), Last()}, {}, false);
  Open();
  source_->ResetCounters();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_F(IndexWalkTest, SubNodesAreWalkedBeforeTheirEntryInKeyOrder) {
  // root: [m -> block 0] [last -> block 1]; block 0: a, c; block 1: [p -> block 2] [last]; block 2: n, o
  MakeDirectory({Entry(u"m", 30, 0), Last(1)},
                {{Entry(u"a", 31), Entry(u"c", 32), Last()}, {Entry(u"p", 33, 2), Last()},
                 {Entry(u"n", 34), Entry(u"o", 35), Last()}});
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a", u"c", u"m", u"n", u"o", u"p"}));
  EXPECT_EQ(Names(3), (std::vector<std::u16string>{u"a", u"c", u"m"}));
}

// An index block left with only its end entry (what deletions leave) holds
// nothing, and the walk goes on past it to the rest of the directory.
TEST_F(IndexWalkTest, EmptyLeafBlockDoesNotEndTheWalk) {
  MakeDirectory({Entry(u"m", 30, 0), Last(1)}, {{Last()}, {Entry(u"n", 34), Entry(u"o", 35), Last()}});
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"m", u"n", u"o"}));
}

TEST_F(IndexWalkTest, ComparatorAlwaysNegativeSkipsSubtreesOfKeyedEntries) {
  MakeDirectory({Entry(u"m", 30, 0), Last(1)},
                {{Entry(u"a", 31), Last()}, {Entry(u"p", 33, 2), Entry(u"q", 36), Last()},
                 {Entry(u"n", 34), Last()}});
  Open();
  EXPECT_EQ(Names(0, [](std::span<const uint8_t>) { return std::strong_ordering::less; }),
            (std::vector<std::u16string>{u"q"}));
}

TEST_F(IndexWalkTest, LookupReadsOnlyThePathToTheName) {
  // Entries carry sequence numbers; the lookup hands on the record number (48 bits) alone.
  MakeDirectory({Entry(u"m", 30, 0), Last(1)},
                {{Entry(u"a", 31), Entry(u"c", 32), Last()}, {Entry(u"p", 33, 2), Last()},
                 {Entry(u"n", 34), Entry(u"o", FileReference::Of(0x123400000023, 7).value), Last()}});
  Open();
  EXPECT_EQ(LookupChild(u"O", volume_, FileReference(kDir)).value, 0x123400000023u);
  EXPECT_EQ(LookupChild(u"C", volume_, FileReference(kDir)).value, 32u);
  EXPECT_EQ(LookupChild(u"m", volume_, FileReference(kDir)).value, 30u);
  EXPECT_EQ(LookupChild(u"zz", volume_, FileReference(kDir)).value, 0u);
}

TEST_F(IndexWalkTest, SubNodeCycleEndsTheWalk) {
  MakeDirectory({Entry(u"m", 30, 0), Last()}, {{Entry(u"a", 31), Last(0)}});
  Open();
  auto names = Names();
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a"}));
}

TEST_F(IndexWalkTest, DeepChainOfBlocksIsBounded) {
  std::vector<std::vector<std::vector<uint8_t>>> blocks;
  for (uint64_t i = 0; i < 40; ++i) blocks.push_back({Last(i + 1)});
  blocks.push_back({Entry(u"deep", 30), Last()});
  MakeDirectory({Last(0)}, blocks);
  Open();
  EXPECT_TRUE(Names().empty());
}

TEST_F(IndexWalkTest, DamagedEntriesEndTheWalkInsideTheNode) {
  auto zero_length = Entry(u"b", 31);
  Put16(zero_length, 8, 0);
  MakeDirectory({Entry(u"a", 30), zero_length, Entry(u"c", 32), Last()}, {}, false);
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a"}));

  auto past_end = Entry(u"b", 31);
  Put16(past_end, 8, 0x400);
  MakeDirectory({Entry(u"a", 30), past_end, Last()}, {}, false);
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a"}));

  auto key_too_long = Entry(u"b", 31);
  Put16(key_too_long, 10, 0x300);
  MakeDirectory({Entry(u"a", 30), key_too_long, Last()}, {}, false);
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a"}));
}

TEST_F(IndexWalkTest, SubNodeInASmallIndexIsNotFollowed) {
  MakeDirectory({Entry(u"a", 30), Entry(u"m", 31, 0), Last()}, {}, false);
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a"}));
}

TEST_F(IndexWalkTest, DamagedBlockEndsThatWalk) {
  MakeDirectory({Entry(u"m", 30, 0), Last()}, {{Entry(u"a", 31), Last()}});
  synthetic_.image()[kBlocksLcn * 512 + 510] ^= 0xFF;  // torn stride
  Open();
  EXPECT_TRUE(Names().empty());
  MakeDirectory({Entry(u"m", 30, 5), Last()}, {{Entry(u"a", 31), Last()}});  // VCN past the runs
  Open();
  EXPECT_TRUE(Names().empty());
}

TEST_F(IndexWalkTest, RootFlaggedLargeWithoutAllocationVisitsNothing) {
  MakeDirectory({Entry(u"a", 30), Last()}, {}, true);
  Open();
  EXPECT_TRUE(Names().empty());
}

}  // namespace
}  // namespace velmora
