// The attributes of one file through its attribute list: damaged lists,
// how often the holding records are read, and the walks that once looped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "tests/support/deadline.h"
#include "tests/support/fake_platform.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using testing::Bytes;
using testing::ListEntry;
using testing::RecordBuilder;
using testing::SyntheticVolume;

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Base record 30 keeps an unnamed $DATA (id 1) beside its list; record 31
// is its extension with $DATA "a" (id 0); record 32 is an extension of
// record 40, another file; record 33 is never written.
struct DamagedListCase {
  const char* what;
  std::vector<Bytes> entries;
  std::vector<std::u16string> found;  // the $DATA names the set yields, in order
  std::string problem;                // a part of the one stderr line; empty: none
};

TEST(FileAttributesTest, DamagedListsArePassedOverWithOneReason) {
  const Bytes self = ListEntry(0x20, 30, 5);
  const std::vector<DamagedListCase> cases = {
      {"well formed", {ListEntry(0x80, 30, 1), ListEntry(0x80, 31, 0, 0, u"a")}, {u"", u"a"}, ""},
      {"an attribute named twice",
       {ListEntry(0x80, 30, 1), ListEntry(0x80, 31, 0, 0, u"a"), ListEntry(0x80, 31, 0, 0, u"a"),
        ListEntry(0x80, 30, 1)},
       {u"", u"a"},
       "names attribute instance 0x0 of record 0x1F twice"},
      {"a reference of another use of the record",
       {ListEntry(0x80, 30, 1), ListEntry(0x80, (uint64_t{7} << 48) | 31, 0, 0, u"a")},
       {u"", u"a"},
       "record 0x1F: has sequence number 1, but the attribute list of record 0x1E names it with 7"},
      {"the list naming itself", {self, ListEntry(0x80, 30, 1)}, {u""}, "names an $ATTRIBUTE_LIST (itself)"},
      {"a record of another file", {ListEntry(0x80, 30, 1), ListEntry(0x80, 32, 0, 0, u"f")}, {u""},
       "record 0x20: is named by the attribute list of record 0x1E but belongs to record 0x28"},
      {"a record never written", {ListEntry(0x80, 30, 1), ListEntry(0x80, 33, 0)}, {u""}, "not a file record"},
      {"an instance the record lacks", {ListEntry(0x80, 31, 7), ListEntry(0x80, 30, 1)}, {u""},
       "holds no attribute of type 0x80 with instance 0x7"},
      {"an instance of another type", {ListEntry(0x80, 30, 2), ListEntry(0x80, 30, 1)}, {u""},
       "holds no attribute of type 0x80 with instance 0x2"},
  };
  for (const DamagedListCase& c : cases) {
    SCOPED_TRACE(c.what);
    SyntheticVolume synthetic;
    synthetic.SetRecord(30, RecordBuilder(30)
                                .Resident(0x20, 0, u"", Concat(c.entries))
                                .Resident(0x80, 1, u"", {1})
                                .Resident(0x30, 2, u"", testing::FileNameValue(5, u"f"))
                                .Build());
    synthetic.SetRecord(31, RecordBuilder(31).BaseReference(30).Resident(0x80, 0, u"a", {2}).Build());
    synthetic.SetRecord(32, RecordBuilder(32).BaseReference(40).Resident(0x80, 0, u"f", {3}).Build());
    testing::ReportHarness h(synthetic.image());
    auto base = ReadFileRecord(h.volume, RecordNumber(30));
    ASSERT_TRUE(base.has_value());
    FileAttributes file = FileAttributes::Open(h.volume, std::move(*base));
    std::vector<std::u16string> names;
    for (const HeldAttribute& a : testing::WithinDeadline([&] { return file.Find(AttrType::kData, nullptr); }))
      names.push_back(a->Name());
    EXPECT_EQ(names, c.found);
    // Asked again, the same answer and no new reason: each problem is said once.
    EXPECT_EQ(file.Find(AttrType::kData, nullptr).size(), c.found.size());
    const std::vector<Error> problems = file.problems();
    if (c.problem.empty()) {
      EXPECT_TRUE(problems.empty());
    } else {
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_NE(Utf16ToUtf8(problems[0].Line()).find(c.problem), std::string::npos)
          << Utf16ToUtf8(problems[0].Line());
    }
  }
}

// 1,000 entries spread over 25 extension records (40 attributes each): the
// enumeration reads each holding record once and the list once, where a
// lookup per attribute would read the list and a record 1,000 times.
TEST(FileAttributesTest, EnumerationThroughALongListReadsEachHoldingRecordOnce) {
  constexpr uint64_t kFirstExtension = 31;
  constexpr uint64_t kExtensions = 25;
  constexpr uint16_t kPerRecord = 40;
  SyntheticVolume synthetic;
  std::vector<Bytes> entries;
  for (uint64_t r = 0; r < kExtensions; ++r) {
    RecordBuilder extension(kFirstExtension + r);
    extension.BaseReference(30);
    for (uint16_t id = 0; id < kPerRecord; ++id) {
      extension.Resident(0x80, id, u"", {});
      entries.push_back(ListEntry(0x80, kFirstExtension + r, id));
    }
    ASSERT_TRUE(extension.Fits());
    synthetic.SetRecord(kFirstExtension + r, extension.Build());
  }
  const Bytes list = Concat(entries);
  const uint64_t clusters = (list.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster;
  synthetic.SetClusters(SyntheticVolume::kFreeLcn, list);
  synthetic.SetRecord(30, RecordBuilder(30)
                              .NonResident(0x20, 0, u"", testing::SingleRun(SyntheticVolume::kFreeLcn, clusters), 0,
                                           clusters - 1, list.size())
                              .Build());
  testing::ReportHarness h(synthetic.image());
  auto base = ReadFileRecord(h.volume, RecordNumber(30));
  ASSERT_TRUE(base.has_value());

  const uint64_t reads_before = h.platform.reads;
  FileAttributes file = FileAttributes::Open(h.volume, std::move(*base));
  EXPECT_EQ(file.listed().size(), kExtensions * kPerRecord);
  size_t visited = 0;
  for (const HeldAttribute& a : file.Find(AttrType::kData, nullptr)) {
    file.Reader(a).ReadAttributeValue();
    ++visited;
  }
  EXPECT_EQ(visited, kExtensions * kPerRecord);
  EXPECT_EQ(file.records_read(), kExtensions);
  // The list's clusters and one read per holding record; nothing per attribute.
  EXPECT_LE(h.platform.reads - reads_before, kExtensions + clusters);
  EXPECT_TRUE(file.problems().empty());
}

// A file (not a directory) whose list names its $FILE_NAME twice: the
// listing's directory test, which once walked the list by hand, looped for
// ever when the drive was bound to an image.
TEST(FileAttributesTest, ListingAFileWhoseListNamesItsNameTwiceEnds) {
  SyntheticVolume synthetic;
  synthetic.SetRootEntries({{u"file", 30}});
  synthetic.SetRecord(30, RecordBuilder(30)
                              .Resident(0x20, 0, u"", Concat({ListEntry(0x30, 30, 1), ListEntry(0x30, 30, 1)}))
                              .Resident(0x30, 1, u"", testing::FileNameValue(5, u"file"))
                              .Build());
  testing::FakePlatform platform;
  platform.AddVolume(u'C', synthetic.image());
  const testing::RunResult run =
      testing::WithinDeadline([&] { return testing::RunVelmora(platform, {u"-f", u"C:\\file", u"-l"}); });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.err.find("twice"), std::string::npos) << run.err;
}

// Headers of 42 bytes (NTFS before 3.1) have no record number field: the
// update sequence array starts at 0x2A, where 48-byte headers keep it. The
// attributes an extension record holds are found by the number the record
// was read at.
TEST(FileAttributesTest, ExtensionRecordsWith42ByteHeadersGiveEveryAttribute) {
  SyntheticVolume synthetic;
  std::vector<Bytes> entries = {ListEntry(0x10, 30, 0)};
  for (uint16_t id = 0; id < 3; ++id) entries.push_back(ListEntry(0x30, 31, id));
  synthetic.SetRecord(30, RecordBuilder(30)
                              .Resident(0x10, 0, u"", Bytes(0x48, 0))
                              .Resident(0x20, 1, u"", Concat(entries))
                              .Build());
  RecordBuilder extension(31);
  extension.BaseReference(30);
  for (uint16_t id = 0; id < 3; ++id)
    extension.Resident(0x30, id, u"", testing::FileNameValue(5, u"name" + std::u16string(1, u'0' + id)));
  Bytes record = extension.Build();
  // Move the update sequence array from 0x30 to 0x2A: the record keeps its
  // attributes at 0x38, as a 42-byte header's record may.
  const uint16_t words = LeBytes(record).U16(record::kSizeOfUS);
  std::copy(record.begin() + 0x30, record.begin() + 0x30 + 2 * words, record.begin() + 0x2A);
  testing::Put16(record, record::kOffsetOfUS, 0x2A);
  synthetic.SetRecord(31, record);

  synthetic.SetRootEntries({{u"file", 30}});
  testing::ReportHarness h(synthetic.image());
  auto base = ReadFileRecord(h.volume, RecordNumber(30));
  ASSERT_TRUE(base.has_value());
  FileAttributes file = FileAttributes::Open(h.volume, std::move(*base));
  std::vector<uint16_t> ids;
  for (const HeldAttribute& a : file.Find(AttrType::kFileName, nullptr)) ids.push_back(a->Id());
  EXPECT_EQ(ids, (std::vector<uint16_t>{0, 1, 2}));
  EXPECT_TRUE(file.problems().empty());

  // The reports: -a lists the three names' entries, -v 3 decodes each
  // name, -d 3 dumps each value; nothing on stderr.
  testing::FakePlatform platform;
  platform.AddVolume(u'C', synthetic.image());
  const testing::RunResult run =
      testing::RunVelmora(platform, {u"-f", u"C:\\file", u"-a", u"-v", u"3", u"-d", u"3"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  auto count = [&run](const std::string& what) {
    size_t n = 0;
    for (size_t at = run.out.find(what); at != std::string::npos; at = run.out.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("$FILE_NAME(3)"), 3u) << run.out;
  for (const char* name : {"name0", "name1", "name2"}) EXPECT_NE(run.out.find(name), std::string::npos) << name;
  EXPECT_EQ(count("0000000000000000    "), 3u) << run.out;  // each value's first dump line
}

}  // namespace
}  // namespace velmora
