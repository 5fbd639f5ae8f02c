// The change journal: records of every version built from the documented
// layout, the paths they had (from the builder's own log of the tree it
// changed), damaged records, and records Windows wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "history/usn_journal.h"
#include "history/usn_paths.h"
#include "source/byte_source.h"
#include "tests/support/usn_journal_builder.h"

namespace velmora::testing {
namespace {

FileReference Ref(uint64_t record, uint16_t sequence) { return FileReference::Of(record, sequence); }
const FileReference kRoot = Ref(5, 5);

// $J as a volume maps it: the head a hole, never read.
class SparseStream : public JournalStream {
 public:
  SparseStream(std::vector<uint8_t> bytes, uint64_t head) : bytes_(std::move(bytes)), head_(head) {}
  std::vector<Range> Ranges() const override { return {{head_, bytes_.size() - head_}}; }
  bool Read(uint64_t offset, std::span<uint8_t> out) override {
    if (offset < head_ || offset + out.size() > bytes_.size()) return false;
    std::copy_n(bytes_.begin() + offset, out.size(), out.begin());
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t head_;
};

std::vector<std::string> Paths(JournalStream& stream, const CurrentNames* current, UsnWalkCounts* counts = nullptr) {
  UsnPathBook book(current);
  std::vector<std::string> paths;
  const UsnWalkCounts walked = WalkUsnJournalWithPaths(
      stream, book, [&](const UsnRecord&, const UsnPathBook::Path& path) { paths.push_back(path.text); });
  if (counts) *counts = walked;
  return paths;
}

struct Scenario {
  const char* name;
  uint16_t version;
  uint64_t head;
  std::function<void(JournalModel&)> changes;
};

const Scenario kScenarios[] = {
    {"files under the root, version 2", 2, 0,
     [](JournalModel& m) {
       m.Create(Ref(64, 1), kRoot, u"a.txt", false);
       m.Touch(Ref(64, 1));
     }},
    {"version 3 and a range record after it", 3, 0,
     [](JournalModel& m) {
       m.Create(Ref(40, 1), kRoot, u"dir", true);
       m.Create(Ref(64, 1), Ref(40, 1), u"big.bin", false);
       m.Range(Ref(64, 1));
     }},
    {"a rename chain", 2, 0,
     [](JournalModel& m) {
       m.Create(Ref(40, 1), kRoot, u"A", true);
       m.Create(Ref(64, 1), Ref(40, 1), u"f1", false);
       m.Rename(Ref(40, 1), kRoot, u"B");
       m.Create(Ref(65, 1), Ref(40, 1), u"f2", false);
       m.Rename(Ref(40, 1), kRoot, u"C");
       m.Create(Ref(66, 1), Ref(40, 1), u"f3", false);
       m.Touch(Ref(64, 1));
     }},
    {"a parent deleted and its record reused", 2, 0,
     [](JournalModel& m) {
       m.Create(Ref(41, 1), kRoot, u"X", true);
       m.Create(Ref(60, 1), Ref(41, 1), u"x.txt", false);
       m.Delete(Ref(60, 1));
       m.Delete(Ref(41, 1));
       m.Create(Ref(41, 2), kRoot, u"Y", true);
       m.Create(Ref(61, 1), Ref(41, 2), u"y.txt", false);
       m.Touch(Ref(61, 1));
     }},
    {"a directory moved between two renames", 3, 0,
     [](JournalModel& m) {
       m.Create(Ref(42, 1), kRoot, u"D", true);
       m.Create(Ref(43, 1), kRoot, u"E", true);
       m.Create(Ref(70, 1), Ref(42, 1), u"d1", false);
       m.Rename(Ref(42, 1), kRoot, u"D1");
       m.Create(Ref(71, 1), Ref(42, 1), u"d2", false);
       m.Rename(Ref(42, 1), Ref(43, 1), u"D1");
       m.Create(Ref(72, 1), Ref(42, 1), u"d3", false);
       m.Rename(Ref(42, 1), Ref(43, 1), u"D2");
       m.Create(Ref(73, 1), Ref(42, 1), u"d4", false);
       m.Touch(Ref(70, 1));
     }},
    {"directories older than the journal, one renamed", 2, 0,
     [](JournalModel& m) {
       m.Exists(Ref(44, 3), kRoot, u"P", true);
       m.Exists(Ref(45, 1), Ref(44, 3), u"Q", true);
       m.Create(Ref(80, 1), Ref(45, 1), u"q1", false);
       m.Rename(Ref(44, 3), kRoot, u"P2");
       m.Create(Ref(81, 1), Ref(45, 1), u"q2", false);
     }},
    {"a sparse head and records padded to page ends", 2, 3 * usn::kPageBytes,
     [](JournalModel& m) {
       m.Create(Ref(40, 1), kRoot, u"many", true);
       for (uint64_t i = 0; i < 200; ++i)
         m.Create(Ref(100 + i, 1), Ref(40, 1), u"a-rather-long-file-name-" + Format("%03u", i), false);
     }},
};

TEST(UsnJournalTest, EveryScenarioGivesThePathsTheBuilderLogged) {
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    JournalBuilder journal(scenario.head);
    JournalModel model(journal, scenario.version);
    scenario.changes(model);
    // The head as the volume maps it (a hole), kept as zeros, and stripped.
    SparseStream sparse(journal.Stream(true), scenario.head);
    FileJournalStream kept(std::make_unique<source::MemorySource>(journal.Stream(true)));
    FileJournalStream stripped(std::make_unique<source::MemorySource>(journal.Stream(false)));
    for (JournalStream* stream : {static_cast<JournalStream*>(&sparse), static_cast<JournalStream*>(&kept),
                                  static_cast<JournalStream*>(&stripped)}) {
      UsnWalkCounts counts;
      EXPECT_EQ(Paths(*stream, &model, &counts), model.expected());
      EXPECT_EQ(counts.skipped, (decltype(counts.skipped){}));
    }
    if (scenario.head) {
      EXPECT_GT(journal.pages_padded(), 0u);
      EXPECT_EQ(Paths(sparse, &model).size(), model.expected().size());
    }
  }
}

TEST(UsnJournalTest, AJournalAloneMarksWhatItCannotPlace) {
  JournalBuilder journal;
  JournalModel model(journal);
  model.Exists(Ref(44, 3), kRoot, u"old", true);
  model.Create(Ref(80, 1), Ref(44, 3), u"f", false);  // its parent has no record
  model.Create(Ref(40, 1), kRoot, u"new", true);
  model.Create(Ref(81, 1), Ref(40, 1), u"g", false);  // its parent was created in the journal
  FileJournalStream stream(std::make_unique<source::MemorySource>(journal.Stream(false)));
  const auto paths = Paths(stream, nullptr);
  ASSERT_EQ(paths.size(), 6u);
  EXPECT_EQ(paths[0], "<unresolved 000300000000002C>\\f");
  EXPECT_EQ(paths[5], "\\new\\g");
  // A rename whose old name went out of the journal: no name before it.
  JournalBuilder wrapped;
  wrapped.Add({2, Ref(81, 1), Ref(40, 1), 0x2, 0x20, u"before"});
  wrapped.Add({2, Ref(40, 1), kRoot, usn::kReasonRenameNewName, usn::kAttributeDirectory, u"after"});
  wrapped.Add({2, Ref(81, 1), Ref(40, 1), 0x2, 0x20, u"later"});
  FileJournalStream wrapped_stream(std::make_unique<source::MemorySource>(wrapped.Stream(false)));
  EXPECT_EQ(Paths(wrapped_stream, nullptr),
            (std::vector<std::string>{"<unresolved 0001000000000028>\\before", "\\after", "\\after\\later"}));
}

TEST(UsnJournalTest, DamagedRecordsAreCountedByReasonAndPassedOver) {
  const JournalBuilder::Entry good{2, Ref(64, 1), kRoot, 0x100, 0x20, u"ok"};
  std::vector<uint8_t> long_length = JournalBuilder::Encode(good);
  long_length[1] = 0x20;  // 0x2000 + the real length: past a page
  std::vector<uint8_t> version = JournalBuilder::Encode(good);
  version[usn::kMajorVersion] = 9;
  std::vector<uint8_t> name_past = JournalBuilder::Encode(good);
  name_past[usn::v2::kNameLength] = 0x40;
  std::vector<uint8_t> extents_past = JournalBuilder::Encode({4, Ref(64, 1), kRoot, 0x2, 0, u"", 0, {{0, 1}}});
  extents_past[usn::v4::kNumberOfExtents] = 3;
  // A length out of range leaves the rest of its page untrusted; a record
  // whose length is good is passed over by it. The journal's pages are
  // found from the USNs (the head here is not a whole number of pages).
  JournalBuilder journal(usn::kPageBytes / 2);
  journal.Add(good);
  journal.AddRaw(long_length);
  journal.Add(good);  // lost with its page
  journal.PadToPage();
  journal.Add(good);
  journal.AddRaw(version);
  journal.AddRaw(name_past);
  journal.AddRaw(extents_past);
  journal.Add(good);
  journal.AddRaw({0x13, 0, 0, 0, 2, 0, 0, 0});  // not a multiple of 8
  journal.PadToPage();
  journal.Add(good);
  FileJournalStream stream(std::make_unique<source::MemorySource>(journal.Stream(false)));
  UsnWalkCounts counts;
  EXPECT_EQ(Paths(stream, nullptr, &counts), (std::vector<std::string>(4, "\\ok")));
  EXPECT_EQ(counts.Skipped(UsnSkip::kLengthOutOfRange), 2u);
  EXPECT_EQ(counts.Skipped(UsnSkip::kUnknownVersion), 1u);
  EXPECT_EQ(counts.Skipped(UsnSkip::kNamePastRecord), 2u);
}

TEST(UsnJournalTest, FlagsByName) {
  EXPECT_EQ(UsnFlagText(0x80000102, UsnReasonNames(), '|'), "DATA_EXTEND|FILE_CREATE|CLOSE");
  EXPECT_EQ(UsnFlagText(0x04000001, UsnReasonNames(), ' '), "DATA_OVERWRITE 0x4000000");
  EXPECT_EQ(UsnFlagText(0, UsnSourceInfoNames(), '|'), "0");
  EXPECT_EQ(UsnFlagText(0x2030, UsnFileAttributeNames(), '|'), "DIRECTORY|ARCHIVE|NOT_CONTENT_INDEXED");
}

TEST(UsnJournalTest, MaxGivesTheJournalsIdentity) {
  std::vector<uint8_t> max(usn::kMaxBytes);
  max[usn::kMaxMaximumSize + 3] = 0x02;        // 32 MiB
  max[usn::kMaxAllocationDelta + 2] = 0x80;    // 8 MiB
  max[usn::kMaxJournalId + 7] = 0x01;
  max[usn::kMaxLowestValidUsn + 4] = 0x01;
  const UsnJournalInfo info = DecodeUsnMax(max);
  EXPECT_EQ(info.maximum_size, 0x2000000u);
  EXPECT_EQ(info.allocation_delta, 0x800000u);
  EXPECT_EQ(info.journal_id, 0x0100000000000000u);
  EXPECT_EQ(info.lowest_valid_usn, 0x100000000);
}

// Records Windows wrote; the values are those the samples' README gives.
TEST(UsnJournalTest, WindowsWrittenRecordsDecode) {
  const std::filesystem::path folder = "/work/shared/data/windows-samples";
  struct Sample {
    const char* file;
    uint16_t major;
    uint32_t reason;
    uint64_t file_reference, parent_reference;
    const char16_t* name;
    size_t extents;
  };
  const Sample kSamples[] = {
      {"usn_1170953448.bin", 2, 0x80000001, 0x000d000000013252, 0x00060000000009eb, u"large_file.txt", 0},
      {"usn_1170990440.bin", 2, 0x80010800, 0x0002000000013424, 0x00010000000006b7, u"mpasbase.vdm", 0},
      {"usn_1170989584.bin", 4, 0x80000102, 0x0004000000013de8, 0x0004000000001076, u"", 1},
      {"usn_1170955904.bin", 4, 0x80000001, 0x00020000000051c0, 0x0004000000001066, u"", 2},
  };
  for (const Sample& sample : kSamples) {
    const auto path = folder / sample.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent: the Windows samples are not on this machine";
    SCOPED_TRACE(sample.file);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    UsnRecord record;
    ASSERT_FALSE(DecodeUsnRecord(bytes, record).has_value());
    EXPECT_EQ(record.major, sample.major);
    EXPECT_EQ(std::to_string(record.usn), std::string(sample.file).substr(4, 10));
    EXPECT_EQ(record.reason, sample.reason);
    EXPECT_EQ(record.file.reference.value, sample.file_reference);
    EXPECT_EQ(record.parent.reference.value, sample.parent_reference);
    EXPECT_EQ(record.Name(), sample.name);
    EXPECT_EQ(record.extents.size(), sample.extents);
  }
}

}  // namespace
}  // namespace velmora::testing
