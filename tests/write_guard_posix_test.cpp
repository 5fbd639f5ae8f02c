// -w's guard through the built POSIX binary on a real image file: the
// output is refused, and the image left as it was, when it names the image
// under any name (hard or symbolic link), a device node, or the file behind
// a loop device being read.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::Quote;
using testing::ReadFile;

class WriteCommandGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora_write_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = dir_ / "volume.img";
    std::vector<std::string> names = testing::CommittedVolumeNames();
    if (!names.empty()) {
      const testing::TestVolume& volume = testing::LoadVolume(names.front());
      std::ofstream(image_, std::ios::binary)
          .write(reinterpret_cast<const char*>(volume.image.data()), static_cast<std::streamsize>(volume.image.size()));
    } else if (std::system("command -v mkntfs >/dev/null 2>&1") == 0) {
      const std::string make = "truncate -s 8M " + Quote(image_) + " && mkntfs -F -q -Q -L guard " + Quote(image_) +
                               " >/dev/null 2>&1";
      ASSERT_EQ(std::system(make.c_str()), 0);
    } else {
      GTEST_SKIP() << "no committed volume and no mkntfs to make one";
    }
    digest_ = testing::Sha256Hex(ReadFile(image_));
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  using Result = testing::ProgramRun;
  // velmora -m C: <source> -f C:\ -w <id> <output>
  Result Run(const std::string& source, const std::string& output, const std::string& id = "0") {
    return testing::RunBuiltVelmora(dir_, "-m C: " + Quote(source) + " -f 'C:\\' -w " + id + " " + Quote(output));
  }
  void ExpectRefused(const Result& r, const std::string& what) {
    EXPECT_EQ(r.code, 0) << what;
    EXPECT_NE(r.out.find("Write file failed.\n"), std::string::npos) << what << "\n" << r.out;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << "\n" << r.err;
    EXPECT_EQ(testing::Sha256Hex(ReadFile(image_)), digest_) << what;
  }

  std::filesystem::path dir_;
  std::filesystem::path image_;
  std::string digest_;
};

TEST_F(WriteCommandGuardTest, WritesAnOrdinaryFile) {
  const auto out = dir_ / "out.bin";
  const mode_t mask = umask(0);
  umask(mask);
  auto r = Run(image_, out);
  EXPECT_NE(r.out.find("Write file succeed.\n"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_GT(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
  EXPECT_EQ(testing::Sha256Hex(ReadFile(image_)), digest_);
}

TEST_F(WriteCommandGuardTest, RefusesTheImageUnderEveryName) {
  ExpectRefused(Run(image_, image_), "the image");
  const auto hard = dir_ / "hard.img";
  std::filesystem::create_hard_link(image_, hard);
  ExpectRefused(Run(image_, hard), "a hard link");
  const auto soft = dir_ / "soft.img";
  std::filesystem::create_symlink(image_, soft);
  ExpectRefused(Run(image_, soft), "a symbolic link");
  std::filesystem::create_directory(dir_ / "sub");
  ExpectRefused(Run(image_, dir_ / "sub" / ".." / "volume.img"), "a path through ..");
  // Read through a link, written by its own name.
  ExpectRefused(Run(soft, image_), "the image read through a link");
  // An unknown id does not get past the guard either: the image is not truncated.
  ExpectRefused(Run(image_, image_, "ffff"), "the image, unknown id");
}

// A name a bound set would read as one of its files is refused before any
// such file exists, in the folder of the set's first file: an EWF segment
// past the last (empty files stand for the set bound to D:, which is never
// read), the part after a first part that stands alone so far.
TEST_F(WriteCommandGuardTest, RefusesNamesThatWouldJoinABoundSet) {
  for (const char* segment : {"case.E01", "case.E02", "case.E03"}) std::ofstream(dir_ / segment).close();
  for (const char* first : {"vol.001", "xaa"}) std::filesystem::create_hard_link(image_, dir_ / first);
  std::filesystem::create_directory(dir_ / "sub");
  const struct {
    const char* bound;  // an EWF name bound to D: beside the image on C:, or a first part read as C:
    const char* output;
    const char* refusal;  // null: written
  } rows[] = {
      {"case.E01", "case.E04", "EWF set bound to drive D:"},
      {"case.E01", "case.EAA", "EWF set bound to drive D:"},
      {"case.E01", "case.E02", "EWF set bound to drive D:"},
      {"case.E01", "sub/case.E04", nullptr},
      {"case.E01", "case.E04.bin", nullptr},
      {"vol.001", "vol.002", "split raw set bound to drive C:"},
      {"vol.001", "sub/../vol.002", "split raw set bound to drive C:"},
      {"vol.001", "vol.2", nullptr},
      {"xaa", "xab", "split raw set bound to drive C:"},
      {"xaa", "xzaaa", "split raw set bound to drive C:"},  // past xyz
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.bound) + " " + row.output);
    const bool ewf = std::string(row.bound) == "case.E01";
    const std::string read = ewf ? image_.string() : (dir_ / row.bound).string();
    const std::string more = ewf ? "-m D: " + Quote(dir_ / row.bound) + " " : "";
    const auto output = dir_ / row.output;
    const bool existed = std::filesystem::exists(output);
    const Result r = testing::RunBuiltVelmora(
        dir_, "-m C: " + Quote(read) + " " + more + "-f 'C:\\' -w 0 " + Quote(output));
    if (row.refusal == nullptr) {
      EXPECT_NE(r.out.find("Write file succeed.\n"), std::string::npos) << r.out << r.err;
      continue;
    }
    ExpectRefused(r, row.output);
    EXPECT_NE(r.err.find(": it would be read as part of the " + std::string(row.refusal)), std::string::npos) << r.err;
    EXPECT_EQ(std::filesystem::exists(output), existed);
  }
}

TEST_F(WriteCommandGuardTest, RefusesDeviceNodes) {
  auto r = Run(image_, "/dev/null");
  EXPECT_NE(r.out.find("Write file failed.\n"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// A loop device over the temporary image, detached when the test ends.
// Whatever the guard does, only that image can change.
class LoopDevice {
 public:
  explicit LoopDevice(const std::filesystem::path& image, const std::filesystem::path& scratch) {
    if (geteuid() != 0 || std::system("command -v losetup >/dev/null 2>&1") != 0) return;
    const std::string attach = "losetup -f --show " + Quote(image) + " >" + Quote(scratch) + " 2>/dev/null";
    if (std::system(attach.c_str()) != 0) return;
    auto bytes = ReadFile(scratch);
    name_.assign(bytes.begin(), bytes.end());
    while (!name_.empty() && name_.back() == '\n') name_.pop_back();
    if (name_.rfind("/dev/loop", 0) != 0) name_.clear();
  }
  ~LoopDevice() {
    if (!name_.empty()) std::system(("losetup -d " + Quote(name_)).c_str());
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

TEST_F(WriteCommandGuardTest, RefusesABlockDevice) {
  LoopDevice loop(image_, dir_ / "loop");
  if (loop.name().empty()) GTEST_SKIP() << "needs root and a free loop device";
  ExpectRefused(Run(image_, loop.name()), "a loop device over the image");
  ExpectRefused(Run(loop.name(), loop.name()), "the device being read");
}

TEST_F(WriteCommandGuardTest, RefusesTheFileBehindALoopDeviceBeingRead) {
  LoopDevice loop(image_, dir_ / "loop");
  if (loop.name().empty()) GTEST_SKIP() << "needs root and a free loop device";
  ExpectRefused(Run(loop.name(), image_), "the file behind the device being read");
}

}  // namespace
}  // namespace velmora
