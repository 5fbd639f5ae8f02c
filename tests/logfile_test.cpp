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
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::Protect;
using testing::Put16;
using testing::Put32;
using testing::Put64;
using Bytes = std::vector<uint8_t>;
using Op = logfile::LogOperation;

void PutLe(std::span<uint8_t> bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void Put16(std::span<uint8_t> bytes, size_t at, uint16_t value) { PutLe(bytes, at, value, 2); }
void Put32(std::span<uint8_t> bytes, size_t at, uint32_t value) { PutLe(bytes, at, value, 4); }
void Put64(std::span<uint8_t> bytes, size_t at, uint64_t value) { PutLe(bytes, at, value, 8); }

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kData = 0x40;    // first record byte of a record page
constexpr uint32_t kHeader = 0x30;  // log record header
constexpr uint32_t kBits = 0x2A;    // sequence number bits
constexpr uint64_t kFirstRecordPage = 0x4000;  // two restart pages, two tail copies

// A log written as NTFS writes one: records one after another from the
// first record page, 8-byte aligned, continuing on the next page when they
// do not fit and from the first record page again, one sequence number
// higher, at the end of the log. Each page is protected by its update
// sequence when the log is finished.
class LogBuilder {
 public:
  explicit LogBuilder(uint32_t record_pages) : bytes_(kFirstRecordPage + uint64_t{record_pages} * kPage, 0) {
    entered_.assign(record_pages, -1);
  }

  // Appends one record; returns its LSN.
  uint64_t Append(uint32_t transaction, const Bytes& client_data, uint64_t previous = 0, uint32_t type = 1) {
    if (pos_ + kHeader > kPage) NextPage();
    if (pos_ == kData) Enter(written_.size());
    const uint64_t lsn = Lsn(page_, pos_);
    Bytes record(kHeader + client_data.size(), 0);
    Put64(record, 0x00, lsn);
    Put64(record, 0x08, previous);
    Put32(record, 0x18, static_cast<uint32_t>(client_data.size()));
    Put32(record, 0x20, type);
    Put32(record, 0x24, transaction);
    if (pos_ + record.size() > kPage) Put16(record, 0x28, logfile::kRecordMultiPage);
    std::copy(client_data.begin(), client_data.end(), record.begin() + kHeader);
    written_.push_back(Written{lsn, {page_}});
    size_t at = 0;
    while (true) {
      const size_t take = std::min<size_t>(record.size() - at, kPage - pos_);
      std::copy(record.begin() + at, record.begin() + at + take, PageBytes(page_) + pos_);
      at += take;
      pos_ += static_cast<uint32_t>(take);
      if (at == record.size()) break;
      NextPage();
      Enter(written_.size() - 1);
      written_.back().pages.push_back(page_);
    }
    Put64(PageSpan(page_), logfile::kPageLastEndLsn, lsn);
    Put32(PageSpan(page_), logfile::kPageFlags, 1);
    pos_ = (pos_ + 7) & ~7u;
    Put16(PageSpan(page_), logfile::kPageNextRecordOffset, static_cast<uint16_t>(pos_));
    Put64(PageSpan(written_.back().pages.front()), logfile::kPageLastLsn, lsn);
    for (uint32_t p : written_.back().pages) {
      if (p != written_.back().pages.front() && LastLsnOf(p) == 0) Put64(PageSpan(p), logfile::kPageLastLsn, lsn);
    }
    newest_ = lsn;
    return lsn;
  }

  // The restart pages and every page's update sequence.
  Bytes Finish() {
    for (uint64_t copy = 0; copy < 2; ++copy) {
      std::span<uint8_t> page(bytes_.data() + copy * kPage, kPage);
      Put32(page, 0x00, logfile::kRestartSignature);
      Put32(page, logfile::kSystemPageSize, kPage);
      Put32(page, logfile::kLogPageSize, kPage);
      Put16(page, logfile::kRestartAreaOffset, 0x30);
      Put16(page, logfile::kMinorVersion, 1);
      Put16(page, logfile::kMajorVersion, 1);
      std::span<uint8_t> area = page.subspan(0x30);
      Put64(area, logfile::kCurrentLsn, newest_);
      Put16(area, logfile::kLogClients, 1);
      Put16(area, logfile::kClientFreeList, logfile::kNoClient);
      Put16(area, logfile::kRestartFlags, 2);
      Put32(area, logfile::kSequenceNumberBits, kBits);
      Put16(area, logfile::kRestartAreaLength, 0xE0);
      Put16(area, logfile::kClientArrayOffset, 0x40);
      Put64(area, logfile::kFileSize, bytes_.size());
      Put16(area, logfile::kRecordHeaderLength, kHeader);
      Put16(area, logfile::kLogPageDataOffset, kData);
      std::span<uint8_t> client = area.subspan(0x40);
      Put16(client, logfile::kClientPrevious, logfile::kNoClient);
      Put16(client, logfile::kClientNext, logfile::kNoClient);
      Put32(client, logfile::kClientNameLength, 8);
      for (size_t i = 0; i < 4; ++i) Put16(client, logfile::kClientName + 2 * i, u"NTFS"[i]);
      Protect(page, 0x1E, 0x0007);
    }
    for (uint32_t p = 0; p < entered_.size(); ++p) {
      if (entered_[p] >= 0) Protect(PageSpan(p), 0x28, 0x0003);
    }
    return bytes_;
  }

  // The records no later page entry destroyed, oldest first.
  std::vector<uint64_t> Surviving() const {
    std::vector<uint64_t> lsns;
    for (size_t r = 0; r < written_.size(); ++r) {
      bool intact = true;
      for (uint32_t p : written_[r].pages) intact &= entered_[p] <= static_cast<int64_t>(r);
      if (intact) lsns.push_back(written_[r].lsn);
    }
    return lsns;
  }

  size_t written() const { return written_.size(); }

  // Of the surviving records on a page: those that start on it, and those
  // that start on an earlier page and run into it.
  std::pair<size_t, size_t> OnPage(uint32_t page) const {
    std::pair<size_t, size_t> counts;
    const std::vector<uint64_t> surviving = Surviving();
    for (const Written& w : written_) {
      if (!std::count(surviving.begin(), surviving.end(), w.lsn)) continue;
      if (w.pages.front() == page) ++counts.first;
      else if (std::count(w.pages.begin(), w.pages.end(), page)) ++counts.second;
    }
    return counts;
  }

 private:
  struct Written {
    uint64_t lsn;
    std::vector<uint32_t> pages;
  };
  uint8_t* PageBytes(uint32_t p) { return bytes_.data() + kFirstRecordPage + uint64_t{p} * kPage; }
  std::span<uint8_t> PageSpan(uint32_t p) { return {PageBytes(p), kPage}; }
  uint64_t LastLsnOf(uint32_t p) { return LeBytes(PageSpan(p)).U64(logfile::kPageLastLsn); }
  uint64_t Lsn(uint32_t p, uint32_t pos) const {
    return (sequence_ << (64 - kBits)) | ((kFirstRecordPage + uint64_t{p} * kPage + pos) >> 3);
  }
  void NextPage() {
    ++page_;
    if (page_ == entered_.size()) {
      page_ = 0;
      ++sequence_;
    }
    pos_ = kData;
  }
  // The writer starts a page afresh: whatever it held is gone.
  void Enter(size_t record) {
    std::fill(PageBytes(page_), PageBytes(page_) + kPage, 0);
    Put32(PageSpan(page_), 0, logfile::kRecordSignature);
    entered_[page_] = static_cast<int64_t>(record);
  }

  Bytes bytes_;
  std::vector<int64_t> entered_;  // per page: the record that last started it afresh
  std::vector<Written> written_;
  uint32_t page_ = 0;
  uint32_t pos_ = kData;
  uint64_t sequence_ = 1;
  uint64_t newest_ = 0;
};

// NTFS's operation header with its redo and undo bytes.
Bytes Operation(Op redo_op, Op undo_op, const Bytes& redo, const Bytes& undo, uint64_t record,
                uint16_t record_offset = 0x38, uint16_t attribute_offset = 0) {
  Bytes data(0x28 + redo.size() + undo.size(), 0);
  Put16(data, logfile::kRedoOperation, static_cast<uint16_t>(redo_op));
  Put16(data, logfile::kUndoOperation, static_cast<uint16_t>(undo_op));
  Put16(data, logfile::kRedoOffset, 0x28);
  Put16(data, logfile::kRedoLength, static_cast<uint16_t>(redo.size()));
  Put16(data, logfile::kUndoOffset, static_cast<uint16_t>(0x28 + redo.size()));
  Put16(data, logfile::kUndoLength, static_cast<uint16_t>(undo.size()));
  Put16(data, logfile::kLcnsToFollow, 1);
  Put16(data, logfile::kRecordOffset, record_offset);
  Put16(data, logfile::kAttributeOffset, attribute_offset);
  // 1 KiB records in 4 KiB clusters: four a cluster, two 512-byte blocks each.
  Put16(data, logfile::kClusterBlockOffset, static_cast<uint16_t>(record % 4 * 2));
  Put64(data, logfile::kTargetVcn, record / 4);
  Put64(data, logfile::kLcnList, 0xC000 + record / 4);
  std::copy(redo.begin(), redo.end(), data.begin() + 0x28);
  std::copy(undo.begin(), undo.end(), data.begin() + 0x28 + redo.size());
  return data;
}

Bytes Times(uint64_t modified, uint64_t changed) {
  Bytes t(16);
  Put64(t, 0, modified);
  Put64(t, 8, changed);
  return t;
}

// An $I30 index entry for name in directory 5.
Bytes NameEntry(uint64_t file, const std::u16string& name, uint64_t created) {
  Bytes key = testing::FileNameValue(0x0005000000000005, name, 1, 0, created + 3);
  Put64(key, 0x08, created);
  Put64(key, 0x10, created + 1);
  Put64(key, 0x18, created + 2);
  Bytes entry(0x10 + ((key.size() + 7) & ~size_t{7}), 0);
  Put64(entry, 0, file);
  Put16(entry, 8, static_cast<uint16_t>(entry.size()));
  Put16(entry, 10, static_cast<uint16_t>(key.size()));
  std::copy(key.begin(), key.end(), entry.begin() + 0x10);
  return entry;
}

Bytes Filler(size_t bytes) { return Operation(Op::kUpdateNonresidentValue, Op::kNoop, Bytes(bytes, 0xAB), {}, 0); }

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
