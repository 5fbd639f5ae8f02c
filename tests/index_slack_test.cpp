// Index slack on synthetic directories: what lies past a block's used
// size, in freed blocks and in the root is found when it reads as an entry
// of this directory, and nothing else is.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "history/index_slack.h"
#include "history/record_slack.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "tests/support/deadline.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using namespace testing;

constexpr uint64_t kDir = 40;
constexpr uint64_t kOtherDir = 39;
constexpr uint64_t kBlocksLcn = SyntheticVolume::kFreeLcn;
constexpr uint64_t kTime = 134'000'000'000'000'000;  // 2025
// Records the entries name: free, in use with the entry's sequence, in use with another.
constexpr uint64_t kFreeRecord = 41, kLiveRecord = 42, kReusedRecord = 43;

// An entry of parent naming record (sequence 1), with plausible times.
std::vector<uint8_t> Entry(const std::u16string& name, uint64_t record, uint64_t parent = kDir) {
  std::vector<uint8_t> key = FileNameValue(FileReference::Of(parent, 1).value, name);
  for (size_t at = 0x08; at <= 0x20; at += 8) Put64(key, at, kTime + at);
  return IndexEntry(FileReference::Of(record, 1).value, key);
}
std::vector<uint8_t> Last() { return IndexEntry(0, {}, true); }

// The node bytes of `used` followed by `slack`, with the used size covering `used` only.
struct Node {
  std::vector<std::vector<uint8_t>> used;
  std::vector<std::vector<uint8_t>> slack;
};

uint32_t Bytes(const std::vector<std::vector<uint8_t>>& entries) {
  uint32_t total = 0;
  for (const auto& e : entries) total += static_cast<uint32_t>(e.size());
  return total;
}

std::vector<std::vector<uint8_t>> Joined(const Node& node) {
  std::vector<std::vector<uint8_t>> all = node.used;
  all.push_back(Last());
  all.insert(all.end(), node.slack.begin(), node.slack.end());
  return all;
}

// One synthetic directory with its index.
class SlackDirectory {
 public:
  // blocks[i] at VCN i; bitmap bit i set when in_use[i].
  void MakeDirectory(const Node& root, const std::vector<Node>& blocks, const std::vector<bool>& in_use,
                     uint16_t flags = 0x0003) {
    RecordBuilder record(kDir, 1024, flags);
    record.Resident(0x30, 1, u"", FileNameValue(5, u"dir", 1, 0x10000000));
    std::vector<uint8_t> root_value = IndexRootValue(Joined(root), !blocks.empty());
    Put32(root_value, 0x10 + 4, 0x10 + Bytes(root.used) + static_cast<uint32_t>(Last().size()));
    record.Resident(0x90, 2, u"$I30", root_value);
    if (!blocks.empty()) {
      std::vector<uint8_t> bitmap(8);
      for (size_t i = 0; i < blocks.size(); ++i) {
        std::vector<uint8_t> block = IndexBlock(i, Joined(blocks[i]));
        const uint32_t first = LeBytes(block).U32(0x18);
        Put32(block, 0x18 + 4, first + Bytes(blocks[i].used) + static_cast<uint32_t>(Last().size()));
        synthetic_.SetClusters(kBlocksLcn + i, block);
        if (in_use[i]) bitmap[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
      }
      record.NonResident(0xA0, 3, u"$I30", SingleRun(kBlocksLcn, blocks.size()), 0, blocks.size() - 1,
                         blocks.size() * 512);
      record.Resident(0xB0, 4, u"$I30", bitmap);
    }
    synthetic_.SetRecord(kDir, record.Build());
    synthetic_.SetRecord(kFreeRecord, RecordBuilder(kFreeRecord, 1024, 0).Build());
    synthetic_.SetRecord(kLiveRecord, RecordBuilder(kLiveRecord).Build());
    std::vector<uint8_t> reused = RecordBuilder(kReusedRecord).Build();
    Put16(reused, 0x10, 2);
    synthetic_.SetRecord(kReusedRecord, reused);
    synthetic_.SetRootEntries({{u"dir", kDir}});
  }

  // What the slack yields, one "name source state" a line; live copies counted.
  std::vector<std::string> Found(uint64_t* live_copies = nullptr) {
    platform_.AddVolume(u'C', synthetic_.image());
    EXPECT_TRUE(OpenVolume(volume_, platform_, u"\\\\.\\C:"));
    EXPECT_TRUE(CheckNtfsVolume(volume_));
    std::vector<std::string> found;
    WithinDeadline([&] {
      auto slack = ReadIndexSlack(volume_, FileReference(kDir));
      ASSERT_TRUE(slack.has_value());
      for (const SlackEntry& e : slack->entries)
        found.push_back(Utf16ToUtf8(e.key.name) + " " + SlackSourceName(e.source) + " " + RecordStateName(e.state));
      if (live_copies) *live_copies = slack->live_copies;
    });
    return found;
  }


  // The whole program over the volume.
  RunResult Run(const std::vector<std::u16string>& arguments) {
    FakePlatform platform;
    platform.AddVolume(u'C', synthetic_.image());
    return RunVelmora(platform, arguments);
  }

 private:
  SyntheticVolume synthetic_;
  FakePlatform platform_;
  VolumeContext volume_;
};

TEST(IndexSlackTest, LayoutsOfSlack) {
  std::vector<uint8_t> torn = Entry(u"torn", kFreeRecord);
  torn.resize(torn.size() - 24);  // its name runs into the next entry: key length past the entry's end
  std::vector<uint8_t> zero_time = Entry(u"zerotime", kFreeRecord);
  Put64(zero_time, 0x10 + 0x18, 0);
  const std::vector<uint8_t> garbage(8, 0xA5);  // carving must pass over it to the entry behind
  struct Case {
    const char* what;
    Node root;
    std::vector<Node> blocks;
    std::vector<bool> in_use;
    std::vector<std::string> expected;
    uint64_t live_copies;
  };
  const Case cases[] = {
      {"past the used size of a block", {{}, {}}, {{{Entry(u"a", kLiveRecord)}, {Entry(u"gone", kFreeRecord)}}},
       {true}, {"gone past_used_size free"}, 0},
      {"a freed block, whole", {{}, {}},
       {{{Entry(u"a", kLiveRecord)}, {}}, {{Entry(u"b", kReusedRecord), Entry(u"c", kLiveRecord)}, {}}},
       {true, false}, {"b freed_block reused", "c freed_block same_sequence"}, 0},
      {"the root past its used size", {{Entry(u"a", kLiveRecord)}, {Entry(u"r", kFreeRecord)}}, {}, {},
       {"r root_slack free"}, 0},
      {"a shifted copy of a live entry", {{}, {}},
       {{{Entry(u"a", kLiveRecord), Entry(u"b", kReusedRecord)}, {Entry(u"b", kReusedRecord)}}}, {true}, {}, 1},
      {"a torn entry and one with a zeroed time", {{}, {}},
       {{{Entry(u"a", kLiveRecord)}, {torn, zero_time}}}, {true}, {}, 0},
      {"an entry of another directory", {{}, {}},
       {{{Entry(u"a", kLiveRecord)}, {Entry(u"other", kFreeRecord, kOtherDir)}}}, {true}, {}, 0},
      {"an entry behind bytes that are none", {{}, {}},
       {{{Entry(u"a", kLiveRecord)}, {garbage, Entry(u"behind", kFreeRecord)}}}, {true},
       {"behind past_used_size free"}, 0},
      {"the same entry twice is one", {{}, {}},
       {{{Entry(u"a", kLiveRecord)}, {Entry(u"twice", kFreeRecord)}}, {{}, {Entry(u"twice", kFreeRecord)}}},
       {true, false}, {"twice past_used_size free"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto directory = std::make_unique<SlackDirectory>();
    directory->MakeDirectory(c.root, c.blocks, c.in_use);
    uint64_t live_copies = 99;
    EXPECT_EQ(directory->Found(&live_copies), c.expected);
    EXPECT_EQ(live_copies, c.live_copies);
  }
}

// -l --deleted: the listing as it was, then the section; a directory whose
// record is free says so on stderr and is still listed.
TEST(IndexSlackTest, ListingSection) {
  for (const uint16_t flags : {uint16_t{0x0003}, uint16_t{0x0002}}) {
    SCOPED_TRACE(flags);
    SlackDirectory directory;
    directory.MakeDirectory({{}, {}}, {{{Entry(u"a", kLiveRecord)}, {Entry(u"gone", kFreeRecord)}}}, {true}, flags);
    const std::vector<std::u16string> target = {u"-f", u"C:\\", u"-r", u"28", u"-l"};
    std::vector<std::u16string> deleted = target;
    deleted.push_back(u"--deleted");
    const RunResult plain = directory.Run(target);
    const RunResult r = directory.Run(deleted);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind(plain.out, 0), 0u) << r.out;
    const std::string section = r.out.substr(plain.out.size());
    EXPECT_EQ(section.rfind("Deleted entries (index slack) :\n", 0), 0u) << section;
    EXPECT_NE(section.find("\n0001000000000029\tfree\tVCN 0x0 +0x"), std::string::npos) << section;
    EXPECT_NE(section.find("\tgone\n"), std::string::npos) << section;
    EXPECT_NE(section.find("Number of deleted entries : 1\n"), std::string::npos) << section;
    EXPECT_EQ(r.err.find("the record is not in use") != std::string::npos, flags == 0x0002) << r.err;
  }
}

// Random bytes after the used size never yield an entry, never hang.
TEST(IndexSlackTest, RandomSlackYieldsNothing) {
  const SlackOwner owner{FileReference::Of(kDir, 1), true};
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    const std::vector<uint8_t> bytes = Pattern(4096, seed);
    size_t found = 0;
    WithinDeadline([&] {
      CarveIndexRegion(LeBytes(bytes), 0, bytes.size(), owner, [&](uint64_t, FileReference, CarvedName) { ++found; });
    });
    EXPECT_EQ(found, 0u) << "seed " << seed;
  }
}

// Record slack: $FILE_NAME attributes past the used size are older names,
// unless one is a live name moved down or fails the checks.
TEST(RecordSlackTest, LayoutsOfRecordSlack) {
  const auto name = [](const std::u16string& text, uint64_t parent = kDir, uint16_t id = 5) {
    std::vector<uint8_t> value = FileNameValue(FileReference::Of(parent, 1).value, text);
    for (size_t at = 0x08; at <= 0x20; at += 8) Put64(value, at, kTime + at);
    return ResidentAttribute(0x30, value, id);
  };
  const auto join = [](std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  std::vector<uint8_t> torn = name(u"torn");
  Put32(torn, 4, 0x400);  // its length runs past the record
  std::vector<uint8_t> zero_time = name(u"zerotime");
  Put64(zero_time, 0x18 + 0x10, 0);
  struct Case {
    const char* what;
    std::vector<uint8_t> slack;
    std::vector<std::u16string> expected;
  };
  const Case cases[] = {
      {"an older name", name(u"before.txt"), {u"before.txt"}},
      {"the live name moved down", name(u"now.txt"), {}},
      {"the live name under another parent", name(u"now.txt", kOtherDir), {u"now.txt"}},
      {"behind bytes that are none", join({std::vector<uint8_t>(8, 0x30), name(u"behind")}), {u"behind"}},
      {"torn, and a zeroed time", join({torn, zero_time}), {}},
      {"random bytes", Pattern(400, 7), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = RecordBuilder(45).Resident(0x30, 1, u"", FileNameValue(FileReference::Of(kDir, 1).value, u"now.txt")).Build();
    bytes = WithRecordSlack(bytes, c.slack);
    ASSERT_TRUE(ApplyUpdateSequence(bytes, 512));
    std::vector<std::u16string> found;
    CarveRecordSlack(FileRecord(bytes, RecordNumber(45)), [&](uint32_t, uint16_t, CarvedName n) { found.push_back(n.name); });
    EXPECT_EQ(found, c.expected);
  }
}

}  // namespace
}  // namespace velmora
