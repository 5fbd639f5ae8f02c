// --logfile: log pages built from the format's layout (restart pages,
// record pages, records spanning pages, the circular wrap, a torn page),
// one table of scenarios with the events each must give, the samples
// Windows wrote, and the command line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <functional>

#include "history/log_records.h"
#include "ntfs/log_file.h"
#include "source/byte_source.h"
#include "tests/support/deadline.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_builder.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using namespace testing::log_pages;
using testing::Put16;

struct Decoded {
  std::vector<uint64_t> lsns;
  std::vector<LogEvent> events;
  std::array<uint64_t, static_cast<size_t>(LogSkip::kCount)> skipped{};
  uint64_t torn_pages = 0;
};

Decoded Decode(const Bytes& log) {
  return testing::WithinDeadline([&] {
    source::MemorySource bytes{std::span<const uint8_t>(log)};
    auto records = LogRecords::Open(bytes, log.size(), LogGeometry{});
    Decoded decoded;
    if (!records) return decoded;
    records->Walk([&](const LogRecordView& record) {
      decoded.lsns.push_back(record.lsn);
      LogEventsOf(record, decoded.events);
    });
    for (size_t r = 0; r < decoded.skipped.size(); ++r) decoded.skipped[r] = records->Skipped(LogSkip(r));
    decoded.torn_pages = records->torn_pages();
    return decoded;
  });
}

constexpr uint64_t kT0 = 0x01D4C19390C80791;  // 2019-02-10T22:54:23.3968529Z

struct Scenario {
  const char* name;
  uint32_t pages;
  // Writes the records; may damage the finished log through the returned hook.
  std::function<void(LogBuilder&)> write;
  int torn_page;  // a record page whose last stride is torn, or -1
  std::vector<LogEventKind> events;
  std::array<uint64_t, static_cast<size_t>(LogSkip::kCount)> skipped{};
  size_t lost = 0;  // surviving records not decoded (lost with a damaged page)
};

const Scenario kScenarios[] = {
    {"StandardInformationTimesChanged", 4,
     [](LogBuilder& b) {
       // Modified and record changed (value offsets 8 and 0x10) rewritten in record 0x40.
       b.Append(7, Operation(Op::kUpdateResidentValue, Op::kUpdateResidentValue, Times(kT0 + 100, kT0 + 200),
                             Times(kT0 + 10, kT0 + 20), 0x40, 0x38, 0x18 + 8));
       b.Append(7, Operation(Op::kCommitTransaction, Op::kNoop, {}, {}, 0));
     },
     -1, {LogEventKind::kStandardInformationChanged}},
    {"NameAddedThenRemoved", 4,
     [](LogBuilder& b) {
       b.Append(9, Operation(Op::kInitializeFileRecordSegment, Op::kNoop, Bytes(0x40, 1), {}, 0x41));
       b.Append(9, Operation(Op::kAddIndexEntryAllocation, Op::kDeleteIndexEntryAllocation,
                             NameEntry(0x0001000000000041, u"new.txt", kT0), {}, 0));
       b.Append(10, Operation(Op::kDeleteIndexEntryRoot, Op::kAddIndexEntryRoot, {},
                              NameEntry(0x0001000000000041, u"new.txt", kT0), 5));
       b.Append(10, Operation(Op::kDeallocateFileRecordSegment, Op::kInitializeFileRecordSegment, {}, {}, 0x41));
     },
     -1,
     {LogEventKind::kRecordAllocated, LogEventKind::kNameAdded, LogEventKind::kNameRemoved,
      LogEventKind::kRecordDeallocated}},
    {"RecordsSpanningPages", 6,
     [](LogBuilder& b) {
       b.Append(1, Filler(0x100));
       b.Append(1, Filler(0x2800));  // three pages
       b.Append(1, Filler(0xFA0));   // leaves less than a header on its last page
       b.Append(1, Filler(0x20));
     },
     -1, {}},
    {"WrapsAndKeepsThePagesAheadOfTheNewest", 5,
     [](LogBuilder& b) {
       for (int i = 0; i < 60; ++i) b.Append(1, Filler(0x180 + 8 * (i % 7)));
     },
     -1, {}},
    {"TornPageLosesItsRecordsOnly", 6,
     [](LogBuilder& b) {
       for (int i = 0; i < 12; ++i) b.Append(1, Filler(0x600));
     },
     2, {}},
    {"LoopInTheLsnChain", 4,
     [](LogBuilder& b) {
       const uint64_t first = b.Append(1, Filler(0x40));
       b.Append(1, Filler(0x40), first + 0x100000);  // a previous LSN ahead of itself
       b.Append(1, Filler(0x40), first);
     },
     -1, {}, {0, 1, 0, 0}, 1},
    {"UnknownOperationCode", 4,
     [](LogBuilder& b) {
       Bytes bad = Filler(0x40);
       Put16(bad, logfile::kRedoOperation, 0x7F);
       b.Append(1, bad);
       b.Append(1, Filler(0x40));
     },
     -1, {}, {0, 0, 1, 0}, 1},
    {"RedoDataOutsideTheRecord", 4,
     [](LogBuilder& b) {
       Bytes bad = Filler(0x40);
       Put16(bad, logfile::kRedoLength, 0x400);
       b.Append(1, bad);
       b.Append(1, Filler(0x40));
     },
     -1, {}, {1, 0, 0, 0}, 1},
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class LogScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(LogScenarioTest, DecodesEveryRecordAndItsEvents) {
  const Scenario& scenario = GetParam();
  LogBuilder builder(scenario.pages);
  scenario.write(builder);
  Bytes log = builder.Finish();
  auto skipped = scenario.skipped;
  size_t lost = scenario.lost;
  if (scenario.torn_page >= 0) {
    // Its records cannot be read, and one running into it is counted torn.
    log[kFirstRecordPage + scenario.torn_page * kPage + kPage - 2] ^= 0xFF;
    const auto [starting, running_in] = builder.OnPage(scenario.torn_page);
    ASSERT_GT(starting, 0u);
    ASSERT_EQ(running_in, 1u);
    lost = starting + running_in;
    skipped[static_cast<size_t>(LogSkip::kTornPage)] = running_in;
  }
  const Decoded decoded = Decode(log);

  const std::vector<uint64_t> surviving = builder.Surviving();
  EXPECT_TRUE(std::is_sorted(decoded.lsns.begin(), decoded.lsns.end()));
  EXPECT_EQ(std::adjacent_find(decoded.lsns.begin(), decoded.lsns.end()), decoded.lsns.end());
  for (uint64_t lsn : decoded.lsns) EXPECT_TRUE(std::count(surviving.begin(), surviving.end(), lsn)) << std::hex << lsn;
  EXPECT_EQ(decoded.lsns.size() + lost, surviving.size());
  EXPECT_FALSE(decoded.lsns.empty());
  // Only the log that wrapped lost records to later ones.
  EXPECT_EQ(surviving.size() < builder.written(), std::string_view(scenario.name).starts_with("Wraps"));
  for (size_t r = 0; r < decoded.skipped.size(); ++r) EXPECT_EQ(decoded.skipped[r], skipped[r]) << LogSkipName(LogSkip(r));
  EXPECT_EQ(decoded.torn_pages, scenario.torn_page >= 0 ? 1u : 0u);
  ASSERT_EQ(decoded.events.size(), scenario.events.size());
  for (size_t e = 0; e < decoded.events.size(); ++e) EXPECT_EQ(decoded.events[e].kind, scenario.events[e]) << e;
}

INSTANTIATE_TEST_SUITE_P(Logs, LogScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// What the events say: the scenarios' values, field by field.
TEST(LogEventTest, StandardInformationOldAndNewTimes) {
  LogBuilder builder(4);
  const uint64_t lsn = builder.Append(7, Operation(Op::kUpdateResidentValue, Op::kUpdateResidentValue,
                                                   Times(kT0 + 100, kT0 + 200), Times(kT0 + 10, kT0 + 20), 0x40,
                                                   0x38, 0x18 + 8));
  const Decoded decoded = Decode(builder.Finish());
  ASSERT_EQ(decoded.events.size(), 1u);
  const LogEvent& event = decoded.events[0];
  EXPECT_EQ(event.lsn, lsn);
  EXPECT_EQ(event.transaction, 7u);
  EXPECT_EQ(event.record, 0x40u);
  using enum TimeField;
  EXPECT_FALSE(event.times[size_t(kCreated)].present);
  EXPECT_FALSE(event.times[size_t(kAccessed)].present);
  EXPECT_EQ(event.times[size_t(kModified)].before, kT0 + 10);
  EXPECT_EQ(event.times[size_t(kModified)].after, kT0 + 100);
  EXPECT_EQ(event.times[size_t(kRecordChanged)].before, kT0 + 20);
  EXPECT_EQ(event.times[size_t(kRecordChanged)].after, kT0 + 200);
}

TEST(LogEventTest, NameAddedAndRemovedCarryTheEntry) {
  LogBuilder builder(4);
  builder.Append(9, Operation(Op::kAddIndexEntryRoot, Op::kDeleteIndexEntryRoot,
                              NameEntry(0x0002000000000041, u"a name.txt", kT0), {}, 5));
  builder.Append(9, Operation(Op::kDeleteIndexEntryAllocation, Op::kAddIndexEntryAllocation, {},
                              NameEntry(0x0002000000000041, u"a name.txt", kT0), 0));
  const Decoded decoded = Decode(builder.Finish());
  ASSERT_EQ(decoded.events.size(), 2u);
  for (const LogEvent& event : decoded.events) {
    EXPECT_EQ(event.name, u"a name.txt");
    EXPECT_EQ(event.file, FileReference(0x0002000000000041));
    EXPECT_EQ(event.parent, FileReference(0x0005000000000005));
    EXPECT_EQ(event.name_times, (std::array<uint64_t, 4>{kT0, kT0 + 1, kT0 + 2, kT0 + 3}));
  }
  EXPECT_EQ(decoded.events[0].record, 5u);  // the root's own record holds its index root
  EXPECT_FALSE(decoded.events[1].record);   // an index block: the directory is the parent
}

TEST(LogRestartTest, BothCopiesAndTheCurrentOne) {
  LogBuilder builder(4);
  const uint64_t newest = builder.Append(1, Filler(0x40));
  Bytes log = builder.Finish();
  source::MemorySource older_bytes{std::span<const uint8_t>(log)};
  // The first copy torn: the second is current, and the first says why.
  log[0x1FE] ^= 1;
  source::MemorySource bytes{std::span<const uint8_t>(log)};
  auto records = LogRecords::Open(bytes, log.size(), LogGeometry{});
  ASSERT_TRUE(records);
  EXPECT_EQ(records->current(), 1);
  ASSERT_TRUE(records->restarts()[0].problem);
  EXPECT_NE(records->restarts()[0].problem->message.find(u"torn"), std::u16string::npos);
  const LogRestart& current = records->restarts()[1];
  EXPECT_EQ(current.current_lsn, newest);
  ASSERT_EQ(current.clients.size(), 1u);
  EXPECT_EQ(current.clients[0].name, u"NTFS");
  EXPECT_EQ(current.sequence_bits, kBits);
}

// ---------------------------------------------------------------------------
// Logs Windows wrote.

std::filesystem::path Sample(const char* name) {
  return std::filesystem::path("/work/shared/data/windows-samples") / name;
}

TEST(LogWindowsSampleTest, EveryRecordDecodedOrCounted) {
  const auto path = Sample("LogFile_7.bin");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
  const Bytes log = testing::ReadFile(path);
  source::MemorySource bytes{std::span<const uint8_t>(log)};
  auto records = LogRecords::Open(bytes, log.size(), LogGeometry{});
  ASSERT_TRUE(records);
  EXPECT_FALSE(records->restarts()[0].problem);
  EXPECT_FALSE(records->restarts()[1].problem);
  EXPECT_EQ(records->restarts()[0].current_lsn, records->restarts()[1].current_lsn);
  ASSERT_EQ(records->restarts()[0].clients.size(), 1u);
  EXPECT_EQ(records->restarts()[0].clients[0].name, u"NTFS");
  EXPECT_NE(records->restarts()[0].clients[0].restart_lsn, 0u);
  std::vector<uint64_t> lsns;
  std::vector<LogEvent> events;
  testing::WithinDeadline([&] {
    records->Walk([&](const LogRecordView& record) {
      lsns.push_back(record.lsn);
      LogEventsOf(record, events);
    });
    return 0;
  });
  EXPECT_GT(lsns.size(), 700u);
  EXPECT_TRUE(std::is_sorted(lsns.begin(), lsns.end()));
  EXPECT_EQ(std::adjacent_find(lsns.begin(), lsns.end()), lsns.end());
  // Every record the pages hold is decoded or counted: a walk of the pages
  // from their first record finds no other header.
  uint64_t skipped = 0;
  for (size_t r = 0; r < static_cast<size_t>(LogSkip::kCount); ++r) skipped += records->Skipped(LogSkip(r));
  EXPECT_EQ(records->decoded(), lsns.size());
  EXPECT_LE(skipped, 1u);
  size_t named = 0;
  for (const LogEvent& event : events) {
    if (event.name != u"find_me.txt") continue;
    ++named;
    EXPECT_EQ(event.file.Number(), 40u);
    EXPECT_EQ(event.parent.Number(), 5u);
  }
  EXPECT_GE(named, 2u);  // created and deleted
}

TEST(LogWindowsSampleTest, AnEmptiedLogHasNoRecords) {
  const auto path = Sample("LogFile_empty.bin");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
  const Bytes log = testing::ReadFile(path);
  const Decoded decoded = Decode(log);
  EXPECT_TRUE(decoded.lsns.empty());
}

// ---------------------------------------------------------------------------
// The command line.

TEST(LogFileCommandTest, CollectedLogAloneAsTextJsonAndTimeline) {
  LogBuilder builder(4);
  builder.Append(9, Operation(Op::kAddIndexEntryRoot, Op::kDeleteIndexEntryRoot,
                              NameEntry(0x0002000000000041, u"a|b.txt", kT0), {}, 5));
  testing::FakePlatform platform;
  platform.files[u"/evidence/LogFile"] = builder.Finish();

  auto text = testing::RunVelmora(platform, {u"--logfile-file", u"/evidence/LogFile"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_NE(text.out.find("Redo              = AddIndexEntryRoot (0C)"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Event: name_added"), std::string::npos);
  EXPECT_NE(text.err.find("1 records decoded, 1 events"), std::string::npos) << text.err;

  auto json = testing::RunVelmora(platform, {u"--json", u"--logfile-file", u"/evidence/LogFile"});
  EXPECT_EQ(json.out.find("Velmora v"), std::string::npos);
  EXPECT_NE(json.out.find("{\"report\":\"logfile_restart\""), std::string::npos);
  EXPECT_NE(json.out.find("\"redo\":{\"code\":12,\"name\":\"AddIndexEntryRoot\"}"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("{\"report\":\"logfile_event\",\"event\":\"name_added\""), std::string::npos);

  auto body = testing::RunVelmora(platform, {u"--timeline", u"--logfile-file", u"/evidence/LogFile"});
  EXPECT_EQ(body.exit_code, 0) << body.err;
  // Eleven fields, the name escaped, the marker after it; the times are
  // the entry's: accessed, modified, changed, created.
  EXPECT_EQ(body.out.rfind("0|a\\x7cb.txt ($LogFile name_added LSN ", 0), 0u) << body.out;
  EXPECT_NE(body.out.find("|65|-/-rwxrwxrwx|0|0|0|1549839263|1549839263|1549839263|1549839263\n"), std::string::npos)
      << body.out;

  auto missing = testing::RunVelmora(platform, {u"--logfile-file", u"/evidence/none"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("logfile: /evidence/none: No such file or directory"), std::string::npos) << missing.err;
}

// Every object of the published schema (python3 and its jsonschema read it).
TEST(LogFileJson, EveryObjectValidUnderTheSchema) {
  if (testing::RunCommand("python3 -c \"import jsonschema; print(1)\" 2>/dev/null") != "1\n")
    GTEST_SKIP() << "python3-jsonschema is not installed (tools/install_deps.sh installs it)";
  LogBuilder builder(4);
  builder.Append(9, Operation(Op::kAddIndexEntryRoot, Op::kDeleteIndexEntryRoot,
                              NameEntry(0x0002000000000041, u"a|b.txt", kT0), {}, 5));
  builder.Append(9, Operation(Op::kUpdateResidentValue, Op::kUpdateResidentValue, Times(kT0 + 100, kT0 + 200),
                              Times(kT0 + 10, kT0 + 20), 0x40, 0x38, 0x18 + 8));
  builder.Append(9, Operation(Op::kDeallocateFileRecordSegment, Op::kInitializeFileRecordSegment, {}, {}, 0x41));
  testing::FakePlatform platform;
  platform.files[u"/evidence/LogFile"] = builder.Finish();
  const std::string source = VELMORA_TEST_DATA "/../..";
  const auto lines = std::filesystem::temp_directory_path() / ("velmora_logfile_" + std::to_string(getpid()) + ".jsonl");
  {
    std::ofstream file(lines, std::ios::binary);
    file << testing::RunVelmora(platform, {u"--json", u"--logfile-file", u"/evidence/LogFile"}).out;
    file << testing::RunVelmora(platform, {u"--json", u"--timeline", u"--logfile-file", u"/evidence/LogFile"}).out;
  }
  int status = 0;
  const std::string summary = testing::RunCommand("python3 " + testing::Quote(source + "/tests/tools/json_lines_check.py") +
                                                      " " + testing::Quote(source + "/docs/velmora.schema.json") + " " +
                                                      testing::Quote(lines.string()),
                                                  &status);
  std::filesystem::remove(lines);
  EXPECT_EQ(status, 0);
  // Two restart pages, three records and three events, then the events again.
  EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 11) << summary;
}

TEST(LogFileCommandTest, VolumeLogAndCollectedLogWithTheVolumesPaths) {
  // 4 KiB clusters and 1 KiB records, as the operations below count them.
  const auto names = testing::CommittedVolumeNames();
  if (std::find(names.begin(), names.end(), "c4k") == names.end()) GTEST_SKIP() << "no c4k volume";
  const testing::TestVolume& volume = testing::LoadVolume("c4k");
  // ntfs-3g resets the log: its restart pages and few records, if any.
  auto run = testing::RunOn(volume, {u"-f", u"C:\\", u"--logfile"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("Restart page 0 (offset 0x0)"), std::string::npos);
  EXPECT_NE(run.err.find("records decoded"), std::string::npos) << run.err;

  // A collected log read beside the volume: its names under the volume's paths.
  LogBuilder builder(4);
  builder.Append(9, Operation(Op::kAddIndexEntryRoot, Op::kDeleteIndexEntryRoot,
                              NameEntry(0x0002000000000041, u"gone.txt", kT0), {}, 5));
  builder.Append(9, Operation(Op::kUpdateResidentValue, Op::kUpdateResidentValue, Times(kT0 + 100, kT0 + 200),
                              Times(kT0 + 10, kT0 + 20), 5, 0x38, 0x18 + 8));
  testing::FakePlatform platform;
  platform.AddVolume(u'C', volume.image);
  platform.files[u"/evidence/LogFile"] = builder.Finish();
  auto paths = testing::RunVelmora(platform, {u"-f", u"C:\\", u"--logfile-file", u"/evidence/LogFile"});
  EXPECT_EQ(paths.exit_code, 0) << paths.err;
  EXPECT_NE(paths.out.find("Event: name_added (LSN "), std::string::npos);
  EXPECT_NE(paths.out.find(" /gone.txt \"gone.txt\""), std::string::npos) << paths.out;
  EXPECT_NE(paths.out.find("record 5 /, modified 2019-02-10T22:54:23.3968539Z -> 2019-02-10T22:54:23.3968629Z"),
            std::string::npos)
      << paths.out;
}

}  // namespace
}  // namespace velmora
