// The reports that read the volume's own tables: -c ($AttrDef) and -e (the
// first free record in the MFT bitmap). Inline bitmaps, records built in
// memory, and the committed volumes against fsstat and istat.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reports/reports.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

constexpr uint64_t kNotFound = ~uint64_t{0};

uint64_t FirstClear(std::vector<uint8_t> bitmap) { return FindFirstClearBit(bitmap); }

TEST(FindFirstClearBit, TooShortForOneWord) {
  EXPECT_EQ(FirstClear({}), kNotFound);
  EXPECT_EQ(FirstClear({0x00, 0x00, 0x00}), kNotFound);
}

TEST(FindFirstClearBit, FirstWordTestsRecords24To31Only) {
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0x00}), 0x18u);  // 0x00FFFFFF: 24 to 31 free
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0x7F}), 31u);
  EXPECT_EQ(FirstClear({0x00, 0x00, 0x00, 0x00}), 24u);
  // Reserved records 0 to 23 clear, 24 to 31 set; second word 0x7FFFFFFF.
  EXPECT_EQ(FirstClear({0xF0, 0x0F, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 0x3Fu);
  // Only reserved records free, nothing after.
  EXPECT_EQ(FirstClear({0x00, 0x00, 0x00, 0xFF}), kNotFound);
}

TEST(FindFirstClearBit, FirstWordThatIsNotFull) {
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}), 0x20u);
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF}), 79u);
  // The lowest clear bit of the first byte that is not full.
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF5, 0x00}), 81u);
  // A clear bit in a later word does not matter once one is found.
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xFF, 0x00, 0x00, 0x00, 0x00}), 52u);
}

TEST(FindFirstClearBit, TrailingBytesAfterTheLastWholeWord) {
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}), 0x29u);
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), kNotFound);
  EXPECT_EQ(FirstClear({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 87u);
  // Every bit from 24 on set.
  EXPECT_EQ(FirstClear(std::vector<uint8_t>(4096, 0xFF)), kNotFound);
  std::vector<uint8_t> large(1 << 20, 0xFF);
  large.back() = 0x7F;
  EXPECT_EQ(FirstClear(large), 8 * large.size() - 1);
}

std::vector<uint8_t> RecordZero(const std::vector<uint8_t>& bitmap, bool non_resident = false,
                                uint64_t real_size = 0) {
  const uint64_t mft_clusters = SyntheticVolume::kMftRecords * 1024 / SyntheticVolume::kCluster;
  RecordBuilder record(0);
  record.Resident(0x30, 1, u"", FileNameValue(5, u"$MFT"))
      .NonResident(0x80, 2, u"", SingleRun(SyntheticVolume::kMftLcn, mft_clusters), 0, mft_clusters - 1,
                   SyntheticVolume::kMftRecords * 1024);
  if (non_resident) {
    record.NonResident(0xB0, 3, u"", SingleRun(SyntheticVolume::kFreeLcn, 1), 0, 0, real_size);
  } else {
    record.Resident(0xB0, 3, u"", bitmap);
  }
  return record.Build();
}

// The whole run of one report, through the command line.
std::string Section(SyntheticVolume& v, const std::u16string& option, const std::u16string& target = u"C:\\") {
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {option, u"-f", target});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  size_t section = r.out.find("=====================\n");
  return section == std::string::npos ? r.out : r.out.substr(section);
}

constexpr std::string_view kUnusedTitle = "=====================\nThe first unused file record reference :\n";

TEST(FirstUnusedRecord, PrintsTheBareRecordNumber) {
  SyntheticVolume v;
  v.SetRecord(0, RecordZero({0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Section(v, u"-e"), std::string(kUnusedTitle) + "\t0000000000000020\n");
}

TEST(FirstUnusedRecord, NothingToReport) {
  SyntheticVolume none;  // record 0 without $BITMAP
  EXPECT_EQ(Section(none, u"-e"), std::string(kUnusedTitle) + "\tNONE\n");
  SyntheticVolume short_bitmap;
  short_bitmap.SetRecord(0, RecordZero({0x00, 0x00, 0x00}));
  EXPECT_EQ(Section(short_bitmap, u"-e"), std::string(kUnusedTitle) + "\tNONE\n");
  SyntheticVolume full;
  full.SetRecord(0, RecordZero(std::vector<uint8_t>(16, 0xFF)));
  EXPECT_EQ(Section(full, u"-e"), std::string(kUnusedTitle) + "\tNONE\n");
}

TEST(FirstUnusedRecord, NonResidentBitmapEndsAtItsSize) {
  // 8 full bytes; the rest of the cluster is zero but not part of the value.
  SyntheticVolume v;
  std::vector<uint8_t> cluster(SyntheticVolume::kCluster, 0x00);
  std::fill(cluster.begin(), cluster.begin() + 8, 0xFF);
  v.SetClusters(SyntheticVolume::kFreeLcn, cluster);
  v.SetRecord(0, RecordZero({}, true, 8));
  EXPECT_EQ(Section(v, u"-e"), std::string(kUnusedTitle) + "\tNONE\n");
  // One byte more reaches the free records.
  v.SetRecord(0, RecordZero({}, true, 9));
  EXPECT_EQ(Section(v, u"-e"), std::string(kUnusedTitle) + "\t0000000000000040\n");
}

TEST(FirstUnusedRecord, SameWhateverTheTarget) {
  SyntheticVolume v;
  v.SetRecord(0, RecordZero({0xFF, 0xFF, 0xFF, 0x0F}));
  v.SetRecord(30, RecordBuilder(30).Resident(0x30, 1, u"", FileNameValue(5, u"file.txt")).Build());
  v.SetRootEntries({{u"file.txt", 30}});
  EXPECT_EQ(Section(v, u"-e", u"C:\\file.txt"), std::string(kUnusedTitle) + "\t000000000000001C\n");
  EXPECT_EQ(Section(v, u"-e", u"C:\\"), std::string(kUnusedTitle) + "\t000000000000001C\n");
}

// One $AttrDef entry.
std::vector<uint8_t> Definition(const std::u16string& name, uint32_t type, uint32_t flags, uint64_t minimum,
                                uint64_t maximum) {
  std::vector<uint8_t> e(0xA0);
  auto units = Utf16Bytes(name);
  std::copy(units.begin(), units.end(), e.begin());
  Put32(e, 0x80, type);
  Put32(e, 0x84, 0x11111111);  // display rule: not printed
  Put32(e, 0x88, 0x22222222);  // collation rule: not printed
  Put32(e, 0x8C, flags);
  Put64(e, 0x90, minimum);
  Put64(e, 0x98, maximum);
  return e;
}

std::vector<uint8_t> Table(const std::vector<std::vector<uint8_t>>& entries) {
  std::vector<uint8_t> out;
  for (const auto& e : entries) out.insert(out.end(), e.begin(), e.end());
  return out;
}

constexpr std::string_view kAttrDefTitle =
    "=====================\nShow attributes definition:\n"
    "Attribute name\t\tType      Flags     Minimum\t      Maximum\n";

const std::vector<std::vector<uint8_t>> kThreeDefinitions = {
    Definition(u"$STANDARD_INFORMATION", 0x10, 0x40, 0x30, 0x48),
    Definition(u"$X", 0x80, 0, 0, ~uint64_t{0}),
    Definition(std::u16string(64, u'N'), 0x1000, 0x82, 1, 2),
};
const std::string kThreeLines =
    "$STANDARD_INFORMATION\t00000010  00000040  0000000000000030  0000000000000048\n"
    "$X                  \t00000080  00000000  0000000000000000  FFFFFFFFFFFFFFFF\n" +
    std::string(64, 'N') + "\t00001000  00000082  0000000000000001  0000000000000002\n";

SyntheticVolume WithAttrDef(const std::vector<uint8_t>& value) {
  SyntheticVolume v;
  v.SetRecord(4, RecordBuilder(4)
                     .Resident(0x30, 1, u"", FileNameValue(5, u"$AttrDef"))
                     .Resident(0x80, 2, u"", value)
                     .Build());
  return v;
}

TEST(AttributeDefinitions, EntriesUpToTheZeroType) {
  std::vector<std::vector<uint8_t>> entries = kThreeDefinitions;
  entries.push_back(std::vector<uint8_t>(0xA0, 0));
  entries.push_back(Definition(u"$AFTER", 0x90, 0, 0, 0));
  SyntheticVolume v = WithAttrDef(Table(entries));
  EXPECT_EQ(Section(v, u"-c"), std::string(kAttrDefTitle) + kThreeLines);
}

TEST(AttributeDefinitions, ValueEndsWithoutZeroEntry) {
  SyntheticVolume exact = WithAttrDef(Table(kThreeDefinitions));
  EXPECT_EQ(Section(exact, u"-c"), std::string(kAttrDefTitle) + kThreeLines);
  // An entry cut by the end of the value is not printed.
  std::vector<uint8_t> cut = Table(kThreeDefinitions);
  std::vector<uint8_t> partial = Definition(u"$PARTIAL", 0x90, 0, 0, 0);
  cut.insert(cut.end(), partial.begin(), partial.begin() + 0x9F);
  SyntheticVolume v = WithAttrDef(cut);
  EXPECT_EQ(Section(v, u"-c"), std::string(kAttrDefTitle) + kThreeLines);
}

TEST(AttributeDefinitions, NonResidentValueUsesTheLow32BitsOfItsSize) {
  std::vector<uint8_t> clusters = Table(kThreeDefinitions);
  clusters.resize(SyntheticVolume::kCluster, 0);
  SyntheticVolume v;
  v.SetClusters(SyntheticVolume::kFreeLcn, clusters);
  v.SetRecord(4, RecordBuilder(4)
                     .Resident(0x30, 1, u"", FileNameValue(5, u"$AttrDef"))
                     .NonResident(0x80, 2, u"", SingleRun(SyntheticVolume::kFreeLcn, 1), 0, 0, 0x100000000 + 2 * 0xA0)
                     .Build());
  EXPECT_EQ(Section(v, u"-c"),
            std::string(kAttrDefTitle) +
                "$STANDARD_INFORMATION\t00000010  00000040  0000000000000030  0000000000000048\n"
                "$X                  \t00000080  00000000  0000000000000000  FFFFFFFFFFFFFFFF\n");
}

TEST(AttributeDefinitions, Failures) {
  constexpr std::string_view kNone = "=====================\nShow attributes definition:\n\tNONE\n";
  SyntheticVolume no_data;
  no_data.SetRecord(4, RecordBuilder(4).Resident(0x30, 1, u"", FileNameValue(5, u"$AttrDef")).Build());
  EXPECT_EQ(Section(no_data, u"-c"), kNone);
  SyntheticVolume empty = WithAttrDef({});
  EXPECT_EQ(Section(empty, u"-c"), kNone);
  SyntheticVolume unreadable;
  unreadable.SetRecord(4, RecordBuilder(4)
                              .Resident(0x30, 1, u"", FileNameValue(5, u"$AttrDef"))
                              .NonResident(0x80, 2, u"", SingleRun(0x7FFFFF, 1), 0, 0, 0xA0)
                              .Build());
  EXPECT_EQ(Section(unreadable, u"-c"), kNone);
}

// ---- The committed volumes ----

// $AttrDef as mkntfs writes it, from fsstat's "$AttrDef Attribute Values"
// (name, type, "Size: min-max", flag words Resident = 0x40, Non-resident =
// 0x80, Index = 0x02) and, where fsstat says "No Limit", the bytes icat
// gives of record 4 (minimum 0, maximum all ones).
constexpr std::string_view kMkntfsAttrDef =
    "$STANDARD_INFORMATION\t00000010  00000040  0000000000000030  0000000000000048\n"
    "$ATTRIBUTE_LIST     \t00000020  00000080  0000000000000000  FFFFFFFFFFFFFFFF\n"
    "$FILE_NAME          \t00000030  00000042  0000000000000044  0000000000000242\n"
    "$OBJECT_ID          \t00000040  00000040  0000000000000000  0000000000000100\n"
    "$SECURITY_DESCRIPTOR\t00000050  00000080  0000000000000000  FFFFFFFFFFFFFFFF\n"
    "$VOLUME_NAME        \t00000060  00000040  0000000000000002  0000000000000100\n"
    "$VOLUME_INFORMATION \t00000070  00000040  000000000000000C  000000000000000C\n"
    "$DATA               \t00000080  00000000  0000000000000000  FFFFFFFFFFFFFFFF\n"
    "$INDEX_ROOT         \t00000090  00000040  0000000000000000  FFFFFFFFFFFFFFFF\n"
    "$INDEX_ALLOCATION   \t000000A0  00000080  0000000000000000  FFFFFFFFFFFFFFFF\n"
    "$BITMAP             \t000000B0  00000080  0000000000000000  FFFFFFFFFFFFFFFF\n"
    "$REPARSE_POINT      \t000000C0  00000080  0000000000000000  0000000000004000\n"
    "$EA_INFORMATION     \t000000D0  00000040  0000000000000008  0000000000000008\n"
    "$EA                 \t000000E0  00000000  0000000000000000  0000000000010000\n"
    "$LOGGED_UTILITY_STREAM\t00000100  00000080  0000000000000000  0000000000010000\n";

// A file of the volume other than the root, for the same-whatever-target check.
std::u16string SomeFile(const TestVolume& volume) {
  for (const Fact* f : volume.Facts("path"))
    if (f->fields[1] == "F" && f->fields[2].find('$') == std::string::npos) return U16("C:" + f->fields[2]);
  return u"C:\\";
}

TEST(AttributeDefinitionsVolumes, MatchFsstat) {
  std::vector<std::string> names = CommittedVolumeNames();
  if (names.empty()) GTEST_SKIP() << "no committed test volumes";
  for (const std::string& name : names) {
    const TestVolume& volume = LoadVolume(name);
    FakePlatform platform;
    platform.AddVolume(u'C', volume.image);
    for (const std::u16string& target : {std::u16string(u"C:\\"), SomeFile(volume)}) {
      RunResult r = RunVelmora(platform, {u"-c", u"-f", target});
      EXPECT_TRUE(r.out.ends_with(std::string(kAttrDefTitle) + std::string(kMkntfsAttrDef))) << name << "\n" << r.out;
    }
  }
}

// Sleuth Kit's view: the first record from 24 on that istat calls "Not
// Allocated" has no record fact; when every record up to the MFT's end is
// in use, the answer lies beyond it.
TEST(FirstUnusedRecordVolumes, FirstRecordIstatCallsUnallocated) {
  std::vector<std::string> names = CommittedVolumeNames();
  if (names.empty()) GTEST_SKIP() << "no committed test volumes";
  for (const std::string& name : names) {
    const TestVolume& volume = LoadVolume(name);
    std::vector<bool> allocated;
    for (const Fact* f : volume.Facts("record")) {
      uint64_t recno = std::stoull(f->fields[0]);
      if (allocated.size() <= recno) allocated.resize(recno + 1);
      allocated[recno] = true;
    }
    uint64_t expected = 24;
    while (expected < allocated.size() && allocated[expected]) ++expected;
    char line[32];
    std::snprintf(line, sizeof line, "\t%016llX\n", static_cast<unsigned long long>(expected));

    FakePlatform platform;
    platform.AddVolume(u'C', volume.image);
    for (const std::u16string& target : {std::u16string(u"C:\\"), SomeFile(volume)}) {
      RunResult r = RunVelmora(platform, {u"-e", u"-f", target});
      EXPECT_TRUE(r.out.ends_with(std::string(kUnusedTitle) + line)) << name << "\n" << r.out;
    }
  }
}

}  // namespace
}  // namespace velmora::testing
