// -n: the LSN to log file offset mapping, the page buffer size, and the
// lookup of planted log records in a synthetic $LogFile and in the
// committed volumes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "ntfs/volume.h"
#include "output/console.h"
#include "base/format.h"
#include "ntfs/log_file.h"
#include "reports/reports.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::FakePlatform;
using testing::Protect;
using testing::Put16;
using testing::Put32;
using testing::Put64;
using testing::RecordVolume;
using testing::RunSpec;

// ---------------------------------------------------------------------------
// The mapping and the buffer size.

TEST(LogRecordMappingTest, TheWorkedExample) {
  // S = 0x2C keeps the low 20 bits of the LSN (0x34567), times 8.
  auto placement = PlaceLsn(0x1234567, 0x2C, 0x1000);
  ASSERT_TRUE(placement);
  EXPECT_EQ(placement->file_offset, 0x1A2B38u);
  EXPECT_EQ(placement->page_offset, 0x1A2000u);
  EXPECT_EQ(placement->in_page, 0xB38u);
}

TEST(LogRecordMappingTest, SequenceBitsAtAndBeyondTheLimits) {
  EXPECT_FALSE(PlaceLsn(0x1234567, 0, 0x1000));
  EXPECT_FALSE(PlaceLsn(0x1234567, 2, 0x1000));
  EXPECT_FALSE(PlaceLsn(0x1234567, 64, 0x1000));
  EXPECT_FALSE(PlaceLsn(0x1234567, 0xFFFFFFFF, 0x1000));
  // S = 3 keeps the whole LSN: the offset is LSN x 8, wrapping at 2^64.
  auto three = PlaceLsn(0x2000000000000001, 3, 0x1000);
  ASSERT_TRUE(three);
  EXPECT_EQ(three->file_offset, 0x0000000000000008u);
  // S = 63 keeps one bit.
  auto most = PlaceLsn(0xFFFFFFFFFFFFFFFF, 63, 0x1000);
  ASSERT_TRUE(most);
  EXPECT_EQ(most->file_offset, 8u);
}

TEST(LogRecordMappingTest, PageMaskClearsOnlyLowBits) {
  // An offset above 4 GiB keeps its high half; the position comes from the
  // LSN's low 32 bits.
  auto placement = PlaceLsn(0x00000000A0000321, 0x20, 0x1000);
  ASSERT_TRUE(placement);
  EXPECT_EQ(placement->file_offset, 0x500001908u);
  EXPECT_EQ(placement->page_offset, 0x500001000u);
  EXPECT_EQ(placement->in_page, 0x908u);
  EXPECT_FALSE(PlaceLsn(0x1234567, 0x2C, 0));
}

TEST(LogRecordMappingTest, PageSizeMustBeAPowerOfTwo) {
  for (uint32_t size : {0u, 3u, 0x1800u, 0x1001u, 0xFFFFFFFFu}) {
    auto placement = PlaceLsn(0x1234567, 0x2C, size);
    ASSERT_FALSE(placement) << size;
    EXPECT_EQ(placement.error().message, Format("log page size 0x%X, not a power of two", size));
  }
  for (uint32_t size : {0x200u, 0x1000u, 0x10000u, 0x80000000u}) EXPECT_TRUE(PlaceLsn(0x1234567, 0x2C, size)) << size;
}

std::array<uint8_t, 512> BootWith(uint16_t sector, uint8_t per_cluster, std::array<uint8_t, 4> at_0x44) {
  std::array<uint8_t, 512> boot{};
  boot[0x0B] = static_cast<uint8_t>(sector);
  boot[0x0C] = static_cast<uint8_t>(sector >> 8);
  boot[0x0D] = per_cluster;
  std::memcpy(&boot[0x44], at_0x44.data(), 4);
  return boot;
}

uint32_t BufferSize(uint16_t sector, uint8_t per_cluster, std::array<uint8_t, 4> at_0x44) {
  auto boot = BootWith(sector, per_cluster, at_0x44);
  return LogPageBufferSize(LeBytes(boot)).value_or(0);
}

TEST(LogRecordBufferTest, ProductOfTheBootFields) {
  EXPECT_EQ(BufferSize(512, 8, {1, 0, 0, 0}), 4096u);   // 4 KiB clusters
  EXPECT_EQ(BufferSize(512, 1, {8, 0, 0, 0}), 4096u);   // 512-byte clusters
  EXPECT_EQ(BufferSize(4096, 1, {1, 0, 0, 0}), 4096u);  // 4 KiB sectors
  EXPECT_EQ(BufferSize(512, 16, {1, 0, 0, 0}), 8192u);
  // The four bytes read as one unsigned number, not a signed count.
  EXPECT_EQ(BufferSize(512, 1, {1, 1, 0, 0}), 0u);  // 257 x 512 bytes: beyond the bound
  EXPECT_EQ(BufferSize(512, 1, {0x80, 0, 0, 0}), 0u);
}

TEST(LogRecordBufferTest, NegativeByteGivesTheIndexBlockSize) {
  // 64 KiB clusters: index blocks of 2^12 bytes, stored as -12.
  EXPECT_EQ(BufferSize(512, 128, {0xF4, 0, 0, 0}), 4096u);
  // 128 KiB clusters: 0x0D is itself a negative power of two.
  EXPECT_EQ(BufferSize(512, 0xF8, {0xF4, 0, 0, 0}), 4096u);
  EXPECT_EQ(BufferSize(512, 128, {0xF6, 0, 0, 0}), 1024u);
  EXPECT_EQ(BufferSize(512, 128, {0xF0, 0, 0, 0}), 65536u);
  EXPECT_EQ(BufferSize(512, 128, {0xEF, 0, 0, 0}), 0u);  // 128 KiB
  EXPECT_EQ(BufferSize(512, 128, {0x80, 0xFF, 0xFF, 0xFF}), 0u);
}

TEST(LogRecordBufferTest, EmptyOrHostileGeometryHasNoBuffer) {
  EXPECT_EQ(BufferSize(512, 8, {0, 0, 0, 0}), 0u);
  EXPECT_EQ(BufferSize(0, 8, {1, 0, 0, 0}), 0u);
  EXPECT_EQ(BufferSize(512, 0, {1, 0, 0, 0}), 0u);
  EXPECT_EQ(BufferSize(512, 8, {0x7F, 0, 0, 0}), 0u);
  EXPECT_EQ(BufferSize(0xFFFF, 0xFF, {0x7F, 0xFF, 0xFF, 0xFF}), 0u);
  EXPECT_EQ(BufferSize(512, 128, {1, 0, 0, 0}), 65536u);  // the largest accepted
  EXPECT_EQ(BufferSize(512, 129, {1, 0, 0, 0}), 0u);
}

// ---------------------------------------------------------------------------
// A synthetic $LogFile: restart pages at VCN 0 and 1, a record page at VCN 2,
// a hole, the record page of the worked example at VCN 0x1A2, a hole to 2 MiB.

struct LogHeader {
  uint64_t this_lsn = 0;
  uint64_t previous = 0;
  uint64_t undo_next = 0;
  uint32_t data_length = 0;
  uint16_t sequence = 0;
  uint16_t client = 0;
  uint32_t type = 0;
  uint32_t transaction = 0;
  uint16_t flags = 0;
};

void PlaceHeader(std::vector<uint8_t>& page, size_t at, const LogHeader& h) {
  Put64(page, at + 0x00, h.this_lsn);
  Put64(page, at + 0x08, h.previous);
  Put64(page, at + 0x10, h.undo_next);
  Put32(page, at + 0x18, h.data_length);
  Put16(page, at + 0x1C, h.sequence);
  Put16(page, at + 0x1E, h.client);
  Put32(page, at + 0x20, h.type);
  Put32(page, at + 0x24, h.transaction);
  Put16(page, at + 0x28, h.flags);
}

std::string Expected(const LogHeader& h) {
  char text[512];
  std::snprintf(text, sizeof text,
                "Log record : \n\tThisLsn           = %016llX\n\tClientPreviousLsn = %016llX\n"
                "\tClientUndoNextLsn = %016llX\n\tClientDataLength  = %08X\n\tSeqNumber         = %04X\n"
                "\tClientIndex       = %04X\n\tRecordType        = %08X\n\tTransactionId     = %08X\n"
                "\tFlags             = %04X\n",
                static_cast<unsigned long long>(h.this_lsn), static_cast<unsigned long long>(h.previous),
                static_cast<unsigned long long>(h.undo_next), h.data_length, unsigned{h.sequence},
                unsigned{h.client}, h.type, h.transaction, unsigned{h.flags});
  return text;
}

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kSeqBits = 0x2C;
constexpr uint64_t kLogLcn = RecordVolume::kFirstDataLcn;
constexpr uint64_t kLogBytes = 0x200000;

// LSN of a record at a log file offset, sequence number 5 above the 20 kept bits.
constexpr uint64_t LsnAt(uint64_t offset) { return (uint64_t{5} << 20) | (offset / 8); }

// On disk this header straddles the end of the page's first 512-byte stride:
// ClientPreviousLsn's top bytes are replaced by the update sequence number.
const LogHeader kStraddling{LsnAt(0x2000 + 0x1F0), 0x1122334455667788, 0x0102030405060708, 0x58, 0x0003,
                            0x0001, 0x00000001, 0x00000018, 0x0001};
const LogHeader kPlain{LsnAt(0x2000 + 0x400), 0x500000000043E, 0, 0x28, 0x0004, 0x0000, 0x00000002, 0x00000019,
                       0x0000};
const LogHeader kExample{0x1234567, 0x1234500, 0x12344F0, 0xA0, 0x0012, 0x0002, 0x00000001, 0x0000ABCD, 0x0001};
constexpr uint64_t kNearEndLsn = LsnAt(0x2000 + 0xFE0);

std::vector<uint8_t> RestartPage(uint32_t page_size, uint32_t sequence_bits) {
  std::vector<uint8_t> page(kPage);
  std::memcpy(page.data(), "RSTR", 4);
  Put32(page, 0x10, kPage);  // system page size
  Put32(page, 0x14, page_size);
  Put16(page, 0x18, 0x48);  // restart area behind the update sequence array
  Put32(page, 0x48 + 0x10, sequence_bits);
  Protect(page, 0x30, 0x0007);
  return page;
}

std::vector<uint8_t> RecordPageA() {
  std::vector<uint8_t> page(kPage);
  std::memcpy(page.data(), "RCRD", 4);
  PlaceHeader(page, 0x1F0, kStraddling);
  PlaceHeader(page, 0x400, kPlain);
  Put64(page, 0xFE0, kNearEndLsn);  // a header that would run past the page
  Protect(page, 0x30, 0x0009);
  return page;
}

std::vector<uint8_t> RecordPageB() {
  std::vector<uint8_t> page(kPage);
  std::memcpy(page.data(), "RCRD", 4);
  PlaceHeader(page, 0xB38, kExample);
  Protect(page, 0x30, 0x000A);
  return page;
}

struct LogVolumeOptions {
  uint32_t page_size = kPage;
  uint32_t sequence_bits = kSeqBits;
  bool damage_second_restart = false;
  bool tear_page_a = false;
};

std::vector<uint8_t> BuildLogVolume(const LogVolumeOptions& options = {}) {
  RecordVolume v(kLogLcn + 4);
  const uint64_t example_vcn = 0x1A2;
  v.AddNonResident(2, 0x80, 1, u"",
                   {RunSpec{kLogLcn, 3}, RunSpec{std::nullopt, example_vcn - 3}, RunSpec{kLogLcn + 3, 1},
                    RunSpec{std::nullopt, kLogBytes / kPage - example_vcn - 1}},
                   kLogBytes);
  v.WriteClusters(kLogLcn, RestartPage(options.page_size, options.sequence_bits));
  auto second = RestartPage(options.page_size, options.sequence_bits);
  if (options.damage_second_restart) second[3] = 'X';
  v.WriteClusters(kLogLcn + 1, second);
  auto a = RecordPageA();
  if (options.tear_page_a) a[0xFFE] ^= 0xFF;  // last stride torn
  v.WriteClusters(kLogLcn + 2, a);
  v.WriteClusters(kLogLcn + 3, RecordPageB());
  return v.Finish();
}

using Session = testing::ReportHarness;

constexpr char kNoMatch[] = "Cannot find a matching record.\n";

TEST(LogRecordReportTest, PrintsThePlantedHeaders) {
  auto image = BuildLogVolume();
  for (const LogHeader* h : {&kStraddling, &kPlain, &kExample}) {
    Session s(image);
    ASSERT_TRUE(s.opened);
    EXPECT_TRUE(ReportLogRecord(s.context, h->this_lsn));
    EXPECT_EQ(s.out.text(), Expected(*h)) << std::hex << h->this_lsn;
  }
}

TEST(LogRecordReportTest, LsnsThatPointAtNoRecordOfTheirOwn) {
  auto image = BuildLogVolume();
  // Another sequence number at a record's position; the middle of a record;
  // a zeroed part of a record page; a header cut off by the buffer end.
  for (uint64_t lsn : {kPlain.this_lsn + (uint64_t{1} << 20), kStraddling.this_lsn + 1, LsnAt(0x2000 + 0x800),
                       kNearEndLsn}) {
    Session s(image);
    EXPECT_TRUE(ReportLogRecord(s.context, lsn)) << std::hex << lsn;
    EXPECT_EQ(s.out.text(), kNoMatch) << std::hex << lsn;
  }
}

TEST(LogRecordReportTest, UnreachableRecordPagesFail) {
  auto image = BuildLogVolume();
  // A page in a hole reads as zeros (no "RCRD"); a restart page is not a
  // record page; offsets at and beyond the end of the log file cannot be read.
  for (uint64_t lsn : {LsnAt(0x3000 + 0x40), LsnAt(0x1000 + 0x40), LsnAt(kLogBytes), LsnAt(0x7FFFF8)}) {
    Session s(image);
    EXPECT_FALSE(ReportLogRecord(s.context, lsn)) << std::hex << lsn;
    EXPECT_EQ(s.out.text(), "");
  }
}

TEST(LogRecordReportTest, DamagedSecondRestartPageFailsThoughTheFirstIsIntact) {
  LogVolumeOptions options;
  options.damage_second_restart = true;
  Session s(BuildLogVolume(options));
  EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn));
  EXPECT_EQ(s.out.text(), "");
}

TEST(LogRecordReportTest, UnusableRestartAreaFailsSayingWhy) {
  const std::string page = "$LogFile restart page at offset 0x1000: ";
  for (uint32_t bits : {0u, 2u, 64u, 0xFFFFFFFFu}) {
    LogVolumeOptions options;
    options.sequence_bits = bits;
    Session s(BuildLogVolume(options));
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn)) << bits;
    EXPECT_EQ(s.out.text(), "");
    EXPECT_EQ(s.err.text(), page + std::to_string(bits) + " sequence number bits, outside 3 to 63\n");
  }
  // A page size used as a mask must be a power of two.
  for (uint32_t size : {0x0u, 0x1800u, 0x1001u}) {
    LogVolumeOptions options;
    options.page_size = size;
    Session s(BuildLogVolume(options));
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn)) << size;
    EXPECT_EQ(s.out.text(), "");
    EXPECT_EQ(s.err.text(), page + "log page size 0x" + testing::Hex(size) + ", not a power of two\n");
  }
}

TEST(LogRecordReportTest, LogPageLargerThanTheBufferMatchesNothing) {
  // Pages of 8 KiB: the straddling record's LSN now lands at page 0x2000,
  // position 0x1F0, where it stands; but only 4 KiB of the page were read.
  LogVolumeOptions options;
  options.page_size = 0x2000;
  Session s(BuildLogVolume(options));
  EXPECT_TRUE(ReportLogRecord(s.context, kStraddling.this_lsn));
  EXPECT_EQ(s.out.text(), kNoMatch);
}

TEST(LogRecordReportTest, TornStrideDoesNotStopTheLookup) {
  LogVolumeOptions options;
  options.tear_page_a = true;
  Session s(BuildLogVolume(options));
  EXPECT_TRUE(ReportLogRecord(s.context, kStraddling.this_lsn));
  EXPECT_EQ(s.out.text(), Expected(kStraddling));
}

TEST(LogRecordReportTest, NegativeIndexBlockByteDoesNotChangeTheOutput) {
  for (uint8_t byte : {uint8_t{0xF4}, uint8_t{0xF3}}) {  // 4 KiB and 8 KiB buffers
    auto image = BuildLogVolume();
    image[0x44] = byte;
    for (const LogHeader* h : {&kStraddling, &kExample}) {
      Session s(image);
      EXPECT_TRUE(ReportLogRecord(s.context, h->this_lsn));
      EXPECT_EQ(s.out.text(), Expected(*h)) << int{byte};
    }
  }
}

TEST(LogRecordReportTest, UnusableBufferSizeFails) {
  for (uint8_t byte : {uint8_t{0}, uint8_t{0x7F}, uint8_t{0xEF}}) {
    auto image = BuildLogVolume();
    image[0x44] = byte;
    Session s(image);
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn)) << int{byte};
    EXPECT_EQ(s.out.text(), "");
  }
}

TEST(LogRecordReportTest, LogFileWithoutUsableData) {
  {
    RecordVolume v(RecordVolume::kFirstDataLcn + 1);
    v.AddResident(2, 0x10, 0, u"", std::vector<uint8_t>(0x48));
    Session s(v.Finish());
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn));
  }
  {
    RecordVolume v(RecordVolume::kFirstDataLcn + 1);
    v.AddResident(2, 0x80, 0, u"", {});
    Session s(v.Finish());
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn));
  }
  {
    // A log file shorter than its second restart page.
    RecordVolume v(RecordVolume::kFirstDataLcn + 1);
    v.AddNonResident(2, 0x80, 0, u"", {RunSpec{RecordVolume::kFirstDataLcn, 1}}, 0x1000);
    Session s(v.Finish());
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn));
  }
  {
    Session s(std::vector<uint8_t>(0x10000));  // no record 2 at all
    EXPECT_FALSE(ReportLogRecord(s.context, kExample.this_lsn));
  }
}

// ---------------------------------------------------------------------------
// The committed volumes: records planted by the volume script at the
// offsets their LSNs map to ("lsn <hex lsn> <hex header fields>").

std::vector<uint64_t> HexFields(const std::string& text) {
  std::vector<uint64_t> values;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of(" ,", at);
    if (end == std::string::npos) end = text.size();
    if (end > at) values.push_back(std::stoull(text.substr(at, end - at), nullptr, 16));
    at = end + 1;
  }
  return values;
}

TEST(LogRecordVolumeTest, PlantedRecordsThroughTheCommandLine) {
  size_t planted = 0;
  for (const std::string& name : testing::CommittedVolumeNames()) {
    const testing::TestVolume& volume = testing::LoadVolume(name);
    for (const testing::Fact* fact : volume.Facts("lsn")) {
      ASSERT_GE(fact->fields.size(), 2u) << name;
      const uint64_t lsn = std::stoull(fact->fields[0], nullptr, 16);
      std::vector<uint64_t> f = HexFields(fact->fields[1]);
      ASSERT_EQ(f.size(), 9u) << name << " " << fact->fields[1];
      LogHeader h{f[0], f[1], f[2], static_cast<uint32_t>(f[3]), static_cast<uint16_t>(f[4]),
                  static_cast<uint16_t>(f[5]), static_cast<uint32_t>(f[6]), static_cast<uint32_t>(f[7]),
                  static_cast<uint16_t>(f[8])};
      FakePlatform platform;
      platform.AddVolume(u'C', volume.image);
      char lsn_text[32];
      std::snprintf(lsn_text, sizeof lsn_text, "%llx", static_cast<unsigned long long>(lsn));
      auto run = testing::RunVelmora(platform, {u"-f", u"C:\\", u"-n", testing::U16(lsn_text)});
      char heading[96];
      std::snprintf(heading, sizeof heading, "Log file information (LSN : %016llX):\n",
                    static_cast<unsigned long long>(lsn));
      EXPECT_NE(run.out.find(std::string(heading) + Expected(h)), std::string::npos) << name << "\n" << run.out;

      // The same position under another sequence number holds no such record.
      const uint64_t other = lsn ^ (uint64_t{1} << 63);
      std::snprintf(lsn_text, sizeof lsn_text, "%llx", static_cast<unsigned long long>(other));
      run = testing::RunVelmora(platform, {u"-f", u"C:\\", u"-n", testing::U16(lsn_text)});
      EXPECT_NE(run.out.find(kNoMatch), std::string::npos) << name << "\n" << run.out;
      ++planted;
    }
  }
  if (planted == 0) GTEST_SKIP() << "no committed volume records planted log records (lsn facts)";
}

}  // namespace
}  // namespace velmora
