// Evidence containers end to end: each committed volume converted by the
// tools examiners and hypervisors use (ewfacquire, qemu-img, affconvert,
// split), then every report run on the container must print exactly what it
// prints on the raw volume. Damaged containers must fail to open with one
// line on stderr naming the file, never crash or list made-up contents.
//
// The containers are built once per build tree under containers/ in the
// build directory; a case whose tool is missing is skipped.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "source/bound_platform.h"
#include "source/evidence.h"
#include "source/set_names.h"
#include "tests/support/campaign.h"
#include "tests/support/fake_platform.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// How a container is made from a committed volume: the command runs in the
// case's own directory, where vol.raw is the raw volume (".raw": affconvert
// refuses other names) and disk.raw the same volume on an MBR disk at 1 MiB.
struct Recipe {
  const char* name;
  const char* volume;
  const char* tool;
  const char* build;
  const char* bind;  // the SOURCE given to -m, relative to the case directory
};

void PrintTo(const Recipe& recipe, std::ostream* os) { *os << recipe.name; }

constexpr const char* kMakeDisk =
    "truncate -s 1M disk.raw && cat vol.raw >> disk.raw && "
    "python3 -c \"import struct,os;s=os.path.getsize('vol.raw')//512;f=open('disk.raw','r+b');"
    "f.seek(446);f.write(bytes([0,0,0,0,7,0,0,0])+struct.pack('<II',2048,s));f.seek(510);f.write(b'\\x55\\xaa')\"";

const Recipe kRecipes[] = {
    {"ewf_segments", "c512", "ewfacquire", "ewfacquire -u -q -c none -S 1MiB -t set vol.raw", "set.E01"},
    {"ewf_compressed", "c4k", "ewfacquire", "ewfacquire -u -q -c best -t one vol.raw", "one.E01"},
    {"ewf_sector4k", "s4k", "ewfacquire", "ewfacquire -u -q -P 4096 -t s4k vol.raw", "s4k.E01"},
    {"split_numbers", "c512", "split", "split -b 3M -d -a 3 --numeric-suffixes=1 vol.raw disk.", "disk.001"},
    {"split_letters", "c64k", "split", "split -b 3M vol.raw disk.", "disk.aa"},
    {"split_gnu_numbers", "c4k", "split", "split -b 3M -d vol.raw disk.", "disk.00"},
    {"split_gnu_default", "s4k", "split", "split -b 3M vol.raw", "xaa"},
    {"qcow2", "c128k", "qemu-img", "qemu-img convert -O qcow2 vol.raw d.qcow2", "d.qcow2"},
    {"qcow2_sector4k", "s4k", "qemu-img", "qemu-img convert -O qcow2 vol.raw d.qcow2", "d.qcow2"},
    {"qcow2_backing", "c4k", "qemu-img",
     "qemu-img convert -O qcow2 vol.raw base.qcow2 && qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 child.qcow2",
     "child.qcow2"},
    {"vhd_dynamic", "c4k", "qemu-img", "qemu-img convert -O vpc vol.raw d.vhd", "d.vhd"},
    {"vhd_fixed", "c512", "qemu-img", "qemu-img convert -O vpc -o subformat=fixed vol.raw d.vhd", "d.vhd"},
    {"vhdx", "c64k", "qemu-img", "qemu-img convert -O vhdx vol.raw d.vhdx", "d.vhdx"},
    {"vmdk_sparse", "c512", "qemu-img", "qemu-img convert -O vmdk vol.raw d.vmdk", "d.vmdk"},
    {"vmdk_stream", "c4k", "qemu-img", "qemu-img convert -O vmdk -o subformat=streamOptimized vol.raw d.vmdk",
     "d.vmdk"},
    {"vmdk_extents", "c128k", "qemu-img", "qemu-img convert -O vmdk -o subformat=twoGbMaxExtentSparse vol.raw d.vmdk",
     "d.vmdk"},
    {"vmdk_parent", "c512", "qemu-img",
     "qemu-img convert -O vmdk vol.raw base.vmdk && qemu-img create -q -f vmdk -b base.vmdk -F vmdk child.vmdk",
     "child.vmdk"},
    {"aff", "c4k", "affconvert", "mkdir out && affconvert -q -s1m -Oout vol.raw >/dev/null", "out/vol.aff"},
    {"disk_vhdx", "c4k", "qemu-img", "qemu-img convert -O vhdx disk.raw disk.vhdx", "disk.vhdx"},
    {"disk_ewf", "c512", "ewfacquire", "ewfacquire -u -q -c fast -S 1MiB -t disk disk.raw", "disk.E01#1"},
};

// Damaged copies of the containers above: what the command does to a copy
// of the base case's files, and a word the stderr line must hold.
struct Damage {
  const char* name;
  const char* base;
  std::string damage;
  const char* bind;
  const char* says;  // null where the library notices nothing
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

// Flips 16 bytes of file F at offset O (an expression python evaluates with
// the file's bytes as b).
std::string Flip(const std::string& file, const std::string& offset) {
  return "python3 -c \"b=open('" + file + "','rb').read();o=" + offset + ";f=open('" + file +
         "','r+b');f.seek(o);f.write(bytes(x^0xFF for x in b[o:o+16]))\"";
}

const std::string kVhdxBat =  // the BAT's file offset, from the region table at 192 KiB
    "[int.from_bytes(b[e+16:e+24],'little') for e in range(0x30010,0x30010+32*16,32) "
    "if b[e:e+4]==bytes.fromhex('6677c22d')][0]";

const Damage kDamages[] = {
    {"last_segment_missing", "ewf_segments", "rm \"$(ls set.E* | tail -n 1)\"", "set.E01", "incomplete"},
    {"middle_segment_missing", "ewf_segments", "rm set.E03", "set.E01", "incomplete"},
    {"ewf_header_truncated", "ewf_compressed", "truncate -s 100 one.E01", "one.E01", "one.E01"},
    {"ewf_header_flipped", "ewf_compressed", Flip("one.E01", "13+76+8"), "one.E01", "one.E01"},
    {"ewf_chunk_corrupt", "ewf_compressed", Flip("one.E01", "b.index(b'sectors')+76+64"), "one.E01", "checksum"},
    // libewf falls back on the table's copy (table2): both must go.
    {"ewf_tables_corrupt", "ewf_compressed",
     Flip("one.E01", "b.index(b'table')+76+24") + " && " + Flip("one.E01", "b.index(b'table2')+76+24"), "one.E01",
     "one.E01"},
    {"qcow2_truncated", "qcow2", "truncate -s 50 d.qcow2", "d.qcow2", "d.qcow2"},
    {"qcow2_l1_corrupt", "qcow2", Flip("d.qcow2", "int.from_bytes(b[40:48],'big')"), "d.qcow2", "d.qcow2"},
    {"qcow2_backing_missing", "qcow2_backing", "rm base.qcow2", "child.qcow2", "parent"},
    // libvhdi reads the blocks of a damaged BAT entry as absent (zeros) and
    // reports nothing: the volume in it fails to open, without a reason.
    {"vhdx_bat_corrupt", "vhdx", Flip("d.vhdx", kVhdxBat), "d.vhdx", nullptr},
    {"vmdk_extent_missing", "vmdk_extents", "rm d-s001.vmdk", "d.vmdk", "d.vmdk"},
};

const Recipe* RecipeNamed(const std::string& name) {
  for (const Recipe& recipe : kRecipes)
    if (recipe.name == name) return &recipe;
  return nullptr;
}

bool HaveTool(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

fs::path CaseRoot() { return fs::path(VELMORA_TEST_CACHE) / "containers"; }

// Makes the case directory once: built under a temporary name, then renamed,
// so that tests running side by side never see half of it.
bool MakeCase(const std::string& name, const std::string& command) {
  const fs::path done = CaseRoot() / name;
  std::error_code ec;
  if (fs::exists(done, ec)) return true;
  const fs::path work = CaseRoot() / (name + ".tmp" + std::to_string(getpid()));
  fs::remove_all(work, ec);
  fs::create_directories(work, ec);
  int status = 0;
  RunCommand("cd " + Quote(work.string()) + " && ( " + command + " ) 2>&1", &status);
  if (status != 0) {
    fs::remove_all(work, ec);
    return false;
  }
  fs::rename(work, done, ec);
  if (ec) fs::remove_all(work, ec);  // another process made it first
  return fs::exists(done, ec);
}

bool MakeRecipe(const Recipe& recipe) {
  const TestVolume& volume = LoadVolume(recipe.volume);
  const fs::path raw = CaseRoot() / (std::string(recipe.volume) + ".raw");
  std::error_code ec;
  if (!fs::exists(raw, ec)) {
    fs::create_directories(CaseRoot(), ec);
    const fs::path temporary = raw.string() + ".tmp" + std::to_string(getpid());
    std::ofstream(temporary, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.image.data()), static_cast<std::streamsize>(volume.image.size()));
    fs::rename(temporary, raw, ec);
  }
  return MakeCase(recipe.name, "cp " + Quote(raw.string()) + " vol.raw && " + kMakeDisk + " && " + recipe.build +
                                   " && rm vol.raw disk.raw");
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome Velmora(const std::string& source, const std::string& arguments) {
  const std::string err = (CaseRoot() / ("stderr." + std::to_string(getpid()))).string();
  Outcome run;
  run.out = RunCommand(std::string(VELMORA_BINARY) + " -m C: " + Quote(source) + " " + arguments + " 2>" + Quote(err),
                       &run.status);
  run.err = ReadText(err);
  std::error_code ec;
  fs::remove(err, ec);
  return run;
}

// Each report, on a path every committed volume holds; -w also compares the
// file written.
const char* const kReports[] = {
    "-f 'C:\\bigdir' -l",
    "-f 'C:\\data\\random.bin' -a -v 3 -d 8 0 40 -c -e -s 100 -n 1",
    "-f 'C:\\deep' -r 5 -l -v 9",
};

class ContainerTest : public ::testing::TestWithParam<Recipe> {};

TEST_P(ContainerTest, EveryReportReadsAsTheRawVolume) {
  const Recipe& recipe = GetParam();
  if (!HaveTool(recipe.tool)) GTEST_SKIP() << recipe.tool << " is missing";
  ASSERT_TRUE(MakeRecipe(recipe));
  const std::string raw = (CaseRoot() / (std::string(recipe.volume) + ".raw")).string();
  const std::string container = (CaseRoot() / recipe.name / recipe.bind).string();
  for (const char* report : kReports) {
    SCOPED_TRACE(report);
    const Outcome expected = Velmora(raw, report);
    const Outcome got = Velmora(container, report);
    ASSERT_EQ(expected.status, 0);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, expected.out);
    EXPECT_EQ(got.err, "");
  }
  const fs::path written = CaseRoot() / (std::string("written.") + recipe.name);
  const std::string write = "-f 'C:\\$UpCase' -w 1 " + Quote(written.string());
  const Outcome expected = Velmora(raw, write);
  const std::string expected_bytes = ReadText(written);
  const Outcome got = Velmora(container, write);
  EXPECT_EQ(got.out, expected.out);
  EXPECT_EQ(ReadText(written), expected_bytes);
  EXPECT_EQ(expected_bytes.size(), 0x20000u);  // $UpCase: 65,536 UTF-16 units
  // A content read long enough that a container may cut it in parts read
  // at once ($MFT: hundreds of KiB).
  const std::string extract = "-f 'C:\\$MFT' -x " + Quote(written.string()) + " --hash";
  const Outcome expected_extract = Velmora(raw, extract);
  const std::string expected_content = ReadText(written);
  const Outcome got_extract = Velmora(container, extract);
  EXPECT_EQ(got_extract.out, expected_extract.out);
  EXPECT_EQ(got_extract.err, "");
  EXPECT_EQ(ReadText(written), expected_content);
  EXPECT_GE(expected_content.size(), 256u << 10);
  std::error_code ec;
  fs::remove(written, ec);
}

INSTANTIATE_TEST_SUITE_P(Formats, ContainerTest, ::testing::ValuesIn(kRecipes),
                         [](const auto& info) { return std::string(info.param.name); });

class DamagedContainerTest : public ::testing::TestWithParam<Damage> {};

// stderr: the container's own reason, after at most one line naming the
// NTFS structure that could not be read because of it.
TEST_P(DamagedContainerTest, FailsToOpenNamingTheFileAndWhy) {
  const Damage& damage = GetParam();
  const Recipe* base = RecipeNamed(damage.base);
  ASSERT_NE(base, nullptr);
  if (!HaveTool(base->tool) || !HaveTool("python3")) GTEST_SKIP() << base->tool << " or python3 is missing";
  ASSERT_TRUE(MakeRecipe(*base));
  ASSERT_TRUE(MakeCase(damage.name, "cp -r " + Quote((CaseRoot() / damage.base).string()) + "/. . && " + damage.damage));
  const std::string container = (CaseRoot() / damage.name / damage.bind).string();
  const Outcome run = Velmora(container, "-f 'C:\\bigdir' -l");
  ASSERT_TRUE(WIFEXITED(run.status)) << "killed by a signal";
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
  EXPECT_NE(run.out.find("Cannot find target object."), std::string::npos) << run.out;
  if (damage.says == nullptr) return;
  EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
  EXPECT_NE(run.err.find(damage.says), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(CaseRoot().string()), std::string::npos) << run.err;  // names the file
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedContainerTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// A chunk of the multi-segment set that fails its checksum where only the
// listing reads it (an index block of \bigdir, which holds the UTF-16 name
// file-100.txt uncompressed): the volume opens, the report ends as on a
// damaged volume, and stderr says where the listing stopped and why.
TEST(ContainerTest, ReadFailingMidReportEndsItSayingWhereAndWhy) {
  const Recipe* recipe = RecipeNamed("ewf_segments");
  if (!HaveTool(recipe->tool) || !HaveTool("python3")) GTEST_SKIP() << "ewfacquire or python3 is missing";
  ASSERT_TRUE(MakeRecipe(*recipe));
  ASSERT_TRUE(MakeCase("ewf_index_chunk_corrupt",
                       "cp -r " + Quote((CaseRoot() / recipe->name).string()) + "/. . && python3 -c \"import glob\n"
                       "name='file-100.txt'.encode('utf-16-le')\n"
                       "f=[g for g in sorted(glob.glob('set.E*')) if name in open(g,'rb').read()][-1]\n"
                       "b=open(f,'rb').read();o=b.rindex(name);h=open(f,'r+b');h.seek(o);h.write(bytes(x^0xFF for x in b[o:o+2]))\""));
  const std::string sound = Velmora((CaseRoot() / recipe->name / recipe->bind).string(), "-f 'C:\\bigdir' -l").out;
  const Outcome run = Velmora((CaseRoot() / "ewf_index_chunk_corrupt" / recipe->bind).string(), "-f 'C:\\bigdir' -l");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out, sound);
  EXPECT_NE(run.out.find("Number of files : "), std::string::npos) << run.out;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
  EXPECT_NE(run.err.find("listing ends early"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("set.E01: read failed at offset"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("checksum"), std::string::npos) << run.err;
}

TEST(ContainerTest, WriteRefusesEverySegmentExtentAndParent) {
  struct Guarded {
    const char* recipe;
    const char* target;  // a file of the source other than the one bound
  };
  const Guarded cases[] = {
      {"ewf_segments", "set.E03"}, {"split_numbers", "disk.003"}, {"vmdk_extents", "d-s001.vmdk"},
      {"qcow2_backing", "base.qcow2"}};
  for (const Guarded& c : cases) {
    SCOPED_TRACE(c.recipe);
    const Recipe* recipe = RecipeNamed(c.recipe);
    if (!HaveTool(recipe->tool)) continue;
    ASSERT_TRUE(MakeRecipe(*recipe));
    const fs::path dir = CaseRoot() / c.recipe;
    const fs::path link = CaseRoot() / (std::string("link.") + c.recipe);
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(dir / c.target, link, ec);
    const std::string before = ReadText(dir / c.target);
    for (const fs::path& out : {dir / c.target, link}) {
      const Outcome run = Velmora((dir / recipe->bind).string(), "-f 'C:\\$UpCase' -w 1 " + Quote(out.string()));
      EXPECT_NE(run.out.find("Write file failed."), std::string::npos);
      EXPECT_NE(run.err.find("Refusing to write"), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadText(dir / c.target), before);
    fs::remove(link, ec);
  }
}

// GNU split's own names, in the order it wrote them (which is theirs
// sorted), widenings included (xyz then xzaaa, x89 then x9000): walked from
// the first by the opener's rule, every one found and none skipped, and
// every one a name the -w guard keeps out of the set.
TEST(ContainerTest, SplitSetsAreWalkedInTheOrderSplitNamesThem) {
  const struct {
    const char* command;  // on standard input
    int parts;
  } rows[] = {{"split -b 1", 680},                          // xyz, then xzaaa
              {"split -b 1 -d", 110},                       // x89, then x9000
              {"split -b 1 --numeric-suffixes=1 - p.", 99},  // a start given: no widening
              {"split -b 1 -d -a 3 - q.", 120}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    const fs::path dir = CaseRoot() / ("split_names." + std::to_string(getpid()));
    std::error_code ec;
    fs::create_directories(dir, ec);
    int status = 0;
    const std::string listed = RunCommand("cd " + Quote(dir.string()) + " && head -c " + std::to_string(row.parts) +
                                              " /dev/zero | " + row.command + " && LC_ALL=C ls",
                                          &status);
    fs::remove_all(dir, ec);
    ASSERT_EQ(status, 0);
    std::vector<std::string> made;
    for (size_t at = 0, end; (end = listed.find('\n', at)) != std::string::npos; at = end + 1)
      made.push_back(listed.substr(at, end - at));
    ASSERT_EQ(made.size(), static_cast<size_t>(row.parts));
    auto part = source::FirstSplitPart(made.front());
    ASSERT_TRUE(part.has_value());
    std::vector<std::string> walked = {part->Name()};
    for (;;) {
      const std::vector<source::SplitPartName> next = source::NextSplitParts(*part);
      const auto found = std::find_if(next.begin(), next.end(), [&](const source::SplitPartName& candidate) {
        return std::binary_search(made.begin(), made.end(), candidate.Name());
      });
      if (found == next.end()) break;
      part = *found;
      walked.push_back(part->Name());
    }
    EXPECT_EQ(walked, made);
    for (const std::string& name : made)
      EXPECT_EQ(source::SetMemberKind(made.front(), name), source::Format::kSplitRaw) << name;
  }
}

// A split set read without its last part: the volume opens as far as its
// parts go, and stderr first says that the source is shorter than the
// volume, with both sizes (the committed volume's, the parts' together).
TEST(ContainerTest, ASplitSetWithoutItsLastPartIsToldShort) {
  for (const char* name : {"split_numbers", "split_letters", "split_gnu_numbers", "split_gnu_default"}) {
    SCOPED_TRACE(name);
    const Recipe* recipe = RecipeNamed(name);
    if (!HaveTool(recipe->tool)) GTEST_SKIP() << recipe->tool << " is missing";
    ASSERT_TRUE(MakeRecipe(*recipe));
    const std::string short_case = std::string(name) + "_short";
    ASSERT_TRUE(MakeCase(short_case, "cp -r " + Quote((CaseRoot() / name).string()) + "/. . && rm \"$(ls | tail -n 1)\""));
    uint64_t parts = 0;
    for (const auto& entry : fs::directory_iterator(CaseRoot() / short_case)) parts += entry.file_size();
    const std::string bound = (CaseRoot() / short_case / recipe->bind).string();
    const Outcome run = Velmora(bound, "-f 'C:\\'");
    EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1),
              bound + ": the boot sector gives a volume of " + std::to_string(LoadVolume(recipe->volume).image.size()) +
                  " bytes, the source holds only " + std::to_string(parts) +
                  ": a truncated acquisition, or one part of a split set\n");
  }
}

// The damaged-container campaign: every byte of a container's own
// structures (EWF file header, first section and chunk tables; QCOW2 header,
// L1 and first L2 table; VHDX region table and BAT; VHD footer, dynamic
// header and BAT; VMDK sparse header and grain directory) set to 0x00, 0xFF
// and its value plus one, each damaged container opened in-process as the
// command line opens it and listed. A crash ends the suite with the damaged
// file kept in containers/campaign/ for the closing note; a run longer than
// the alarm is a hang. The libraries check few of these bytes, so a listing
// that differs from the sound one is counted, not failed: only a crash, a
// hang or a change to the container fails.
struct Region {
  const char* recipe;
  const char* file;
  // Python expression for the start of the region, over the file's bytes b.
  const char* start;
  int length;
};

const Region kRegions[] = {
    {"ewf_compressed", "one.E01", "0", 13 + 76},
    {"ewf_compressed", "one.E01", "b.index(b'table')", 76 + 64},
    {"ewf_compressed", "one.E01", "b.index(b'table2')", 76 + 64},
    {"qcow2", "d.qcow2", "0", 104},
    {"qcow2", "d.qcow2", "int.from_bytes(b[40:48],'big')", 64},
    {"qcow2", "d.qcow2", "int.from_bytes(b[int.from_bytes(b[40:48],'big'):][:8],'big') & 0xFFFFFFFFFFFE00", 64},
    {"vhdx", "d.vhdx", "0x30000", 80},
    {"vhdx", "d.vhdx", kVhdxBat.c_str(), 64},
    {"vhd_dynamic", "d.vhd", "0", 512 + 64},
    {"vhd_dynamic", "d.vhd", "int.from_bytes(b[512+16:512+24],'big')", 64},
    {"vmdk_sparse", "d.vmdk", "0", 80},
    {"vmdk_sparse", "d.vmdk", "int.from_bytes(b[56:64],'little')*512", 64},
};

// Every damaged byte value in a plain build, every 8th under the sanitizers.
uint64_t ContainerCampaignStride() { return CampaignStride(1, 8); }

TEST(ContainerCampaign, DamagedStructuresNeverCrashHangOrChangeTheContainer) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is missing";
  const fs::path campaign = CaseRoot() / "campaign";
  std::error_code ec;
  fs::create_directories(campaign, ec);
  const uint64_t stride = ContainerCampaignStride();
  uint64_t runs = 0;
  uint64_t failed_with_reason = 0;
  uint64_t failed_silently = 0;
  uint64_t differed = 0;
  for (const Region& region : kRegions) {
    const Recipe* recipe = RecipeNamed(region.recipe);
    if (!HaveTool(recipe->tool) || !MakeRecipe(*recipe)) continue;
    const fs::path dir = CaseRoot() / region.recipe;
    const std::string sound = ReadText(dir / region.file);
    int status = 0;
    const std::string start_text = RunCommand(
        "python3 -c \"b=open('" + (dir / region.file).string() + "','rb').read();print(" + region.start + ")\"", &status);
    ASSERT_EQ(status, 0) << region.start;
    const size_t start = std::stoull(start_text);
    ASSERT_LE(start + region.length, sound.size()) << region.start;

    // The damaged container sits beside its other files (segments, extents).
    const fs::path copy = campaign / region.recipe;
    fs::remove_all(copy, ec);
    fs::copy(dir, copy, fs::copy_options::recursive, ec);
    const fs::path target = copy / region.file;
    const std::vector<std::u16string> arguments = {u"-m", u"C:", U16((copy / recipe->bind).string()), u"-f",
                                                   u"C:\\bigdir", u"-l"};
    auto system = platform::CreateSystemPlatform();
    source::BoundPlatform bound(*system);
    const RunResult expected = RunVelmora(bound, arguments);
    uint64_t step = 0;
    for (size_t at = start; at < start + region.length; ++at) {
      const uint8_t was = static_cast<uint8_t>(sound[at]);
      for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(was + 1)}) {
        if (value == was || step++ % stride != 0) continue;
        std::string damaged = sound;
        damaged[at] = static_cast<char>(value);
        std::ofstream(target, std::ios::binary | std::ios::trunc).write(damaged.data(), damaged.size());
        SCOPED_TRACE(target.string() + " byte " + std::to_string(at) + " = " + std::to_string(value));
        alarm(60);
        auto fresh = platform::CreateSystemPlatform();  // the open failure of one run is not the next one's
        source::BoundPlatform fresh_bound(*fresh);
        const RunResult run = RunVelmora(fresh_bound, arguments);
        alarm(0);
        ++runs;
        if (run.exit_code != 0) (run.err.empty() ? failed_silently : failed_with_reason)++;
        else if (run.out != expected.out) ++differed;
        ASSERT_EQ(ReadText(target), damaged);
      }
    }
    std::ofstream(target, std::ios::binary | std::ios::trunc).write(sound.data(), sound.size());
  }
  std::printf("container campaign: %llu runs: %llu failed with a reason, %llu failed without one, "
              "%llu listed something else, the rest as sound\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(failed_with_reason),
              static_cast<unsigned long long>(failed_silently), static_cast<unsigned long long>(differed));
}

// Detection by content: each signature where its format keeps it, and the
// bytes of a plain raw image, which look like nothing in particular.
TEST(ContainerTest, DetectsFormatsByTheirSignatures) {
  struct Row {
    std::string head;
    std::string tail;
    source::Format format;
  };
  const std::string ntfs_boot = std::string("\xEB\x52\x90NTFS    ", 11) + std::string(501, '\0');
  const Row rows[] = {
      {std::string("EVF\x09\x0D\x0A\xFF\x00", 8), "", source::Format::kEwf},
      {std::string("EVF2\x0D\x0A\x81\x00", 8), "", source::Format::kEwf},
      {std::string("AFF10\x0D\x0A\x00", 8), "", source::Format::kAff},
      {"vhdxfile", "", source::Format::kVhdx},
      {"conectix", "conectix", source::Format::kVhd},          // dynamic: a footer copy first
      {ntfs_boot, "conectix" + std::string(504, '\0'), source::Format::kVhd},  // fixed: the footer only
      {ntfs_boot, "x" + std::string("conectix") + std::string(503, '\0'), source::Format::kVhd},  // 511-byte footer
      {"KDMV", "", source::Format::kVmdk},
      {"COWD", "", source::Format::kVmdk},
      {"# Disk DescriptorFile\n", "", source::Format::kVmdk},
      {"QFI\xFB", "", source::Format::kQcow},
      {ntfs_boot, std::string(512, '\0'), source::Format::kRaw},
      {"EVF", "", source::Format::kRaw},  // too short to be the signature
  };
  for (const Row& row : rows) {
    auto bytes = [](const std::string& s) {
      return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(source::DetectFormat(bytes(row.head), bytes(row.tail)), row.format) << row.head.substr(0, 8);
  }
}

}  // namespace
}  // namespace velmora::testing
