// The change journal: records of every version built from the documented
// layout, the paths they had (from the builder's own log of the tree it
// changed), damaged records, and records Windows wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "history/usn_journal.h"
#include "history/usn_paths.h"
#include "source/byte_source.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/usn_journal_builder.h"
#include "tests/support/volumes.h"

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


// ---- The report over a volume whose $Extend\$UsnJrnl holds a journal ----

constexpr uint64_t kVolumeRoot = (uint64_t{1} << 48) | 5;  // the synthetic root has sequence 1
constexpr uint32_t kDirectoryName = 0x10000000;

std::vector<uint8_t> DirectoryRecord(uint64_t number, uint64_t parent, const std::u16string& name,
                                     const std::vector<std::vector<uint8_t>>& entries) {
  std::vector<std::vector<uint8_t>> all = entries;
  all.push_back(IndexEntry(0, {}, true));
  return RecordBuilder(number, 1024, 0x0003)
      .Resident(0x30, 1, u"", FileNameValue(parent, name, 1, kDirectoryName))
      .Resident(0x90, 2, u"$I30", IndexRootValue(all, false))
      .Build();
}

// "dir" was "old" when f.txt was made in it; the journal's head is a hole of 8 clusters.
struct JournalVolume {
  JournalBuilder journal{8 * SyntheticVolume::kCluster};
  JournalModel model{journal};
  SyntheticVolume volume;
  std::vector<uint8_t> collected;

  JournalVolume() {
    const FileReference root(kVolumeRoot), dir = Ref(30, 1), file = Ref(31, 1);
    model.Create(dir, root, u"old", true);
    model.Create(file, dir, u"f.txt", false);
    model.Rename(dir, root, u"dir");
    model.Touch(file);
    collected = journal.Stream(false);
    std::vector<uint8_t> clusters = collected;
    clusters.resize((clusters.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster *
                    SyntheticVolume::kCluster);
    const uint64_t count = clusters.size() / SyntheticVolume::kCluster;
    volume.SetClusters(SyntheticVolume::kFreeLcn, clusters);
    std::vector<uint8_t> max(usn::kMaxBytes);
    Put64(max, usn::kMaxMaximumSize, 0x2000000);
    Put64(max, usn::kMaxJournalId, 0x01D4B1D9B1E5DDF2);
    Put64(max, usn::kMaxLowestValidUsn, 8 * SyntheticVolume::kCluster);
    volume.SetRecord(41, RecordBuilder(41)
                             .Resident(0x30, 1, u"", FileNameValue(Ref(11, 1).value, u"$UsnJrnl"))
                             .Resident(0x80, 2, u"$Max", max)
                             .NonResident(0x80, 3, u"$J", EncodeRuns({{std::nullopt, 8}, {SyntheticVolume::kFreeLcn, count}}),
                                          0, 8 + count - 1, 8 * SyntheticVolume::kCluster + collected.size())
                             .Build());
    volume.SetRecord(11, DirectoryRecord(11, kVolumeRoot, u"$Extend",
                                         {IndexEntry(Ref(41, 1).value, FileNameValue(Ref(11, 1).value, u"$UsnJrnl"))}));
    volume.SetRecord(30, DirectoryRecord(30, kVolumeRoot, u"dir",
                                         {IndexEntry(file.value, FileNameValue(dir.value, u"f.txt"))}));
    volume.SetRecord(31, RecordBuilder(31).Resident(0x30, 1, u"", FileNameValue(dir.value, u"f.txt")).Build());
    volume.SetRootEntries({{u"$Extend", 11}, {u"dir", 30}});
  }
};

// The "path" of every "usn" object, unescaped.
std::vector<std::string> JsonPaths(const std::string& out) {
  std::vector<std::string> paths;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"report\":\"usn\"") == std::string::npos) continue;
    const size_t start = line.find("\"path\":\"") + 8;
    std::string path;
    for (size_t i = start; line[i] != '"'; ++i) path += line[i] == '\\' ? line[++i] : line[i];
    paths.push_back(path);
  }
  return paths;
}

TEST(UsnJournalReport, PathsAsTheyWereFromTheVolumeAFileAndACollectedCopy) {
  JournalVolume v;
  FakePlatform platform;
  platform.AddVolume(u'C', v.volume.image());
  platform.AddInputFile("J", v.collected);
  RunResult all = RunVelmora(platform, {u"--usn", u"--json", u"-f", u"C:\\"});
  ASSERT_EQ(all.exit_code, 0) << all.err;
  EXPECT_EQ(JsonPaths(all.out), v.model.expected()) << all.out;
  EXPECT_NE(all.out.find("\"lowest_valid_usn\":4096"), std::string::npos) << all.out;
  // The file's own records only.
  RunResult file = RunVelmora(platform, {u"--usn", u"--json", u"-f", u"C:\\dir\\f.txt"});
  EXPECT_EQ(JsonPaths(file.out), (std::vector<std::string>{"\\old\\f.txt", "\\old\\f.txt", "\\dir\\f.txt"}));
  // A collected copy in place of the volume's, and alone.
  EXPECT_EQ(JsonPaths(RunVelmora(platform, {u"--usn-file", u"J", u"--json", u"-f", u"C:\\"}).out), v.model.expected());
  RunResult alone = RunVelmora(platform, {u"--usn-file", u"J", u"--json"});
  ASSERT_EQ(alone.exit_code, 0) << alone.err;
  EXPECT_EQ(JsonPaths(alone.out), v.model.expected());
  // Every object valid under the published schema, the timeline's too.
  if (RunCommand("python3 -c \"import jsonschema; print(1)\" 2>/dev/null") == "1\n") {
    const std::string source = VELMORA_TEST_DATA "/../..";
    const auto lines = std::filesystem::temp_directory_path() / "velmora_usn_schema.jsonl";
    std::ofstream(lines, std::ios::binary)
        << all.out << alone.out << RunVelmora(platform, {u"--timeline", u"--usn", u"--json", u"-f", u"C:\\"}).out
        << RunVelmora(platform, {u"--usn-file", u"missing", u"--json"}).out;
    int status = 0;
    RunCommand("python3 " + Quote(source + "/tests/tools/json_lines_check.py") + " " +
                   Quote(source + "/docs/velmora.schema.json") + " " + Quote(lines.string()) + " >/dev/null",
               &status);
    EXPECT_EQ(status, 0);
    std::filesystem::remove(lines);
  }
  // Text: the journal's identity, then a line per record.
  RunResult text = RunVelmora(platform, {u"--usn", u"-f", u"C:\\"});
  EXPECT_NE(text.out.find("Journal ID : 01D4B1D9B1E5DDF2\tLowest valid USN : 0000000000001000\tMaximum size : "
                          "0000000002000000\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("\tRENAME_OLD_NAME\t0\tDIRECTORY\told\t\\old\n"), std::string::npos) << text.out;
  // In the timeline, a line per record with its time.
  RunResult body = RunVelmora(platform, {u"--timeline", u"--usn", u"-f", u"C:\\"});
  EXPECT_NE(body.out.find("0|/old/f.txt (usn: FILE_CREATE CLOSE)|31|r/rrwxrwxrwx|0|0|0|1548110165|1548110165|"),
            std::string::npos)
      << body.out;
  // A volume without a journal says so.
  SyntheticVolume plain;
  plain.SetRootEntries({});
  platform.AddVolume(u'D', plain.image());
  RunResult none = RunVelmora(platform, {u"--usn", u"-f", u"D:\\"});
  EXPECT_NE(none.out.find("\tNONE\n"), std::string::npos) << none.out;
  EXPECT_NE(none.err.find("usn: "), std::string::npos) << none.err;
}

}  // namespace
}  // namespace velmora::testing
