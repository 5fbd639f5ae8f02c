// The index walk over synthetic directories: key order, searching with a
// comparator, and damaged indexes that must end the walk.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ntfs/index.h"
#include "ntfs/path.h"
#include "ntfs/secure.h"
#include "ntfs/upcase.h"
#include "ntfs/volume.h"
#include "tests/support/deadline.h"
#include "tests/support/fake_platform.h"
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
                     const std::vector<std::vector<std::vector<uint8_t>>>& blocks, bool large = true,
                     const std::u16string& index = u"$I30") {
    RecordBuilder record(kDir, 1024, 0x0003);
    record.Resident(0x30, 1, u"", FileNameValue(5, u"dir", 1, 0x10000000));
    record.Resident(0x90, 2, index, IndexRootValue(root_entries, large));
    if (!blocks.empty()) {
      for (size_t i = 0; i < blocks.size(); ++i) synthetic_.SetClusters(kBlocksLcn + i, IndexBlock(i, blocks[i]));
      record.NonResident(0xA0, 3, index, SingleRun(kBlocksLcn, blocks.size()), 0, blocks.size() - 1,
                         blocks.size() * 512);
    }
    synthetic_.SetRecord(kDir, record.Build());
    synthetic_.SetRootEntries({{u"dir", kDir}});
  }
  void Open() {
    platform_.AddVolume(u'C', synthetic_.image());
    ASSERT_TRUE(OpenVolume(volume_, platform_, u"\\\\.\\C:"));
    ASSERT_TRUE(CheckNtfsVolume(volume_));
  }
  // Names visited by a full walk, in order.
  std::vector<std::u16string> Names(int stop_after = 0, EntryComparator comparator = nullptr) {
    std::vector<std::u16string> names;
    WithinDeadline([&] {
      IndexWalker(
          volume_, FileReference(kDir), kI30Name,
          [&](std::span<const uint8_t> key, FileReference) {
            LeBytes k(key);
            names.push_back(k.Utf16(0x42, k.U8(0x40)));
            return (stop_after != 0 && static_cast<int>(names.size()) == stop_after) ? Walk::kStop : Walk::kContinue;
          },
          comparator);
    });
    return names;
  }
  // The record a lookup of name finds (0: absent), and the index blocks it read.
  std::pair<uint64_t, uint64_t> Lookup(const std::u16string& name) {
    const uint64_t before = platform_.index_block_reads;
    const FileReference found = WithinDeadline([&] { return LookupChild(name, volume_, FileReference(kDir)); });
    return {found.value, platform_.index_block_reads - before};
  }

  SyntheticVolume synthetic_;
  FakePlatform platform_;
  VolumeContext volume_;
};

TEST_F(IndexWalkTest, SmallDirectoryWalksTheRootOnly) {
  MakeDirectory({Entry(u"a", 30), Entry(u"b", 31), Last()}, {}, false);
  Open();
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a", u"b"}));
  EXPECT_EQ(platform_.index_block_reads, 0u);
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

// Every key sorting before the one sought: only the end entries' sub-nodes
// can hold it, and nothing is visited.
TEST_F(IndexWalkTest, ComparatorAlwaysLessFollowsOnlyTheEndEntries) {
  MakeDirectory({Entry(u"m", 30, 0), Last(1)},
                {{Entry(u"a", 31), Last()}, {Entry(u"p", 33, 2), Entry(u"q", 36), Last()},
                 {Entry(u"n", 34), Last()}});
  Open();
  EXPECT_TRUE(Names(0, [](std::span<const uint8_t>) { return std::strong_ordering::less; }).empty());
  EXPECT_EQ(platform_.index_block_reads, 1u);
}

// A name present or absent costs the blocks of one path from the root to a
// leaf: never a block to the right of where the name would be.
TEST_F(IndexWalkTest, HitOrMissReadsOneRootToLeafPath) {
  // Each entry names the record of its first letter.
  auto e = [](const std::u16string& name, std::optional<uint64_t> sub = std::nullopt) {
    return Entry(name, name[0], sub);
  };
  // root: g p | inner blocks 0-2: c, k, s | leaves 3-8: a b, d e, h i, l n, q r, t u
  MakeDirectory({e(u"g", 0), e(u"p", 1), Last(2)},
                {{e(u"c", 3), Last(4)}, {e(u"k", 5), Last(6)}, {e(u"s", 7), Last(8)},
                 {e(u"a"), e(u"b"), Last()}, {e(u"d"), e(u"e"), Last()}, {e(u"h"), e(u"i"), Last()},
                 {e(u"l"), e(u"n"), Last()}, {e(u"q"), e(u"r"), Last()}, {e(u"t"), e(u"u"), Last()}});
  Open();
  struct Case {
    std::u16string name;
    uint64_t record;  // 0: absent
    uint64_t blocks;
  };
  const Case cases[] = {
      {u"a", 'a', 2}, {u"B", 'b', 2}, {u"u", 'u', 2}, {u"g", 'g', 0}, {u"K", 'k', 1},
      // Before every name, between two leaves, past a leaf's last name, after every name.
      {u"0", 0, 2},   {u"f", 0, 2},   {u"ca", 0, 2},  {u"o", 0, 2},   {u"zz", 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(Lookup(c.name), std::make_pair(c.record, c.blocks));
  }
}

// $Secure's $SII lookup goes through the same walk: an id that is absent
// reads no block beside the one leaf that would hold it.
TEST_F(IndexWalkTest, SecurityIdMissReadsOneLeaf) {
  // The key is the id followed by what the lookup reads of the entry (the
  // $SDS position), so that MatchSecurityId finds it where NTFS puts it.
  auto sii = [](uint32_t id, std::optional<uint64_t> sub = std::nullopt) {
    std::vector<uint8_t> key(sii_entry::kSize - sii_entry::kKey);
    Put32(key, 0, id);
    Put64(key, sii_entry::kSdsOffset - sii_entry::kKey, uint64_t{id} << 4);
    return IndexEntry(0, key, false, sub);
  };
  MakeDirectory({sii(0x200, 0), sii(0x400, 1), Last(2)},
                {{sii(0x100), sii(0x180), Last()}, {sii(0x300), Last()}, {sii(0x500), Last()}}, true, u"$SII");
  Open();
  for (auto [id, found, blocks] : {std::tuple{0x180u, true, 1u}, {0x400u, true, 0u}, {0x101u, false, 1u},
                                   {0x350u, false, 1u}, {0x600u, false, 1u}}) {
    SCOPED_TRACE(id);
    SecurityIdQuery query;
    query.security_id = id;
    const uint64_t before = platform_.index_block_reads;
    WithinDeadline([&] {
      IndexEntryWalker(
          volume_, FileReference(kDir), kSiiName,
          [&](std::span<const uint8_t> entry, std::span<const uint8_t>) { return MatchSecurityId(entry, query); },
          [&](std::span<const uint8_t> key) { return CompareSecurityId(key, query); });
    });
    EXPECT_EQ(query.found, found);
    EXPECT_EQ(query.sds_offset, found ? uint64_t{id} << 4 : 0);
    EXPECT_EQ(platform_.index_block_reads - before, blocks);
  }
}

TEST_F(IndexWalkTest, LookupReadsOnlyThePathToTheName) {
  // Entries carry sequence numbers; the lookup hands on the record number (48 bits) alone.
  MakeDirectory({Entry(u"m", 30, 0), Last(1)},
                {{Entry(u"a", 31), Entry(u"c", 32), Last()}, {Entry(u"p", 33, 2), Last()},
                 {Entry(u"n", 34), Entry(u"o", FileReference::Of(0x123400000023, 7).value), Last()}});
  Open();
  EXPECT_EQ(Lookup(u"O"), std::make_pair(uint64_t{0x123400000023}, uint64_t{2}));
  EXPECT_EQ(Lookup(u"C"), std::make_pair(uint64_t{32}, uint64_t{1}));
  EXPECT_EQ(Lookup(u"m"), std::make_pair(uint64_t{30}, uint64_t{0}));
  EXPECT_EQ(Lookup(u"zz"), std::make_pair(uint64_t{0}, uint64_t{1}));
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

// What the deadline of the walks above does with one that never returns:
// the tests end at once, naming it, instead of hanging.
TEST(WalkDeadlineDeathTest, WalkThatNeverReturnsEndsTheTestsNamingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto never = [] {
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  EXPECT_EXIT(WithinDeadline(never, std::chrono::seconds(1)), ::testing::ExitedWithCode(EXIT_FAILURE),
              "WalkDeadlineDeathTest.WalkThatNeverReturnsEndsTheTestsNamingIt: did not return within 1 s");
}

}  // namespace
}  // namespace velmora
