// The -l directory listing: the per-entry visitor on inline $FILE_NAME keys,
// the whole listing on small in-memory volumes, and the committed volumes
// against Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <span>
#include <tuple>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "ntfs/volume.h"
#include "reports/list_directory.h"
#include "reports/reports.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

constexpr uint32_t kDirectoryFlag = 0x10000000;
// 2012-03-07 14:05:30 UTC.
constexpr uint64_t kMarch2012 = 0x01CCFC6B5AAEB100;
// The largest FILETIME Windows converts: 30828-09-14 02:48:05 UTC.
constexpr uint64_t kLastFileTime = 0x7FFFFFFFFFFFFFFF;

// A platform whose directory test gives a fixed answer.
class DirectoryAnswerPlatform : public FakePlatform {
 public:
  std::optional<bool> answer;
  std::vector<std::u16string> asked;
  std::optional<bool> PathIsDirectory(std::u16string_view path) override {
    asked.emplace_back(path);
    return answer;
  }
};

using Harness = BasicReportHarness<DirectoryAnswerPlatform>;

std::string Visit(const std::vector<uint8_t>& key, uint64_t reference, uint32_t& counter,
                  platform::Platform* system = nullptr) {
  DirectoryAnswerPlatform fake;
  StringSink out;
  StringSink err;
  Console console(out, err);
  VolumeContext volume;
  ReportContext context{volume, system ? *system : fake, console};
  EXPECT_EQ(ListingVisitor(context, key, FileReference(reference), counter), Walk::kContinue);
  return out.text();
}

TEST(ListingVisitor, PrintsOneLinePerLongNameAndSkipsSeparateDosNames) {
  uint32_t counter = 0;
  EXPECT_EQ(Visit(FileNameValue(5, u"posix", 0, 0, kMarch2012), 0x23, counter),
            "0000000000000023\t03/07/2012  14:05\t<FILE>\tposix\n");
  EXPECT_EQ(Visit(FileNameValue(5, u"Long Win32 Name.txt", 1, 0, kMarch2012), 0x24, counter),
            "0000000000000024\t03/07/2012  14:05\t<FILE>\tLong Win32 Name.txt\n");
  EXPECT_EQ(Visit(FileNameValue(5, u"LONGWI~1.TXT", 2, 0, kMarch2012), 0x24, counter), "");
  EXPECT_EQ(Visit(FileNameValue(5, u"SHORT.TXT", 3, 0, kMarch2012), 0x25, counter),
            "0000000000000025\t03/07/2012  14:05\t<FILE>\tSHORT.TXT\n");
  EXPECT_EQ(counter, 3u);
  // Namespace values beyond the four defined: bit 0 decides.
  EXPECT_EQ(Visit(FileNameValue(5, u"odd", 5, 0, kMarch2012), 0x26, counter).empty(), false);
  EXPECT_EQ(Visit(FileNameValue(5, u"even", 4, 0, kMarch2012), 0x27, counter), "");
  EXPECT_EQ(counter, 4u);
}

TEST(ListingVisitor, DirectoryFlagAndFullRecordNumber) {
  uint32_t counter = 0;
  // The text shows the record number: the sequence number is left out.
  EXPECT_EQ(Visit(FileNameValue(5, u"sub", 1, kDirectoryFlag | 0x20, kMarch2012), 0x0007123489ABCDEF, counter),
            "0000123489ABCDEF\t03/07/2012  14:05\t<DIR>\tsub\n");
  // Other attribute bits do not make a directory.
  EXPECT_EQ(Visit(FileNameValue(5, u"f", 1, 0x0FFFFFFF, kMarch2012), 0x30, counter),
            "0000000000000030\t03/07/2012  14:05\t<FILE>\tf\n");
  EXPECT_EQ(counter, 2u);
}

TEST(ListingVisitor, TimeColumn) {
  uint32_t counter = 0;
  // Years print with all their digits.
  EXPECT_EQ(Visit(FileNameValue(5, u"a", 1, 0, kLastFileTime), 0x40, counter),
            "0000000000000040\t09/14/30828  02:48\t<FILE>\ta\n");
  // A time the platform cannot convert (the fake converts nothing before
  // 1970) prints the fixed text, as wide as a converted time.
  EXPECT_EQ(Visit(FileNameValue(5, u"b", 1, 0, 0), 0x41, counter),
            "0000000000000041\t(invalid time)   \t<FILE>\tb\n");
  EXPECT_EQ(std::string(kUnconvertibleTimeText).size(), std::string("03/07/2012  14:05").size());
  EXPECT_EQ(counter, 2u);
}

// The POSIX platform takes its zone from TZ; Windows takes it from the
// system's settings, which a test cannot change (there the end-to-end
// comparison with the POSIX build checks the listing's times).
#ifndef _WIN32
TEST(ListingVisitor, LocalTimeOfTheSystemPlatform) {
  const char* saved = std::getenv("TZ");
  std::string previous = saved ? saved : "";
  setenv("TZ", "EST5", 1);
  auto system = platform::CreateSystemPlatform();
  uint32_t counter = 0;
  std::string line = Visit(FileNameValue(5, u"a", 1, 0, kMarch2012), 0x40, counter, system.get());
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  EXPECT_EQ(line, "0000000000000040\t03/07/2012  09:05\t<FILE>\ta\n");
}
#endif

TEST(ListingVisitor, NamesOfAnyUnicodeContent) {
  uint32_t counter = 0;
  EXPECT_EQ(Visit(FileNameValue(5, u"日本語の長いファイル名.txt", 1, 0, kMarch2012), 0x50, counter),
            "0000000000000050\t03/07/2012  14:05\t<FILE>\t日本語の長いファイル名.txt\n");
  EXPECT_EQ(Visit(FileNameValue(5, u"😀 smile 𠀀", 1, 0, kMarch2012), 0x51, counter),
            "0000000000000051\t03/07/2012  14:05\t<FILE>\t😀 smile 𠀀\n");
  // 255 units, the longest a name can be.
  std::u16string longest(255, u'x');
  EXPECT_EQ(Visit(FileNameValue(5, longest, 1, 0, kMarch2012), 0x52, counter),
            "0000000000000052\t03/07/2012  14:05\t<FILE>\t" + std::string(255, 'x') + "\n");
}

TEST(ListingVisitor, DamagedKeys) {
  uint32_t counter = 0;
  // Too short for a $FILE_NAME: passed over, not counted.
  std::vector<uint8_t> key = FileNameValue(5, u"abc", 1, 0, kMarch2012);
  EXPECT_EQ(Visit(std::vector<uint8_t>(key.begin(), key.begin() + 0x41), 0x60, counter), "");
  EXPECT_EQ(Visit({}, 0x60, counter), "");
  EXPECT_EQ(counter, 0u);
  // A name length reaching past the key: the name is cut at the key's end.
  std::vector<uint8_t> cut(key.begin(), key.end() - 2);
  EXPECT_EQ(Visit(cut, 0x61, counter), "0000000000000061\t03/07/2012  14:05\t<FILE>\tab\n");
  // A name with an embedded NUL prints up to it.
  EXPECT_EQ(Visit(FileNameValue(5, std::u16string(u"ab\0cd", 5), 1, 0, kMarch2012), 0x62, counter),
            "0000000000000062\t03/07/2012  14:05\t<FILE>\tab\n");
  EXPECT_EQ(counter, 2u);
}

// A directory in record 30 (and a file in 31), reachable from the root as
// C:\dir and C:\file.txt.
constexpr uint64_t kDirRecord = 30;
constexpr uint64_t kFileRecord = 31;

std::vector<uint8_t> DirectoryRecord(uint64_t number, const std::vector<std::vector<uint8_t>>& entries,
                                     uint16_t flags = 0x0003, uint32_t name_flags = kDirectoryFlag) {
  std::vector<std::vector<uint8_t>> index = entries;
  index.push_back(IndexEntry(0, {}, true));
  return RecordBuilder(number, 1024, flags)
      .Resident(0x30, 1, u"", FileNameValue(5, u"dir", 1, name_flags))
      .Resident(0x90, 2, u"$I30", IndexRootValue(index, false))
      .Build();
}

SyntheticVolume VolumeWithDirectory(const std::vector<std::vector<uint8_t>>& entries) {
  SyntheticVolume v;
  v.SetRootEntries({{u"dir", kDirRecord}, {u"file.txt", kFileRecord}});
  v.SetRecord(kDirRecord, DirectoryRecord(kDirRecord, entries));
  v.SetRecord(kFileRecord, RecordBuilder(kFileRecord)
                               .Resident(0x30, 1, u"", FileNameValue(5, u"file.txt"))
                               .Resident(0x80, 2, u"", {1, 2, 3})
                               .Build());
  return v;
}

const std::vector<std::vector<uint8_t>> kThreeNames = {
    IndexEntry(0x0005000000000040, FileNameValue(kDirRecord, u"alpha.txt", 1, 0, kMarch2012)),
    IndexEntry(0x0001000000000041, FileNameValue(kDirRecord, u"BETA~1", 2, kDirectoryFlag, kMarch2012)),
    IndexEntry(0x0001000000000041, FileNameValue(kDirRecord, u"beta directory", 1, kDirectoryFlag, kMarch2012)),
    IndexEntry(0x0002000000000042, FileNameValue(kDirRecord, u"GAMMA", 3, 0, kMarch2012)),
};

TEST(ListDirectory, WholeOutputThroughTheCommandLine) {
  SyntheticVolume v = VolumeWithDirectory(kThreeNames);
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"-l", u"-f", u"C:\\dir"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Utf16ToUtf8(BannerText()) +
                       "FILE : C:\\dir \n"
                       "FILE REF : 000000000000001E\n"
                       "=====================\n"
                       "File Reference\t\tAccess time\t\tType\tFile name\n"
                       "-----------------\n"
                       "0000000000000040\t03/07/2012  14:05\t<FILE>\talpha.txt\n"
                       "0000000000000041\t03/07/2012  14:05\t<DIR>\tbeta directory\n"
                       "0000000000000042\t03/07/2012  14:05\t<FILE>\tGAMMA\n"
                       "-----------------\n"
                       "Number of files : 3\n");
}

TEST(ListDirectory, EmptyDirectory) {
  SyntheticVolume v = VolumeWithDirectory({});
  Harness h(v.image());
  ReportContext context = h.Context();
  ListDirectory(context, FileReference(kDirRecord), u"C:\\dir");
  EXPECT_EQ(h.out.text(), "-----------------\nNumber of files : 0\n");
}

TEST(ListDirectory, NotADirectory) {
  SyntheticVolume v = VolumeWithDirectory(kThreeNames);
  Harness h(v.image());
  ReportContext context = h.Context();
  ListDirectory(context, FileReference(kFileRecord), u"C:\\file.txt");
  EXPECT_EQ(h.out.text(), "Target file is not a directory. (C:\\file.txt)\n");
  // An unreadable record is no directory either.
  h.out.clear();
  ListDirectory(context, FileReference(0x7777), u"C:\\gone");
  EXPECT_EQ(h.out.text(), "Target file is not a directory. (C:\\gone)\n");
}

TEST(ListDirectory, VolumeAnswersFromRecordFlagOrFileNameFlag) {
  // Record flag 0x0002 alone.
  SyntheticVolume by_record = VolumeWithDirectory({});
  by_record.SetRecord(kDirRecord, DirectoryRecord(kDirRecord, kThreeNames, 0x0003, 0));
  // The $FILE_NAME directory flag alone.
  SyntheticVolume by_name = VolumeWithDirectory({});
  by_name.SetRecord(kDirRecord, DirectoryRecord(kDirRecord, kThreeNames, 0x0001, kDirectoryFlag));
  // Neither: an index of names does not make a directory by itself.
  SyntheticVolume neither = VolumeWithDirectory({});
  neither.SetRecord(kDirRecord, DirectoryRecord(kDirRecord, kThreeNames, 0x0001, 0));
  for (SyntheticVolume* v : {&by_record, &by_name}) {
    Harness h(v->image());
    ReportContext context = h.Context();
    ListDirectory(context, FileReference(kDirRecord), u"C:\\dir");
    EXPECT_NE(h.out.text().find("Number of files : 3\n"), std::string::npos) << h.out.text();
  }
  Harness h(neither.image());
  ReportContext context = h.Context();
  ListDirectory(context, FileReference(kDirRecord), u"C:\\dir");
  EXPECT_EQ(h.out.text(), "Target file is not a directory. (C:\\dir)\n");
}

TEST(ListDirectory, SystemAnswerOverridesTheVolume) {
  SyntheticVolume v = VolumeWithDirectory(kThreeNames);
  Harness h(v.image());
  ReportContext context = h.Context();
  h.platform.answer = false;
  ListDirectory(context, FileReference(kDirRecord), u"/mnt/ntfs/dir");
  EXPECT_EQ(h.out.text(), "Target file is not a directory. (/mnt/ntfs/dir)\n");
  // A file the system calls a directory: its missing index lists nothing.
  h.out.clear();
  h.platform.answer = true;
  ListDirectory(context, FileReference(kFileRecord), u"/mnt/ntfs/file.txt");
  EXPECT_EQ(h.out.text(), "-----------------\nNumber of files : 0\n");
  EXPECT_EQ(h.platform.asked, (std::vector<std::u16string>{u"/mnt/ntfs/dir", u"/mnt/ntfs/file.txt"}));
}

TEST(ListDirectory, ReferenceOptionListsThatRecordsIndex) {
  // -f names a file, -r a directory: the drive is bound to an image, so the
  // volume's view of the -r record decides, and its index is listed.
  SyntheticVolume v = VolumeWithDirectory(kThreeNames);
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"-l", u"-r", u"1E", u"-f", u"C:\\file.txt"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("FILE REF : 000000000000001E\n"), std::string::npos);
  EXPECT_NE(r.out.find("0000000000000042\t03/07/2012  14:05\t<FILE>\tGAMMA\n"), std::string::npos);
  EXPECT_NE(r.out.find("Number of files : 3\n"), std::string::npos);
}

TEST(ListDirectory, LargeIndexInKeyOrder) {
  // Root flagged large: its only entry is the last one, whose sub-node holds
  // two entries, one of them with a sub-node of its own.
  SyntheticVolume v = VolumeWithDirectory({});
  constexpr uint64_t kAllocationLcn = SyntheticVolume::kFreeLcn;
  auto key = [](const std::u16string& name) { return FileNameValue(kDirRecord, name, 1, 0, kMarch2012); };
  std::vector<uint8_t> blocks = IndexBlock(0, {IndexEntry(0x50, key(u"b"), false, 1), IndexEntry(0x52, key(u"d")),
                                               IndexEntry(0, {}, true)});
  std::vector<uint8_t> lower = IndexBlock(1, {IndexEntry(0x51, key(u"a")), IndexEntry(0, {}, true)});
  blocks.insert(blocks.end(), lower.begin(), lower.end());
  v.SetClusters(kAllocationLcn, blocks);
  v.SetRecord(kDirRecord, RecordBuilder(kDirRecord, 1024, 0x0003)
                              .Resident(0x30, 1, u"", FileNameValue(5, u"dir", 1, kDirectoryFlag))
                              .Resident(0x90, 2, u"$I30", IndexRootValue({IndexEntry(0, {}, true, 0)}, true))
                              .NonResident(0xA0, 3, u"$I30", SingleRun(kAllocationLcn, 2), 0, 1, 1024)
                              .Build());
  Harness h(v.image());
  ReportContext context = h.Context();
  ListDirectory(context, FileReference(kDirRecord), u"C:\\dir");
  EXPECT_EQ(h.out.text(),
            "0000000000000051\t03/07/2012  14:05\t<FILE>\ta\n"
            "0000000000000050\t03/07/2012  14:05\t<FILE>\tb\n"
            "0000000000000052\t03/07/2012  14:05\t<FILE>\td\n"
            "-----------------\nNumber of files : 3\n");
}

// ---- The committed volumes against fls ----

struct ListedLine {
  uint64_t record = 0;
  std::string time;
  std::string kind;
  std::string name;
};

// The listing lines between the title block and the closing lines.
std::optional<std::vector<ListedLine>> ParseListing(const std::string& out, uint32_t& count) {
  const std::string title = "File Reference\t\tAccess time\t\tType\tFile name\n-----------------\n";
  size_t start = out.find(title);
  size_t close = out.rfind("-----------------\nNumber of files : ");
  if (start == std::string::npos || close == std::string::npos || close < start + title.size()) return std::nullopt;
  count = static_cast<uint32_t>(std::stoul(out.substr(close + 36)));
  std::vector<ListedLine> lines;
  std::istringstream body(out.substr(start + title.size(), close - start - title.size()));
  static const std::regex line_re("([0-9A-F]{16})\t(\\d\\d/\\d\\d/\\d{4,}  \\d\\d:\\d\\d)\t(<DIR>|<FILE>)\t(.*)");
  std::string text;
  while (std::getline(body, text)) {
    std::smatch m;
    if (!std::regex_match(text, m, line_re)) return std::nullopt;
    lines.push_back({std::stoull(m[1].str(), nullptr, 16), m[2].str(), m[3].str(), m[4].str()});
  }
  return lines;
}

// Names whose order this test can judge without the volume's upcase
// table: ASCII (upper-cased a-z) and units from U+3000 up (CJK, Hangul,
// surrogates), which have no case.
std::optional<std::u16string> CollationKey(const std::u16string& name) {
  std::u16string key;
  for (char16_t unit : name) {
    if (unit >= 0x80 && unit < 0x3000) return std::nullopt;
    key.push_back(unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit);
  }
  return key;
}

struct Entry {
  uint64_t record;
  std::string kind;  // "D" or "F"
  std::string name;
  bool operator<(const Entry& o) const { return std::tie(record, kind, name) < std::tie(o.record, o.kind, o.name); }
  bool operator==(const Entry& o) const = default;
};

// Checks -l of every directory of a volume against Sleuth Kit's fls, as the
// manifest records it: the dirent facts of a directory, or, for the
// directories of many alike files that have none, the path facts below it.
void CheckListings(const std::string& label, std::span<const uint8_t> image, const std::vector<Fact>& facts) {
  std::map<uint64_t, std::string> directories = {{5, "\\"}};
  std::map<std::string, std::vector<Entry>> children;  // by parent path
  std::map<uint64_t, std::vector<Entry>> dirents;
  std::map<uint64_t, bool> has_allocation;  // the directory has an $INDEX_ALLOCATION
  std::map<uint64_t, bool> has_attrs;
  for (const Fact& f : facts) {
    if (f.kind == "path" && f.fields[2] != "\\") {
      const std::string& path = f.fields[2];
      size_t cut = path.rfind('\\');
      std::string parent = cut == 0 ? "\\" : path.substr(0, cut);
      children[parent].push_back({std::stoull(f.fields[0]), f.fields[1], path.substr(cut + 1)});
      if (f.fields[1] == "D") directories.emplace(std::stoull(f.fields[0]), path);
    } else if (f.kind == "dirent") {
      dirents[std::stoull(f.fields[0])].push_back({std::stoull(f.fields[1]), f.fields[2], f.fields[3]});
    } else if (f.kind == "attr") {
      has_attrs[std::stoull(f.fields[0])] = true;
      if (f.fields[1] == "160") has_allocation[std::stoull(f.fields[0])] = true;
    }
  }
  ASSERT_GT(directories.size(), 1u) << label;

  FakePlatform platform;
  platform.AddVolume(u'C', image);
  for (const auto& [dir, path] : directories) {
    SCOPED_TRACE(label + " " + path);
    const std::vector<Entry>& expected = dirents.count(dir) ? dirents[dir] : children[path];

    RunResult r = RunVelmora(platform, {u"-l", u"-f", U16("C:" + path)});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    uint32_t count = 0;
    auto lines = ParseListing(r.out, count);
    ASSERT_TRUE(lines) << r.out;
    EXPECT_EQ(count, lines->size());
    std::vector<Entry> listed;
    size_t dots = 0;
    for (const ListedLine& line : *lines) {
      if (dir == 5 && line.name == ".") {
        // The root's own entry, which fls leaves out.
        ++dots;
        EXPECT_EQ(line.record, 5u);
        EXPECT_EQ(line.kind, "<DIR>");
        continue;
      }
      listed.push_back({line.record, line.kind == "<DIR>" ? "D" : "F", line.name});
    }
    if (dir == 5) {
      EXPECT_EQ(dots, 1u);
    }

    // The same names, each once per link, with the same records and kinds.
    std::vector<Entry> sorted_listed = listed;
    std::vector<Entry> sorted_expected = expected;
    std::sort(sorted_listed.begin(), sorted_listed.end());
    std::sort(sorted_expected.begin(), sorted_expected.end());
    EXPECT_EQ(sorted_listed.size(), sorted_expected.size());
    EXPECT_TRUE(sorted_listed == sorted_expected) << r.out;

    // In key order. fls gives the same order for an index held in its root
    // alone; for a tree of index blocks it goes block by block instead.
    if (has_attrs[dir] && !has_allocation[dir]) {
      EXPECT_TRUE(listed == expected) << r.out;
    }
    std::optional<std::u16string> previous;
    for (const Entry& e : listed) {
      auto key = CollationKey(U16(e.name));
      if (!key) continue;
      if (previous) {
        EXPECT_LE(*previous, *key) << e.name;
      }
      previous = key;
    }
  }
}

TEST(ListDirectoryVolumes, EveryDirectoryMatchesFls) {
  std::vector<std::string> names = CommittedVolumeNames();
  if (names.empty()) GTEST_SKIP() << "no committed test volumes";
  for (const std::string& name : names) {
    const TestVolume& volume = LoadVolume(name);
    CheckListings(name, volume.image, volume.facts);
  }
}

// The large volumes (a directory of 60,000 names) are built on demand.
TEST(ListDirectoryVolumes, LargeVolumesMatchFls) {
  std::vector<LargeVolume> volumes = LargeVolumes();
  if (volumes.empty()) GTEST_SKIP() << "no large test volumes (VELMORA_LARGE_DATA)";
  for (const LargeVolume& volume : volumes) {
    std::vector<uint8_t> image = volume.LoadImage();
    CheckListings(volume.name, image, volume.facts);
  }
}

}  // namespace
}  // namespace velmora::testing
