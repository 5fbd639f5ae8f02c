// Free file records: which records count, their names and times, the runs
// of their data and how much of it $Bitmap has given to other files since;
// and the timeline's JSON carrying that count for deleted records.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/format.h"
#include "history/free_records.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "tests/support/fake_platform.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using testing::EncodeRuns;
using testing::FileNameValue;
using testing::Put64;
using testing::RecordBuilder;
using testing::RunSpec;
using testing::SyntheticVolume;

constexpr uint64_t kRoot = (uint64_t{1} << 48) | 5;
constexpr uint64_t kCreated = 132'223'104'000'000'000;  // 2020-01-01

std::vector<uint8_t> StandardInformation() {
  std::vector<uint8_t> v(0x48);
  for (int i = 0; i < 4; ++i) Put64(v, 8 * i, kCreated + uint64_t(i));
  return v;
}

struct Case {
  const char* what;
  uint64_t record;
  uint16_t flags;           // record header: 1 in use, 0 free
  bool bitmap_bit;          // the MFT bitmap's bit for it
  std::optional<std::vector<RunSpec>> runs;  // nullopt: a resident $DATA
  uint64_t last_vcn;        // of the extent (runs that stop short of it are not complete)
  bool named = true;
  // Expected
  bool listed;
  uint64_t clusters, reallocated;
  bool complete;
};

// Clusters 600-603 and 612 are allocated to something else now.
bool AllocatedNow(uint64_t lcn) { return (lcn >= 600 && lcn < 604) || lcn == 612; }

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"all clusters still free", 30, 0, false, std::vector<RunSpec>{{500, 4}}, 3, true, true, 4, 0, true},
      {"half reallocated", 31, 0, false, std::vector<RunSpec>{{598, 4}}, 3, true, true, 4, 2, true},
      {"a hole counts no cluster", 32, 0, false, std::vector<RunSpec>{{std::nullopt, 3}, {612, 1}}, 3, true, true, 1,
       1, true},
      {"resident data: nothing to lose", 33, 0, false, std::nullopt, 0, true, true, 0, 0, true},
      {"in use by its flag, free in the MFT bitmap", 34, 1, false, std::vector<RunSpec>{{520, 2}}, 1, true, true, 2,
       0, true},
      {"in use: not a free record", 35, 1, true, std::vector<RunSpec>{{530, 2}}, 1, true, false, 0, 0, false},
      {"free without a name: nothing to list", 36, 0, false, std::vector<RunSpec>{{540, 2}}, 1, false, false, 0, 0,
       false},
      {"runs stop before the value's end (later extents)", 37, 0, false, std::vector<RunSpec>{{600, 2}}, 9, true, true,
       2, 2, false},
      {"flag clear, bitmap bit still set", 38, 0, true, std::vector<RunSpec>{{550, 1}}, 0, true, true, 1, 0, true},
  };
  return cases;
}

SyntheticVolume CaseVolume() {
  SyntheticVolume v;
  // The MFT bitmap: system records and 5 in use, then the cases' bits.
  std::vector<uint8_t> mft_bitmap(8);
  for (uint64_t r : {0, 5, 6, 10}) mft_bitmap[r / 8] |= uint8_t(1u << (r % 8));
  for (const Case& c : Cases())
    if (c.bitmap_bit) mft_bitmap[c.record / 8] |= uint8_t(1u << (c.record % 8));
  const uint64_t mft_clusters = SyntheticVolume::kMftRecords * 1024 / SyntheticVolume::kCluster;
  v.SetRecord(0, RecordBuilder(0)
                     .Resident(0x30, 1, u"", FileNameValue(5, u"$MFT"))
                     .NonResident(0x80, 2, u"", testing::SingleRun(SyntheticVolume::kMftLcn, mft_clusters), 0,
                                  mft_clusters - 1, SyntheticVolume::kMftRecords * 1024)
                     .Resident(0xB0, 3, u"", mft_bitmap)
                     .Build());
  std::vector<uint8_t> clusters(SyntheticVolume::kClusters / 8);
  for (uint64_t lcn = 0; lcn < SyntheticVolume::kClusters; ++lcn)
    if (AllocatedNow(lcn)) clusters[lcn / 8] |= uint8_t(1u << (lcn % 8));
  v.SetRecord(6, RecordBuilder(6).Resident(0x80, 1, u"", clusters).Build());
  for (const Case& c : Cases()) {
    RecordBuilder record(c.record, 1024, c.flags);
    record.Resident(0x10, 0, u"", StandardInformation());
    if (c.named) record.Resident(0x30, 1, u"", FileNameValue(kRoot, u"case-" + std::u16string(1, u'0' + (c.record - 30))));
    if (c.runs) {
      record.NonResident(0x80, 2, u"", EncodeRuns(*c.runs), 0, c.last_vcn, (c.last_vcn + 1) * 512);
    } else {
      record.Resident(0x80, 2, u"", {'h', 'i'});
    }
    v.SetRecord(c.record, record.Build());
  }
  return v;
}

TEST(FreeRecords, WhichRecordsAndHowMuchOfTheirDataIsGone) {
  SyntheticVolume v = CaseVolume();
  VolumeContext volume;
  ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(v.image())),
                               u"test"));
  auto found = history::ReadFreeRecords(volume, kRootReference);
  ASSERT_TRUE(found) << Utf16ToUtf8(found.error().Line());
  EXPECT_EQ(found->left_out, 0u);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    const history::FreeRecord* record = nullptr;
    for (const auto& r : found->records)
      if (r.reference.Number() == c.record) record = &r;
    ASSERT_EQ(record != nullptr, c.listed);
    if (!record) continue;
    ASSERT_EQ(record->names.size(), 1u);
    EXPECT_EQ(record->names[0].path, "/case-" + std::string(1, char('0' + (c.record - 30))));
    EXPECT_FALSE(record->names[0].orphan);
    EXPECT_EQ(record->times.created, kCreated);
    EXPECT_TRUE(record->has_data);
    EXPECT_EQ(record->resident, !c.runs);
    EXPECT_EQ(record->runs.size(), c.runs ? c.runs->size() : 0u);
    EXPECT_EQ(record->runs_complete, c.complete);
    EXPECT_EQ(record->clusters, c.clusters);
    EXPECT_EQ(record->clusters_reallocated, c.reallocated);
  }
}

TEST(FreeRecords, ABoundKeepsTheFirstAndCountsTheRest) {
  SyntheticVolume v = CaseVolume();
  VolumeContext volume;
  ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(v.image())),
                               u"test"));
  auto mft_bitmap = history::ReadMftBitmap(volume);
  ASSERT_TRUE(mft_bitmap);
  auto bitmap = history::ClusterBitmap::Open(volume);
  ASSERT_TRUE(bitmap);
  auto scan = ScanMft(volume, history::FreeRecordScanOptions(*mft_bitmap));
  ASSERT_TRUE(scan);
  history::FreeRecords some = history::CollectFreeRecords(*scan, *bitmap, kRootReference, 2);
  ASSERT_EQ(some.records.size(), 2u);
  EXPECT_EQ(some.records[0].reference.Number(), 30u);
  EXPECT_EQ(some.left_out, 5u);
}

TEST(ClusterBitmapTest, CountsBitsAcrossBytesAndPastTheEnd) {
  SyntheticVolume v = CaseVolume();
  VolumeContext volume;
  ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(v.image())),
                               u"test"));
  auto bitmap = history::ClusterBitmap::Open(volume);
  ASSERT_TRUE(bitmap);
  const std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> cases = {
      // first cluster, count, allocated
      {500, 8, 0}, {598, 4, 2}, {596, 24, 5}, {600, 1, 1}, {604, 8, 0},
      {SyntheticVolume::kClusters - 2, 4, 2},  // two past the bitmap's end count as taken
  };
  for (const auto& [lcn, count, allocated] : cases)
    EXPECT_EQ(bitmap->CountAllocated(Lcn(lcn), count), allocated) << lcn << "+" << count;
}

TEST(FreeRecords, DeletedRecordsInTheJsonTimelineCarryTheirClusterCount) {
  SyntheticVolume v = CaseVolume();
  testing::FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  auto r = testing::RunVelmora(platform, {u"--timeline", u"--json", u"-f", u"C:\\"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/case-1", "\"deleted\":true,"},
      {"/case-1", "\"data_clusters\":4,\"clusters_reallocated\":2,"},
      {"/case-3", "\"data_clusters\":0,\"clusters_reallocated\":0,"},
      {"/case-5", "\"deleted\":false,"},
  };
  for (const auto& [path, part] : cases) {
    const size_t at = r.out.find("\"path\":\"" + path + "\"");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_NE(line.find(part), std::string::npos) << line;
  }
  // Runs that stop short say nothing rather than a share of part of the data;
  // a record in use never carries the count.
  for (const std::string path : {"/case-7", "/case-4", "/case-5"}) {
    const size_t at = r.out.find("\"path\":\"" + path + "\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(r.out.substr(at, r.out.find('\n', at) - at).find("clusters"), std::string::npos) << path;
  }
}

}  // namespace
}  // namespace velmora
