// Every failure keeps its stdout and exit code and says why on stderr, in
// one line naming the cause: a source that is not NTFS (and what it is
// instead), a boot sector field out of range, a path component not found
// or an index that cannot be read, a -r record that cannot be read, a
// listing that ends early, an ignored argument. Volumes are the committed
// ones, damaged in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "base/format.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// Byte offset of a file record below 24 (read straight from the MFT's start).
uint64_t RecordOffset(const Bytes& image, uint64_t number) {
  // Sectors per cluster above 0x80 is a negative power of two (clusters of 128 KiB and more).
  const uint64_t sectors = image[0x0D] <= 0x80 ? image[0x0D] : uint64_t{1} << (256 - image[0x0D]);
  const uint64_t cluster = uint64_t{static_cast<uint16_t>(image[0x0B] | image[0x0C] << 8)} * sectors;
  uint64_t mft_lcn = 0;
  std::memcpy(&mft_lcn, &image[0x30], 8);  // little-endian host, as the suite's other byte writers assume
  const auto k = static_cast<int8_t>(image[0x40]);
  const uint64_t record = k > 0 ? cluster * k : uint64_t{1} << -k;
  return mft_lcn * cluster + number * record;
}

struct Case {
  const char* name;
  std::function<void(Bytes&)> damage;  // of a copy of the volume; may replace it
  std::vector<std::u16string> arguments;
  std::string stdout_tail;  // the last stdout line(s), unchanged from before
  int exit_code;
  std::string stderr_start;  // stderr is one line that starts so; "" for none
};

class DiagnosticsTest : public OnCommittedVolumes {
 protected:
  void Check(const Case& c) {
    SCOPED_TRACE(c.name);
    Bytes image = LoadVolume(names_.front()).image;
    if (c.damage) c.damage(image);
    FakePlatform platform;
    platform.AddVolume(u'C', image);
    const RunResult run = RunVelmora(platform, c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    ASSERT_GE(run.out.size(), c.stdout_tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - c.stdout_tail.size()), c.stdout_tail) << run.out;
    if (c.stderr_start.empty()) {
      EXPECT_EQ(run.err, "");
      return;
    }
    EXPECT_EQ(run.err.rfind(c.stderr_start, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.ends_with('\n')) << run.err;
  }
};

const std::string kNotFoundRoot = "Cannot find target object. (C:\\)\n";

TEST_F(DiagnosticsTest, SourceThatIsNoNtfsVolumeSaysWhatItHolds) {
  const Case cases[] = {
      {"zeros", [](Bytes& b) { b.assign(64 * 1024, 0); }, {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: not an NTFS volume: it holds only zeros in its first sector\n"},
      {"exFAT",
       [](Bytes& b) {
         b.assign(64 * 1024, 0);
         std::memcpy(&b[3], "EXFAT   ", 8);
       },
       {u"-f", u"C:\\"}, kNotFoundRoot, 1, "\\\\.\\C:: not an NTFS volume: it holds an exFAT file system\n"},
      {"qcow2 container",
       [](Bytes& b) {
         b.assign(64 * 1024, 0);
         std::memcpy(&b[0], "QFI\xFB", 4);
       },
       {u"-f", u"C:\\"}, kNotFoundRoot, 1, "\\\\.\\C:: not an NTFS volume: it holds a qcow2 disk image\n"},
      {"ext4 superblock",
       [](Bytes& b) {
         b.assign(64 * 1024, 0);
         b[0x438] = 0x53;
         b[0x439] = 0xEF;
       },
       {u"-f", u"C:\\"}, kNotFoundRoot, 1, "\\\\.\\C:: not an NTFS volume: it holds an ext2/ext3/ext4 file system\n"},
      {"partition table without NTFS",
       [](Bytes& b) {
         b.assign(64 * 1024, 0);
         b[0x1BE + 4] = 0x0C;  // FAT32 (LBA)
         b[0x1BE + 8] = 8;
         b[0x1BE + 12] = 64;
         b[0x1FE] = 0x55;
         b[0x1FF] = 0xAA;
       },
       {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: not an NTFS volume: it holds a partition table: 1 partition (1), none holds NTFS: name a "
       "partition with SOURCE#N, or let the first NTFS partition be picked\n"},
      {"too short", [](Bytes& b) { b.resize(100); }, {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: not an NTFS volume: only 100 bytes, less than one boot sector\n"},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DiagnosticsTest, NtfsBootSectorWithInvalidGeometryNamesTheField) {
  const Case cases[] = {
      {"sectors per cluster", [](Bytes& b) { b[0x0D] = 0; }, {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: NTFS boot sector with invalid geometry: sectors per cluster (offset 0x0D): is 0x00, giving no "
       "usable cluster size\n"},
      {"bytes per sector", [](Bytes& b) { b[0x0B] = 0x00, b[0x0C] = 0x03; }, {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: NTFS boot sector with invalid geometry: bytes per sector (offset 0x0B): is 768\n"},
      {"clusters per file record", [](Bytes& b) { b[0x40] = 0x40; }, {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: NTFS boot sector with invalid geometry: clusters per file record (offset 0x40): is 0x40, "
       "giving "},
      {"MFT cluster", [](Bytes& b) { std::memset(&b[0x30], 0x7F, 4); }, {u"-f", u"C:\\"}, kNotFoundRoot, 1,
       "\\\\.\\C:: NTFS boot sector with invalid geometry: MFT cluster number (offset 0x30): is 2139062143, past "
       "the end of the volume\n"},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DiagnosticsTest, PathNamesTheComponentAndTheDirectoryItWasSoughtIn) {
  const Case cases[] = {
      {"below the root", nullptr, {u"-f", u"C:\\nope"}, "Cannot find target object. (C:\\nope)\n", 1,
       "C:\\nope: \"nope\" not found in directory C:\\ (record 0x5)\n"},
      {"below a directory", nullptr, {u"-f", u"C:\\$Extend\\nope\\deeper"},
       "Cannot find target object. (C:\\$Extend\\nope\\deeper)\n", 1,
       "C:\\$Extend\\nope\\deeper: \"nope\" not found in directory C:\\$Extend (record 0xB)\n"},
      {"below a file", nullptr, {u"-f", u"C:\\$Volume\\x"}, "Cannot find target object. (C:\\$Volume\\x)\n", 1,
       "C:\\$Volume\\x: \"x\" cannot be looked up in directory C:\\$Volume (record 0x3): $I30 index: there is no "
       "$INDEX_ROOT attribute of that name (not a directory?)\n"},
      {"unbound drive", nullptr, {u"-f", u"D:\\x"}, "Cannot find target object. (D:\\x)\n", 1,
       "D:\\x: no such file or directory\n"},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DiagnosticsTest, RecordOfDashRSaysWhyItCannotBeRead) {
  auto bad_signature = [](Bytes& b) { std::memcpy(&b[RecordOffset(b, 3)], "BAAD", 4); };
  // The last word of the record's first 512 bytes no longer holds the update sequence number.
  auto torn = [](Bytes& b) { b[RecordOffset(b, 3) + 510] ^= 0xFF; };
  const Case cases[] = {
      {"outside the MFT", nullptr, {u"-f", u"C:\\", u"-r", u"FFFFFF"},
       "Cannot find target reference. (0000000000FFFFFF)\n", 1, "record 0xFFFFFF: lies outside the MFT, which holds"},
      {"bad signature", bad_signature, {u"-f", u"C:\\", u"-r", u"3"}, "Cannot find target reference. (0000000000000003)\n",
       1, "record 0x3: not a file record: bad signature 0x44414142 where FILE was expected\n"},
      {"torn", torn, {u"-f", u"C:\\", u"-r", u"3"}, "Cannot find target reference. (0000000000000003)\n", 1,
       "record 0x3: failed its update sequence check (a torn write or damage)\n"},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DiagnosticsTest, AReportThatEndsEarlyNamesTheRecordItCouldNotRead) {
  auto bad = [](uint64_t number) {
    return [number](Bytes& b) { std::memcpy(&b[RecordOffset(b, number)], "BAAD", 4); };
  };
  const std::string why = ": not a file record: bad signature 0x44414142 where FILE was expected\n";
  const Case cases[] = {
      {"-c", bad(4), {u"-f", u"C:\\", u"-c"}, "Show attributes definition:\n\tNONE\n", 0, "record 0x4" + why},
      {"-e", bad(0), {u"-f", u"C:\\", u"-e"}, "The first unused file record reference :\n\tNONE\n", 0,
       "record 0x0" + why},
      {"-n", bad(2), {u"-f", u"C:\\", u"-n", u"1"}, "\tNONE\n", 0, "record 0x2" + why},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DiagnosticsTest, ListingOfAnUnreadableIndexIsNotAnEmptyDirectory) {
  // Every INDX block loses its signature: the root's entries below its index root cannot be read.
  auto no_blocks = [](Bytes& b) {
    for (size_t at = 0; at + 4 <= b.size(); at += 512)
      if (std::memcmp(&b[at], "INDX", 4) == 0) std::memcpy(&b[at], "XXXX", 4);
  };
  Check({"listing", no_blocks, {u"-f", u"C:\\", u"-l"}, "-----------------\nNumber of files : 0\n", 0,
         "C:\\ (record 0x5): listing ends early: $I30 index: index block at VCN 0x0: damaged block: no INDX "
         "signature\n"});
  // Intact, the same listing says nothing on stderr.
  Check({"intact", nullptr, {u"-f", u"C:\\", u"-l"}, "", 0, ""});
}

// A source shorter than the volume its boot sector counts is told once,
// first, with both sizes: the reports still read what is there. mkntfs
// made each committed volume on a file of exactly its size, the backup
// boot sector in its last sector, one past the sectors the boot sector
// counts: as it is, or with more behind it, nothing is short.
TEST_F(DiagnosticsTest, ASourceShorterThanItsVolumeIsToldOnceWithBothSizes) {
  for (const std::string& name : names_) {
    const Bytes& whole = LoadVolume(name).image;
    const size_t sector = whole[0x0B] | whole[0x0C] << 8;
    FakePlatform platform;
    platform.AddVolume(u'C', whole);
    const RunResult sound = RunVelmora(platform, {u"-f", u"C:\\", u"-l"});
    // Bytes of the source, and whether the listing still reads as before.
    for (const auto& [bytes, reads] : {std::pair{whole.size() + sector, true}, std::pair{whole.size() - sector, true},
                                       std::pair{whole.size() / 2, false}}) {
      SCOPED_TRACE(name + ", " + std::to_string(bytes) + " bytes");
      Bytes image = whole;
      image.resize(bytes);
      platform.AddVolume(u'C', image);
      const RunResult run = RunVelmora(platform, {u"-f", u"C:\\", u"-l"});
      const std::string told = bytes < whole.size() ? "\\\\.\\C:: the boot sector gives a volume of " +
                                                          std::to_string(whole.size()) + " bytes, the source holds only " +
                                                          std::to_string(bytes) +
                                                          ": a truncated acquisition, or one part of a split set\n"
                                                    : "";
      EXPECT_EQ(run.err.substr(0, told.size()), told) << run.err;
      if (reads) {
        EXPECT_EQ(run.out + run.err, sound.out + told);
      }
    }
    EXPECT_EQ(sound.err, "");
  }
}

TEST(IgnoredArgumentsTest, EachSkippedTokenIsNamedAndNothingElseChanges) {
  auto scan = [](std::vector<std::u16string> tokens) {
    tokens.insert(tokens.begin(), u"velmora");
    return ScanArguments(tokens);
  };
  const CommandOptions plain = scan({u"-f", u"C:\\", u"-a"});
  const CommandOptions typos = scan({u"-L", u"-f", u"C:\\", u"stray", u"-a", u"-w", u"1"});
  EXPECT_EQ(typos.actions, plain.actions);
  EXPECT_EQ(typos.target_path, plain.target_path);
  EXPECT_EQ(typos.warnings, (std::vector<std::u16string>{u"ignored argument: -L", u"ignored argument: stray",
                                                         u"ignored argument: -w", u"ignored argument: 1"}));
  EXPECT_TRUE(plain.warnings.empty());  // the program's own name is never one
  // Every report honours --json: nothing to warn about.
  EXPECT_TRUE(scan({u"-f", u"C:\\", u"-a", u"--json"}).warnings.empty());
  EXPECT_TRUE(scan({u"-f", u"C:\\", u"--timeline", u"--json"}).warnings.empty());
  EXPECT_EQ(scan({u"-f", u"C:\\", u"--timeline", u"-l"}).warnings,
            (std::vector<std::u16string>{u"--timeline runs alone: the other reports asked for are not run"}));
}

}  // namespace
}  // namespace velmora::testing
