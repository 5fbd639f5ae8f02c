// -w: the value of one base-record attribute copied into a file, in a
// synthetic volume and in the test volumes against Sleuth Kit's icat.
// The guard that keeps the tool from writing to its own evidence, through
// the POSIX build on real files, is in write_guard_posix_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "ntfs/types.h"
#include "ntfs/volume.h"
#include "output/console.h"
#include "reports/reports.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::FakePlatform;
using testing::ListEntry;
using testing::Pattern;
using testing::RecordVolume;
using testing::RunSpec;

constexpr uint32_t kCluster = RecordVolume::kClusterBytes;
constexpr uint64_t kData = RecordVolume::kFirstDataLcn;

// ---------------------------------------------------------------------------
// A synthetic volume. Record 20 holds one attribute of each kind; record 21
// a $DATA whose second extent lies in record 22, named by 21's attribute list.

constexpr uint64_t kTarget = 20;
constexpr uint64_t kListed = 21;
constexpr uint64_t kExtension = 22;

enum : uint16_t {
  kIdStandard = 0,
  kIdResident = 1,     // 100 bytes
  kIdTwoChunks = 2,    // 0x10001 bytes, contiguous
  kIdSparse = 3,       // data, hole, data; ends inside a cluster
  kIdScattered = 4,    // runs out of LCN order
  kIdEmpty = 5,        // resident, 0 bytes
  kIdLimit = 6,        // exactly 0x8000000 bytes, mostly hole
  kIdOverLimit = 7,    // 0x8000001 bytes
};

// Where each value's clusters lie.
constexpr uint64_t kTwoChunksLcn = kData;               // 17 clusters
constexpr uint64_t kSparseLcn = kTwoChunksLcn + 17;     // 2 clusters
constexpr uint64_t kScatteredLcn = kSparseLcn + 2;      // 6 clusters
constexpr uint64_t kLimitLcn = kScatteredLcn + 6;       // 2 clusters
constexpr uint64_t kListedLcn = kLimitLcn + 2;          // 5 clusters
constexpr uint64_t kClusters = kListedLcn + 5;

constexpr uint64_t kLimitSize = 0x8000000;
constexpr uint64_t kSparseSize = 5 * kCluster - 100;
constexpr uint64_t kListedSize = 5 * kCluster - 7;

struct Synthetic {
  std::vector<uint8_t> image;
  std::map<uint16_t, std::vector<uint8_t>> expected;  // record 20's values by id
  std::vector<uint8_t> listed;                        // record 21's $DATA
};

const Synthetic& WriteVolume() {
  static const Synthetic built = [] {
    Synthetic s;
    RecordVolume v(kClusters);
    auto standard = Pattern(0x48, 1);
    v.AddResident(kTarget, 0x10, kIdStandard, u"", standard);
    s.expected[kIdStandard] = standard;

    auto resident = Pattern(100, 2);
    v.AddResident(kTarget, 0x80, kIdResident, u"", resident);
    s.expected[kIdResident] = resident;

    auto two = Pattern(17 * kCluster, 3);
    v.WriteClusters(kTwoChunksLcn, two);
    two.resize(0x10001);
    v.AddNonResident(kTarget, 0x80, kIdTwoChunks, u"two", {RunSpec{kTwoChunksLcn, 17}}, two.size());
    s.expected[kIdTwoChunks] = two;

    auto head = Pattern(kCluster, 4);
    auto tail = Pattern(kCluster, 5);
    v.WriteClusters(kSparseLcn, head);
    v.WriteClusters(kSparseLcn + 1, tail);
    v.AddNonResident(kTarget, 0x80, kIdSparse, u"sparse",
                     {RunSpec{kSparseLcn, 1}, RunSpec{std::nullopt, 3}, RunSpec{kSparseLcn + 1, 1}}, kSparseSize);
    std::vector<uint8_t> sparse(head);
    sparse.resize(4 * kCluster);
    sparse.insert(sparse.end(), tail.begin(), tail.end());
    sparse.resize(kSparseSize);
    s.expected[kIdSparse] = sparse;

    // Three runs of two clusters, placed last, first, middle on the volume.
    auto scattered = Pattern(6 * kCluster, 6);
    const uint64_t order[3] = {kScatteredLcn + 4, kScatteredLcn, kScatteredLcn + 2};
    std::vector<RunSpec> runs;
    for (int i = 0; i < 3; ++i) {
      v.WriteClusters(order[i], std::span<const uint8_t>(scattered).subspan(i * 2 * kCluster, 2 * kCluster));
      runs.push_back(RunSpec{order[i], 2});
    }
    scattered.resize(6 * kCluster - 1);
    v.AddNonResident(kTarget, 0x80, kIdScattered, u"scattered", runs, scattered.size());
    s.expected[kIdScattered] = scattered;

    v.AddResident(kTarget, 0x80, kIdEmpty, u"empty", {});

    v.WriteClusters(kLimitLcn, Pattern(kCluster, 7));
    v.WriteClusters(kLimitLcn + 1, Pattern(kCluster, 8));
    const uint64_t limit_clusters = kLimitSize / kCluster;
    v.AddNonResident(kTarget, 0x80, kIdLimit, u"limit",
                     {RunSpec{kLimitLcn, 1}, RunSpec{std::nullopt, limit_clusters - 2}, RunSpec{kLimitLcn + 1, 1}},
                     kLimitSize);
    v.AddNonResident(kTarget, 0x80, kIdOverLimit, u"over",
                     {RunSpec{kLimitLcn, 1}, RunSpec{std::nullopt, limit_clusters - 1}, RunSpec{kLimitLcn + 1, 1}},
                     kLimitSize + 1);

    // Record 21: $STANDARD_INFORMATION 0, $DATA 1 (VCN 0-2 here), list 2;
    // record 22: the $DATA extent from VCN 3, instance 5.
    s.listed = Pattern(5 * kCluster, 9);
    v.WriteClusters(kListedLcn, s.listed);
    s.listed.resize(kListedSize);
    v.AddResident(kListed, 0x10, 0, u"", Pattern(0x48, 10));
    v.AddNonResident(kListed, 0x80, 1, u"", {RunSpec{kListedLcn, 3}}, kListedSize);
    std::vector<uint8_t> list;
    const uint64_t sequence_1 = uint64_t{1} << 48;
    for (auto entry : {ListEntry(0x10, kListed | sequence_1, 0), ListEntry(0x80, kListed | sequence_1, 1),
                       ListEntry(0x80, kExtension | sequence_1, 5, 3)})
      list.insert(list.end(), entry.begin(), entry.end());
    v.AddResident(kListed, 0x20, 2, u"", list);
    v.AddNonResident(kExtension, 0x80, 5, u"", {RunSpec{kListedLcn + 3, 2}}, 0, 3);
    v.SetBaseReference(kExtension, kListed | (uint64_t{1} << 48));

    s.image = v.Finish();
    return s;
  }();
  return built;
}

struct Session : testing::ReportHarness {
  using testing::ReportHarness::ReportHarness;
  bool Write(uint64_t record, uint32_t id) {
    return WriteAttributeToFile(context, kOut, FileReference(record), id);
  }
  const std::vector<uint8_t>* Output() const {
    auto it = platform.files.find(std::u16string(kOut));
    return it == platform.files.end() ? nullptr : &it->second;
  }
  static constexpr std::u16string_view kOut = u"/tmp/out.bin";
};

TEST(WriteAttributeTest, EveryKindOfValueComesOutWhole) {
  const Synthetic& s = WriteVolume();
  for (const auto& [id, expected] : s.expected) {
    Session session(s.image);
    ASSERT_TRUE(session.opened);
    EXPECT_TRUE(session.Write(kTarget, id)) << id;
    ASSERT_TRUE(session.Output()) << id;
    EXPECT_EQ(session.Output()->size(), expected.size()) << id;
    EXPECT_TRUE(*session.Output() == expected) << id;
    EXPECT_EQ(session.out.text(), "");
    EXPECT_EQ(session.err.text(), "");
  }
}

TEST(WriteAttributeTest, ValueWithExtentsInAnotherRecordIsReadThroughTheList) {
  const Synthetic& s = WriteVolume();
  Session session(s.image);
  EXPECT_TRUE(session.Write(kListed, 1));
  ASSERT_TRUE(session.Output());
  EXPECT_EQ(session.Output()->size(), s.listed.size());
  EXPECT_TRUE(*session.Output() == s.listed);
}

TEST(WriteAttributeTest, OnlyTheBaseRecordsOwnAttributesCanBeChosen) {
  // Instance 5 lives in the extension record only.
  const Synthetic& s = WriteVolume();
  Session session(s.image);
  EXPECT_FALSE(session.Write(kListed, 5));
  EXPECT_EQ(session.Output(), nullptr);
}

TEST(WriteAttributeTest, UnknownIdsLeaveAnExistingFileAsItWas) {
  const Synthetic& s = WriteVolume();
  // 0x10002 would be instance 2 if the id were cut to 16 bits.
  for (uint32_t id : {0x8u, 0xFFFFu, 0x10002u, 0xFFFFFFFFu}) {
    Session session(s.image);
    session.platform.files[std::u16string(Session::kOut)] = {1, 2, 3};
    EXPECT_FALSE(session.Write(kTarget, id)) << id;
    ASSERT_TRUE(session.Output());
    EXPECT_EQ(*session.Output(), (std::vector<uint8_t>{1, 2, 3})) << id;
    EXPECT_EQ(session.out.text(), "");
    EXPECT_EQ(session.err.text(), Utf16ToUtf8(Format("record 0x%I64X: no attribute with instance 0x%X in the base "
                                                     "record (the INSTANCE column of -a)\n",
                                                     kTarget, id)));
  }
}

TEST(WriteAttributeTest, EmptyValueFails) {
  Session session(WriteVolume().image);
  EXPECT_FALSE(session.Write(kTarget, kIdEmpty));
  EXPECT_EQ(session.Output(), nullptr);
  EXPECT_NE(session.err.text().find("its value is empty"), std::string::npos);
}

TEST(WriteAttributeTest, SizeLimitIsInclusive) {
  {
    Session session(WriteVolume().image);
    EXPECT_TRUE(session.Write(kTarget, kIdLimit));
    ASSERT_TRUE(session.Output());
    const std::vector<uint8_t>& got = *session.Output();
    ASSERT_EQ(got.size(), kLimitSize);
    auto first = Pattern(kCluster, 7);
    auto last = Pattern(kCluster, 8);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin()));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), got.end() - kCluster));
    EXPECT_TRUE(std::all_of(got.begin() + kCluster, got.end() - kCluster, [](uint8_t b) { return b == 0; }));
  }
  {
    Session session(WriteVolume().image);
    EXPECT_FALSE(session.Write(kTarget, kIdOverLimit));
    EXPECT_EQ(session.Output(), nullptr);
    EXPECT_NE(session.err.text().find("134217729 bytes"), std::string::npos);
  }
}

TEST(WriteAttributeTest, UnreadableTargetOrClustersFail) {
  const Synthetic& s = WriteVolume();
  {
    Session session(s.image);
    EXPECT_FALSE(session.Write(23, 0));  // no record there
    EXPECT_EQ(session.Output(), nullptr);
    EXPECT_NE(session.err.text().find("record 0x17: "), std::string::npos);
  }
  {
    // The image ends after the first 16 of the value's 17 clusters: the
    // first chunk is written, the second cannot be read, and the half
    // written file never takes the output's name.
    std::vector<uint8_t> cut(s.image.begin(), s.image.begin() + (kTwoChunksLcn + 16) * kCluster);
    Session session(cut);
    EXPECT_FALSE(session.Write(kTarget, kIdTwoChunks));
    EXPECT_EQ(session.Output(), nullptr);
    EXPECT_NE(session.err.text().find("cannot be read at byte offset 0x10000"), std::string::npos);
  }
}

TEST(WriteAttributeTest, RefusedOutputReadsNothingAndSaysWhy) {
  Session session(WriteVolume().image);
  session.platform.refuse_output = true;
  const uint64_t reads = session.platform.reads;
  EXPECT_FALSE(session.Write(kTarget, kIdResident));
  EXPECT_EQ(session.Output(), nullptr);
  EXPECT_EQ(session.platform.reads, reads);
  EXPECT_EQ(session.out.text(), "");
  EXPECT_EQ(session.err.text(), "/tmp/out.bin: refused\n");
}

// ---------------------------------------------------------------------------
// The committed volumes through the command line, against icat's bytes
// ("value <recno> <type> <id> <name> <size> <sha256> <kind>"). The value
// facts carry Sleuth Kit's ids, which in a record with an attribute list are
// not always the instances on disk; there the list's entries ("listentry
// <recno> <type> <instance> <holding recno> <vcn> <name>") give the instance,
// and only attributes that start in the base record can be chosen.

struct ListEntryFact {
  uint32_t type = 0;
  uint32_t instance = 0;
  uint64_t holder = 0;
  uint64_t vcn = 0;
  std::string name;
};

std::vector<const testing::Fact*> FactsOf(const std::vector<testing::Fact>& facts, const std::string& kind) {
  std::vector<const testing::Fact*> found;
  for (const testing::Fact& fact : facts)
    if (fact.kind == kind) found.push_back(&fact);
  return found;
}

class VolumeWriter {
 public:
  VolumeWriter(const std::string& name, std::span<const uint8_t> image, const std::vector<testing::Fact>& facts)
      : name_(name) {
    platform_.AddVolume(u'C', image);
    for (const testing::Fact* fact : FactsOf(facts, "raw"))
      raw_[fact->fields.at(0) + "-" + fact->fields.at(1) + "-" + fact->fields.at(2)] = fact->fields.at(5);
  }

  // -w of the value fact's attribute by the given instance; returns the
  // kind checked, or "" when the value has no bytes to compare.
  std::string Check(const testing::Fact& fact, uint32_t instance) {
    const auto& f = fact.fields;
    const std::string key = f[0] + "-" + f[1] + "-" + f[2];
    const std::string what = name_ + " " + key + " as instance " + std::to_string(instance);
    const uint64_t size = std::stoull(f[4]);
    std::string digest = f[5];
    const std::string& kind = f[6];
    // $Boot starts with a jump and "NTFS", never with zeros: a zero digest
    // is a manifest that took its cluster 0 for a hole.
    if (f[0] == "7" && digest == testing::Sha256Hex(std::vector<uint8_t>(size))) return "";
    // A compressed value is written as stored, not expanded.
    if (kind == "compressed") {
      if (!raw_.count(key)) return "";
      digest = raw_[key];
    }
    const std::u16string out = testing::U16("/out/" + name_ + "/" + key);
    auto run = testing::RunVelmora(platform_, {u"-f", u"C:\\", u"-r", testing::U16(testing::Hex(std::stoull(f[0]))), u"-w",
                                               testing::U16(testing::Hex(instance)), out});
    const bool writable = size != 0 && size <= kLimitSize;
    EXPECT_NE(run.out.find(writable ? "Write file succeed.\n" : "Write file failed.\n"), std::string::npos)
        << what << "\n"
        << run.out;
    auto it = platform_.files.find(out);
    if (!writable) {
      EXPECT_TRUE(it == platform_.files.end()) << what << ": a failed write left a file";
      return kind;
    }
    if (it == platform_.files.end()) {
      ADD_FAILURE() << what << ": no output file";
      return kind;
    }
    EXPECT_EQ(it->second.size(), size) << what;
    EXPECT_EQ(testing::Sha256Hex(it->second), digest) << what << " " << kind;
    platform_.files.erase(it);
    return kind;
  }

 private:
  std::string name_;
  FakePlatform platform_;
  std::map<std::string, std::string> raw_;  // stored bytes of compressed values
};

TEST(WriteAttributeVolumeTest, ValuesMatchIcat) {
  std::map<std::string, size_t> checked;
  for (const std::string& name : testing::CommittedVolumeNames()) {
    const testing::TestVolume& volume = testing::LoadVolume(name);
    std::set<std::string> listed;
    for (const testing::Fact* fact : volume.Facts("attrlist")) listed.insert(fact->fields.at(0));
    VolumeWriter writer(name, volume.image, volume.facts);
    for (const testing::Fact* fact : volume.Facts("value")) {
      ASSERT_GE(fact->fields.size(), 7u);
      if (listed.count(fact->fields[0])) continue;
      const std::string kind = writer.Check(*fact, std::stoul(fact->fields[2]));
      if (!kind.empty()) ++checked[kind];
    }
  }
  if (checked.empty()) GTEST_SKIP() << "no committed volumes";
  for (const char* kind : {"resident", "nonresident", "sparse"})
    EXPECT_GT(checked[kind], 0u) << "no " << kind << " value checked";
}

// Records with an attribute list: each attribute whose first extent (VCN 0)
// the list places in the base record is written by the instance the entry
// stores, through every extent, however Sleuth Kit numbered it.
struct ListedCounts {
  size_t written = 0;
  size_t through_extensions = 0;  // values with later extents in other records
  size_t elsewhere = 0;           // attributes that start in an extension record
};

void CheckListedRecords(const std::string& name, std::span<const uint8_t> image,
                        const std::vector<testing::Fact>& facts, ListedCounts& counts) {
  std::map<std::string, std::vector<ListEntryFact>> lists;
  for (const testing::Fact* fact : FactsOf(facts, "attrlist")) lists[fact->fields.at(0)];
  for (const testing::Fact* fact : FactsOf(facts, "listentry")) {
    const auto& f = fact->fields;
    ASSERT_EQ(f.size(), 6u) << name;
    lists[f[0]].push_back({static_cast<uint32_t>(std::stoul(f[1])), static_cast<uint32_t>(std::stoul(f[2])),
                           std::stoull(f[3]), std::stoull(f[4]), f[5]});
  }
  VolumeWriter writer(name, image, facts);
  for (const testing::Fact* fact : FactsOf(facts, "value")) {
    const auto& f = fact->fields;
    auto list = lists.find(f[0]);
    if (list == lists.end()) continue;
    SCOPED_TRACE(name + " record " + f[0] + " type " + f[1] + " name " + f[3]);
    ASSERT_FALSE(list->second.empty()) << "attrlist without listentry lines: an old manifest";
    const uint64_t recno = std::stoull(f[0]);
    const uint32_t type = std::stoul(f[1]);
    if (type == ToU32(AttrType::kAttributeList)) {
      // The list names not itself; it always lies in the base record,
      // whose ids Sleuth Kit keeps. A wrong id could not write its bytes.
      if (!writer.Check(*fact, std::stoul(f[2])).empty()) ++counts.written;
      continue;
    }
    const ListEntryFact* first = nullptr;
    bool split = false;
    for (const ListEntryFact& entry : list->second) {
      if (entry.type != type || entry.name != f[3]) continue;
      if (entry.holder != recno) split = true;
      if (entry.vcn == 0) {
        ASSERT_EQ(first, nullptr) << "two attributes of the same type and name";
        first = &entry;
      }
    }
    ASSERT_NE(first, nullptr) << "no list entry at VCN 0";
    if (first->holder != recno) {
      ++counts.elsewhere;
      continue;
    }
    if (writer.Check(*fact, first->instance).empty()) continue;
    ++counts.written;
    if (split) ++counts.through_extensions;
  }
}

TEST(WriteAttributeVolumeTest, ListedRecordsWriteTheAttributesOfTheirBaseRecord) {
  std::vector<std::string> names = testing::CommittedVolumeNames();
  if (names.empty()) GTEST_SKIP() << "no committed volumes";
  ListedCounts counts;
  for (const std::string& name : names) {
    const testing::TestVolume& volume = testing::LoadVolume(name);
    CheckListedRecords(name, volume.image, volume.facts, counts);
  }
  EXPECT_GT(counts.written, 0u);
  EXPECT_GT(counts.through_extensions, 0u) << "no value split between the base record and an extension record";
  EXPECT_GT(counts.elsewhere, 0u) << "no attribute held in an extension record only";
}

// The large set: 128 MiB (the largest value -w writes) over a dozen extents
// in as many extension records.
TEST(WriteAttributeVolumeTest, LargeListedRecordsWriteTheAttributesOfTheirBaseRecord) {
  std::vector<testing::LargeVolume> volumes = testing::LargeVolumes();
  if (volumes.empty()) GTEST_SKIP() << "no large test volumes (VELMORA_LARGE_DATA)";
  ListedCounts counts;
  bool listed = false;
  for (const testing::LargeVolume& volume : volumes) {
    if (FactsOf(volume.facts, "attrlist").empty()) continue;
    listed = true;
    const std::vector<uint8_t> image = volume.LoadImage();
    CheckListedRecords(volume.name, image, volume.facts, counts);
  }
  if (!listed) GTEST_SKIP() << "no large volume with an attribute list";
  EXPECT_GT(counts.through_extensions, 0u) << "no value split between the base record and extension records";
}

TEST(WriteAttributeVolumeTest, CommandLineReportsARefusalAndAnUnknownId) {
  std::vector<std::string> names = testing::CommittedVolumeNames();
  if (names.empty()) GTEST_SKIP() << "no committed volumes";
  const testing::TestVolume& volume = testing::LoadVolume(names.front());
  FakePlatform platform;
  platform.AddVolume(u'C', volume.image);

  platform.refuse_output = true;
  auto run = testing::RunVelmora(platform, {u"-f", u"C:\\", u"-w", u"0", u"/out/refused"});
  EXPECT_NE(run.out.find("Write attribute body to file (/out/refused):\nWrite file failed.\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "/out/refused: refused\n");
  EXPECT_TRUE(platform.files.empty());

  platform.refuse_output = false;
  run = testing::RunVelmora(platform, {u"-f", u"C:\\", u"-w", u"10000", u"/out/unknown"});
  EXPECT_NE(run.out.find("Write attribute body to file (/out/unknown):\nWrite file failed.\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "record 0x5: no attribute with instance 0x10000 in the base record (the INSTANCE column of -a)\n");
  EXPECT_EQ(platform.files.count(u"/out/unknown"), 0u);
}

}  // namespace
}  // namespace velmora
