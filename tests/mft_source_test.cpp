// An extracted $MFT as a source. Its first record's header is judged with
// inline bytes and damaged copies; then the MFT of each committed volume,
// taken out with Sleuth Kit's icat, is bound as a drive: its timeline is the
// volume's, byte for byte (every value the timeline prints is stored in the
// records), names below the root's index node are found by their parents,
// and what needs the volume's clusters is refused with the reason.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::Put16;
using testing::Put32;
using testing::Quote;

// Record 0's header as NTFS writes it: FILE, the update sequence array at
// 0x30 with one word per 512 bytes, attributes from 0x38.
std::vector<uint8_t> RecordHeader(uint32_t allocated) {
  std::vector<uint8_t> bytes(allocated);
  Put32(bytes, 0x00, 0x454C4946);
  Put16(bytes, 0x04, 0x30);
  Put16(bytes, 0x06, static_cast<uint16_t>(allocated / 512 + 1));
  Put16(bytes, 0x14, static_cast<uint16_t>((0x30 + 2 * (allocated / 512 + 1) + 7) & ~7u));
  Put32(bytes, 0x18, 0x1A0);
  Put32(bytes, 0x1C, allocated);
  return bytes;
}

TEST(MftFileGeometryTest, TheRecordSizeComesFromTheFirstRecordsHeader) {
  const struct {
    const char* what;
    uint32_t allocated;
    uint64_t offset;  // a field changed, with its width
    uint32_t value;
    int width;
    uint64_t source_bytes;
    uint32_t record_bytes;  // 0: refused
  } cases[] = {
      {"1 KiB records", 1024, 0, 0, 0, 1 << 20, 1024},
      {"4 KiB records", 4096, 0, 0, 0, 1 << 20, 4096},
      {"no FILE signature", 1024, 0x00, 0x44414142, 4, 1 << 20, 0},
      {"2 KiB allocated", 1024, 0x1C, 2048, 4, 1 << 20, 0},
      {"update sequence of the wrong length", 1024, 0x06, 9, 2, 1 << 20, 0},
      {"update sequence inside the header", 1024, 0x04, 0x10, 2, 1 << 20, 0},
      {"attributes past the record", 1024, 0x14, 0x400, 2, 1 << 20, 0},
      {"more bytes in use than allocated", 1024, 0x18, 0x401, 4, 1 << 20, 0},
      {"a source shorter than one record", 4096, 0, 0, 0, 1024, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> record = RecordHeader(c.allocated);
    if (c.width == 4) Put32(record, c.offset, c.value);
    if (c.width == 2) Put16(record, c.offset, static_cast<uint16_t>(c.value));
    auto g = ValidateMftFileGeometry(record, c.source_bytes);
    ASSERT_EQ(g.has_value(), c.record_bytes != 0) << c.what;
    if (!g) continue;
    EXPECT_TRUE(g->MftOnly()) << c.what;
    EXPECT_EQ(g->BytesPerFileRecord(), c.record_bytes) << c.what;
    EXPECT_EQ(g->MftOffset(), 0u) << c.what;
  }
}

// Two records opened as a source: read by offset, the third refused as
// absent, a cluster read refused and remembered; a damaged first record
// names the source for what it is.
TEST(MftFileGeometryTest, RecordsAreReadByOffsetAndClustersNever) {
  std::vector<uint8_t> file = RecordHeader(1024);
  const std::vector<uint8_t> second = RecordHeader(1024);
  file.insert(file.end(), second.begin(), second.end());
  VolumeContext volume;
  ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(file), u"mft.bin"));
  EXPECT_TRUE(volume.MftOnly());
  EXPECT_TRUE(ReadFileRecord(volume, RecordNumber(1)));
  auto third = ReadFileRecord(volume, RecordNumber(2));
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().kind, ErrorKind::kAbsent);
  EXPECT_NE(third.error().Line().find(u"holds 2 records"), std::u16string::npos);
  EXPECT_EQ(MftRunList(volume), nullptr);
  std::vector<uint8_t> cluster(kMftFileClusterBytes);
  EXPECT_FALSE(volume.ClusterReadRefused());
  EXPECT_FALSE(ReadVolumeBytes(volume, 0, cluster));
  EXPECT_TRUE(volume.ClusterReadRefused());

  Put32(file, 0x1C, 512);
  VolumeContext damaged;
  auto opened = OpenVolumeSource(damaged, std::make_unique<source::MemorySource>(file), u"mft.bin");
  ASSERT_FALSE(opened);
  EXPECT_NE(opened.error().Line().find(u"mft.bin: an extracted MFT whose first record cannot be used"),
            std::u16string::npos);
}

#ifndef _WIN32  // the command tests run the built program and icat through a POSIX shell
class MftSourceCommandTest : public testing::OnCommittedVolumes {
 protected:
  void SetUp() override {
    OnCommittedVolumes::SetUp();
    if (IsSkipped()) return;
    if (std::system("command -v icat >/dev/null 2>&1") != 0) GTEST_SKIP() << "Sleuth Kit's icat is not installed";
    char pattern[] = "/tmp/velmora_mftsrc_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // The image in the scratch folder, and its $MFT as icat writes it; false
  // for a volume Sleuth Kit cannot open (c128k: its cluster byte above 0x80).
  bool Extract(const testing::TestVolume& volume) {
    image_ = (dir_ / (volume.name + ".img")).string();
    mft_ = (dir_ / (volume.name + "-mft.bin")).string();
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.image.data()), static_cast<std::streamsize>(volume.image.size()));
    int status = 0;
    testing::RunCommand("icat " + Quote(image_) + " 0 > " + Quote(mft_) + " 2>/dev/null", &status);
    return status == 0;
  }
  testing::ProgramRun Run(const std::string& source, const std::string& arguments) {
    return testing::RunBuiltVelmora(dir_, "-m C: " + Quote(source) + " " + arguments);
  }
  std::filesystem::path dir_;
  std::string image_;
  std::string mft_;
};

TEST_F(MftSourceCommandTest, TimelineIsTheVolumesByteForByte) {
  int compared = 0;
  for (const std::string& name : names_) {
    if (!Extract(testing::LoadVolume(name))) continue;
    ++compared;
    const testing::ProgramRun volume = Run(image_, "-f 'C:\\' --timeline");
    const testing::ProgramRun mft = Run(mft_, "-f 'C:\\' --timeline");
    EXPECT_EQ(mft.code, 0) << name << "\n" << mft.err;
    EXPECT_FALSE(mft.out.empty()) << name;
    EXPECT_EQ(mft.out, volume.out) << name;
  }
  EXPECT_GT(compared, 0);
}

TEST_F(MftSourceCommandTest, RecordsAnswerAndClustersAreRefusedWithTheReason) {
  const testing::TestVolume& volume = testing::LoadVolume("c4k");
  ASSERT_TRUE(Extract(volume));
  // Records by path as fls named them, below the root's index node too.
  for (const testing::Fact* path : volume.Facts("path")) {
    if (path->fields.size() < 3 || path->fields[2].find("\\bigdir\\file-00") != 0) continue;
    const testing::ProgramRun run = Run(mft_, "-f " + Quote("C:" + path->fields[2]) + " --json");
    EXPECT_NE(run.out.find("\"reference\":{\"record\":" + path->fields[0] + ","), std::string::npos) << path->fields[2] << "\n" << run.out << run.err;
  }
  const struct {
    std::string arguments;
    std::string out_has, err_has;
  } rows[] = {
      {"-f 'C:\\' -l", "Number of files : ", "listed from $INDEX_ROOT only"},
      {"-f 'C:\\' -s 100", "Security attribute:\n\tNONE\n", "-s not run: security descriptors"},
      {"-f 'C:\\' -c", "\tNONE\n", "-c not run"},
      {"-f 'C:\\$MFT' -x " + Quote((dir_ / "out.bin").string()), "Extract file failed.\n",
       "the collection holds only the MFT"},
  };
  for (const auto& row : rows) {
    const testing::ProgramRun run = Run(mft_, row.arguments);
    EXPECT_NE(run.out.find(row.out_has), std::string::npos) << row.arguments << "\n" << run.out;
    EXPECT_NE(run.err.find(row.err_has), std::string::npos) << row.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find("holds only the MFT"), std::string::npos) << row.arguments;
  }
  // A resident value reads as on the volume.
  const testing::ProgramRun readme = Run(mft_, "-f 'C:\\readme.txt' -x - --hash");
  EXPECT_EQ(readme.code, 0) << readme.err;
  std::string readme_record;
  for (const testing::Fact* path : volume.Facts("path"))
    if (path->fields.size() >= 3 && path->fields[2] == "\\readme.txt") readme_record = path->fields[0];
  ASSERT_FALSE(readme_record.empty());
  for (const testing::Fact* v : volume.Facts("value")) {
    if (v->fields.size() >= 7 && v->fields[0] == readme_record && v->fields[1] == "128" && v->fields[3] == "-") {
      EXPECT_NE(readme.err.find("SHA256 : " + v->fields[5]), std::string::npos) << readme.err;
    }
  }
}

#endif  // _WIN32

}  // namespace
}  // namespace velmora
