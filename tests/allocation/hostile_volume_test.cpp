// Volumes built to exhaust the reader: values that claim sizes or run
// counts no real volume has fail their read without the reader allocating
// what they claim; and the faults the fuzzers and the damaged-volume
// campaign found, each on the smallest volume that shows it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "ntfs/attribute_list.h"
#include "ntfs/data_runs.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "reports/file_record_report.h"
#include "reports/reports.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"

// The largest single allocation made while tracking is on. Replacing the
// global allocation functions is the one way to see an allocation that a
// read makes and frees again before returning. The sanitizer build keeps
// its own allocator (it would see the replacement's frees as mismatched);
// there the sizes read 0 and only the plain build checks them.
namespace {
std::atomic<bool> g_tracking{false};
std::atomic<size_t> g_largest{0};
}  // namespace

#if !defined(__SANITIZE_ADDRESS__)
void* operator new(size_t size) {
  if (g_tracking.load(std::memory_order_relaxed)) {
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The replacements pair with each other; g++ sees only free() meeting a
// pointer from operator new once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
#endif

namespace velmora {
namespace {

using testing::ListEntry;
using testing::Put16;
using testing::Put64;
using testing::RecordBuilder;
using testing::SingleRun;
using testing::SyntheticVolume;

// Runs fn and returns the largest allocation it made.
template <typename Fn>
size_t LargestAllocation(Fn&& fn) {
  g_largest = 0;
  g_tracking = true;
  fn();
  g_tracking = false;
  return g_largest;
}

void Open(VolumeContext& volume, std::span<const uint8_t> image) {
  ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(image), u"test"));
}

// An attribute record header whose value size field is patched after Build.
void SetNonResidentSize(std::vector<uint8_t>& image, uint64_t record, uint32_t type, uint64_t size) {
  const size_t at = SyntheticVolume::kMftLcn * SyntheticVolume::kCluster + record * 1024;
  std::vector<uint8_t> bytes(image.begin() + at, image.begin() + at + 1024);
  ASSERT_TRUE(ApplyUpdateSequence(bytes, 512));
  FileRecord parsed(bytes, RecordNumber(record));
  AttributeWalk walk(parsed);
  while (auto a = walk.Next()) {
    if (a->TypeCode() != type) continue;
    const size_t field = at + a->offset() + attr::kRealSize;
    ASSERT_LT((field % 512), 504u) << "the size field must not hold a protected word";
    for (int i = 0; i < 8; ++i) image[field + i] = static_cast<uint8_t>(size >> (8 * i));
    return;
  }
  FAIL() << "no attribute of type " << type;
}

// Record 30 with a non-resident list of `claimed` bytes whose first cluster
// holds real entries, a resident $FILE_NAME and a two-cluster $DATA.
class HugeListTest : public ::testing::Test {
 protected:
  void Build(uint64_t claimed) {
    std::vector<uint8_t> list;
    for (const auto& e : {ListEntry(0x30, 30, 2), ListEntry(0x80, 30, 3)}) list.insert(list.end(), e.begin(), e.end());
    list.resize(SyntheticVolume::kCluster);
    synthetic_.SetClusters(SyntheticVolume::kFreeLcn, list);
    synthetic_.SetClusters(SyntheticVolume::kFreeLcn + 1, std::vector<uint8_t>(1024, 0x5A));
    synthetic_.SetRecord(30, RecordBuilder(30)
                                 .NonResident(0x20, 1, u"", SingleRun(SyntheticVolume::kFreeLcn, 1), 0, 0, 64)
                                 .Resident(0x30, 2, u"", testing::FileNameValue(5, u"huge list.txt"))
                                 .NonResident(0x80, 3, u"", SingleRun(SyntheticVolume::kFreeLcn + 1, 2), 0, 1, 1024)
                                 .Build());
    SetNonResidentSize(synthetic_.image(), 30, 0x20, claimed);
    Open(volume_, synthetic_.image());
  }
  SyntheticVolume synthetic_;
  VolumeContext volume_;
};

// A list that claims 4 GiB (or just over the bound) is not read: the
// lookups through it find nothing and the value readers keep to the
// attribute's own runs, none of it allocating more than a record.
TEST_F(HugeListTest, ListClaimingGigabytesFailsWithoutAllocatingIt) {
  for (uint64_t claimed : {uint64_t{0x100000000}, kMaxAttributeListBytes + 1, kMaxWholeValueBytes}) {
    SCOPED_TRACE(claimed);
    Build(claimed);
    auto base = ReadFileRecord(volume_, RecordNumber(30));
    ASSERT_TRUE(base.has_value());
    const size_t largest = LargestAllocation([&] {
      EXPECT_FALSE(ReadAttributeListValue(volume_, *base).has_value());
      EXPECT_FALSE(FindFileAttribute(volume_, *base, AttrType::kData, nullptr).has_value());
      auto data = FindAttribute(*base, AttrType::kData, nullptr, nullptr);
      ASSERT_TRUE(data.has_value());
      AttributeReader reader = AttributeReader::ForFileAttribute(volume_, *base, *data);
      std::vector<uint8_t> value(1024);
      EXPECT_EQ(reader.ReadAttributeRange(0, value), 1024u);
      EXPECT_EQ(value[1023], 0x5A);
      // The -a table takes no rows from a list it will not read.
      AttributeRows rows;
      EXPECT_TRUE(CollectAttributeRows(volume_, FileReference(30), rows));
    });
    EXPECT_LT(largest, 64u << 10);
  }
}

// The same list at a size NTFS writes is read and followed.
TEST_F(HugeListTest, ListWithinTheBoundIsFollowed) {
  Build(64);
  auto base = ReadFileRecord(volume_, RecordNumber(30));
  ASSERT_TRUE(base.has_value());
  auto list = ReadAttributeListValue(volume_, *base);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(AttributeListEntries(*list).size(), 2u);
  auto data = FindFileAttribute(volume_, *base, AttrType::kData, nullptr);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->Id(), 3);
}

// Mapping pairs of `count` one-cluster holes ("01 01" each).
std::vector<uint8_t> Holes(size_t count) {
  std::vector<uint8_t> pairs;
  for (size_t i = 0; i < count; ++i) pairs.insert(pairs.end(), {0x01, 0x01});
  return pairs;
}

TEST(RunBoundTest, DecodingStopsAtTheBoundAndTheListCannotBeRead) {
  std::vector<uint8_t> image(64 << 10);
  Put16(image, boot::kBytesPerSector, 512);
  image[boot::kSectorsPerCluster] = 1;
  image[boot::kClustersPerRecord] = 0xF6;  // 1 KiB records
  VolumeContext volume;
  Open(volume, image);

  const auto within = Holes(kMaxRunsPerValue);
  RunList full;
  EXPECT_TRUE(full.AppendCursor(RunCursor(within, Vcn(0), Vcn(~uint64_t{0}))));
  EXPECT_FALSE(full.over_bound());
  std::vector<uint8_t> out(512, 0xEE);
  EXPECT_TRUE(ReadRunBytes(volume, full, 0, out, false));

  const auto beyond = Holes(kMaxRunsPerValue + 1);
  RunList over;
  const size_t largest =
      LargestAllocation([&] { EXPECT_FALSE(over.AppendCursor(RunCursor(beyond, Vcn(0), Vcn(~uint64_t{0})))); });
  EXPECT_TRUE(over.over_bound());
  EXPECT_LE(over.runs().size(), kMaxRunsPerValue);
  EXPECT_LE(largest, kMaxRunsPerValue * sizeof(velmora::Run));
  EXPECT_FALSE(ReadRunBytes(volume, over, 0, out, false));
  EXPECT_FALSE(ReadRunBytes(volume, over, 0, out, true));

  // Empty runs cost a decode step each and count alike.
  std::vector<uint8_t> empties;
  for (size_t i = 0; i <= kMaxRunsPerValue; ++i) empties.insert(empties.end(), {0x01, 0x00});
  RunList empty_runs;
  EXPECT_FALSE(empty_runs.AppendCursor(RunCursor(empties, Vcn(0), Vcn(~uint64_t{0}))));
  EXPECT_TRUE(empty_runs.over_bound());
  EXPECT_TRUE(empty_runs.runs().empty());
}

// A file whose $DATA is spread over 300 extents of 1,900 runs each: 570,000
// runs, past the bound. Its value cannot be read, and -w writes nothing,
// instead of reading what the runs below the bound map and zeros after it.
TEST(RunBoundTest, MillionRunFileFailsThatRead) {
  constexpr uint32_t kCluster = 4096;
  constexpr uint32_t kRecord = 4096;
  constexpr uint64_t kMftLcn = 4;
  constexpr uint64_t kExtents = 300;
  constexpr uint64_t kRunsPerExtent = 1900;
  constexpr uint64_t kFirstExtension = 24;
  constexpr uint64_t kMftRecords = kFirstExtension + kExtents;
  constexpr uint64_t kListLcn = kMftLcn + kMftRecords + 1;
  std::vector<uint8_t> image((kListLcn + 8) * kCluster);
  Put16(image, boot::kBytesPerSector, 512);
  image[boot::kSectorsPerCluster] = 8;
  Put64(image, boot::kMftLcn, kMftLcn);
  image[boot::kClustersPerRecord] = 0xF4;  // 4 KiB records
  auto put = [&](uint64_t number, const std::vector<uint8_t>& record) {
    std::copy(record.begin(), record.end(), image.begin() + kMftLcn * kCluster + number * kRecord);
  };
  put(0, RecordBuilder(0, kRecord)
             .NonResident(0x80, 1, u"", SingleRun(kMftLcn, kMftRecords), 0, kMftRecords - 1, kMftRecords * kRecord)
             .Build());

  std::vector<uint8_t> list;
  auto add = [&list](const std::vector<uint8_t>& e) { list.insert(list.end(), e.begin(), e.end()); };
  add(ListEntry(0x80, 20, 1));
  for (uint64_t i = 1; i < kExtents; ++i) add(ListEntry(0x80, kFirstExtension + i, 0, i * kRunsPerExtent));
  ASSERT_LE(list.size(), 8u * kCluster);
  std::copy(list.begin(), list.end(), image.begin() + kListLcn * kCluster);
  // Within what -w writes, so only the runs decide.
  constexpr uint64_t kValueBytes = 64u << 20;
  const uint64_t list_clusters = (list.size() + kCluster - 1) / kCluster;
  put(20, RecordBuilder(20, kRecord)
              .NonResident(0x20, 0, u"", SingleRun(kListLcn, list_clusters), 0, list_clusters - 1, list.size())
              .NonResident(0x80, 1, u"", Holes(kRunsPerExtent), 0, kRunsPerExtent - 1, kValueBytes)
              .Build());
  for (uint64_t i = 1; i < kExtents; ++i) {
    put(kFirstExtension + i, RecordBuilder(kFirstExtension + i, kRecord)
                                 .BaseReference(20)
                                 .NonResident(0x80, 0, u"", Holes(kRunsPerExtent), i * kRunsPerExtent,
                                              (i + 1) * kRunsPerExtent - 1, 0)
                                 .Build());
  }

  VolumeContext volume;
  Open(volume, image);
  auto base = ReadFileRecord(volume, RecordNumber(20));
  ASSERT_TRUE(base.has_value());
  auto data = FindAttribute(*base, AttrType::kData, nullptr, nullptr);
  ASSERT_TRUE(data.has_value());
  size_t largest = LargestAllocation([&] {
    AttributeReader reader = AttributeReader::ForFileAttribute(volume, *base, *data);
    std::vector<uint8_t> out(4096);
    EXPECT_FALSE(reader.ReadAttributeRange(0, out).has_value());
    EXPECT_FALSE(reader.ReadAttributeRange(kValueBytes - 4096, out).has_value());
  });
  EXPECT_LE(largest, kMaxRunsPerValue * sizeof(velmora::Run));

  testing::FakePlatform platform;
  StringSink out, err;
  Console console(out, err);
  ReportContext context{volume, platform, console};
  EXPECT_FALSE(WriteAttributeToFile(context, u"out.bin", FileReference(20), 1));
  EXPECT_TRUE(platform.files[u"out.bin"].empty());
}

// Extents of a value whose name is too long for the string's inline
// buffer: gathering them once compared list entries against a name that
// had already been freed (seen by the sanitizer build).
TEST(ExtentGatheringTest, LongNamedValueReadsThroughEveryExtent) {
  SyntheticVolume synthetic;
  const std::u16string name = u"a stream name longer than sixteen units";
  std::vector<uint8_t> list;
  for (const auto& e : {ListEntry(0x80, 30, 1, 0, name), ListEntry(0x80, 31, 0, 2, name)})
    list.insert(list.end(), e.begin(), e.end());
  synthetic.SetRecord(30, RecordBuilder(30)
                              .Resident(0x20, 3, u"", list)
                              .NonResident(0x80, 1, name, SingleRun(SyntheticVolume::kFreeLcn, 2), 0, 1, 4 * 512)
                              .Build());
  synthetic.SetRecord(31, RecordBuilder(31)
                              .BaseReference(30)
                              .NonResident(0x80, 0, name, SingleRun(SyntheticVolume::kFreeLcn + 10, 2), 2, 3, 0)
                              .Build());
  synthetic.SetClusters(SyntheticVolume::kFreeLcn, std::vector<uint8_t>(1024, 0xA1));
  synthetic.SetClusters(SyntheticVolume::kFreeLcn + 10, std::vector<uint8_t>(1024, 0xB2));
  VolumeContext volume;
  Open(volume, synthetic.image());
  auto base = ReadFileRecord(volume, RecordNumber(30));
  ASSERT_TRUE(base.has_value());
  const CountedName counted{name};
  auto data = FindFileAttribute(volume, *base, AttrType::kData, &counted);
  ASSERT_TRUE(data.has_value());
  AttributeReader reader = AttributeReader::ForFileAttribute(volume, *base, *data);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->size(), 2048u);
  EXPECT_EQ((*value)[0], 0xA1);
  EXPECT_EQ((*value)[2047], 0xB2);
}

}  // namespace
}  // namespace velmora
