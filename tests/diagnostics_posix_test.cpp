// The built POSIX binary on real files: why a source cannot be opened or
// holds no such partition or offset, the exit status when the report cannot
// be written (/dev/full, a closed stdout), and -w on a file system that
// fills up, which must leave the previous output as it was.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "base/format.h"
#include "platform/posix/file_source.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

using testing::Quote;
using testing::ReadText;

class DiagnosticsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> names = testing::CommittedVolumeNames();
    if (names.empty()) GTEST_SKIP() << "no committed test volumes";
    char pattern[] = "/tmp/velmora_diag_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::vector<uint8_t>& volume = testing::LoadVolume(names.front()).image;
    std::ofstream(dir_ / "volume.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.data()), static_cast<std::streamsize>(volume.size()));
    // The volume as partition 1 of an MBR disk, at LBA 2048.
    std::vector<uint8_t> disk(1 << 20);
    disk[0x1BE + 4] = 0x07;
    const uint32_t first = 2048;
    const auto sectors = static_cast<uint32_t>(volume.size() / 512);
    std::memcpy(&disk[0x1BE + 8], &first, 4);
    std::memcpy(&disk[0x1BE + 12], &sectors, 4);
    disk[0x1FE] = 0x55;
    disk[0x1FF] = 0xAA;
    disk.insert(disk.end(), volume.begin(), volume.end());
    std::ofstream(dir_ / "disk.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(disk.data()), static_cast<std::streamsize>(disk.size()));
  }
  void TearDown() override {
    if (!mount_.empty()) umount(mount_.c_str());
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  using Result = testing::ProgramRun;
  // velmora ARGUMENTS >stdout 2>stderr, or with stdout sent where redirect says.
  Result Run(const std::string& arguments, const std::string& redirect = "") {
    return testing::RunBuiltVelmora(dir_, arguments, redirect);
  }
  std::string Source(const std::string& name) const { return Quote(dir_ / name); }

  fs::path dir_;
  std::string mount_;
};

TEST_F(DiagnosticsCommandTest, SourcePartitionAndOffsetFailuresNameTheCause) {
  struct Case {
    std::string source;
    std::string stderr_line;
  };
  const std::string disk = dir_ / "disk.img";
  const Case cases[] = {
      {dir_ / "missing.img", (dir_ / "missing.img").string() + ": No such file or directory\n"},
      {dir_.string(), dir_.string() + ": is a directory, not a volume image or device\n"},
      {disk + "#3", disk + "#3: no partition 3 on this disk: 1 partition (1), NTFS on 1\n"},
      {disk + "@99999999999", disk + "@99999999999: offset 99999999999 lies past the end of the source (" +
                                  std::to_string(fs::file_size(disk)) + " bytes)\n"},
      {disk + "@0", disk + "@0: not an NTFS volume: it holds a partition table: 1 partition (1), NTFS on 1: name a "
                           "partition with SOURCE#N, or let the first NTFS partition be picked\n"},
      {disk + "@512", disk + "@512: not an NTFS volume: it holds only zeros in its first sector\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const Result r = Run("-m C: " + Quote(c.source) + " -f 'C:\\'");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.ends_with("\n\nCannot find target object. (C:\\)\n")) << r.out;
    EXPECT_EQ(r.err, c.stderr_line);
  }
  // The partition that holds NTFS opens, picked by number or by default.
  for (const std::string& source : {disk + "#1", disk}) {
    const Result r = Run("-m C: " + Quote(source) + " -f 'C:\\'");
    EXPECT_EQ(r.code, 0) << source;
    EXPECT_EQ(r.err, "") << source;
  }
}

TEST(DeviceOpenErrorTest, PermissionDeniedOnADeviceNamesTheWayIn) {
  const Error error = platform::SystemError("/dev/null", EACCES);
  EXPECT_EQ(Utf16ToUtf8(error.Line()), std::string("/dev/null: ") + std::strerror(EACCES) +
                                           " (reading a device needs root or membership of the disk group)");
  EXPECT_EQ(platform::SystemError("/tmp", EACCES).message.find(u"disk group"), std::u16string::npos);
}

TEST_F(DiagnosticsCommandTest, AReportThatCannotBeWrittenIsNeitherSuccessNorNotFound) {
  const std::string args = "-m C: " + Source("volume.img") + " -f 'C:\\' -a";
  Result r = Run(args, ">/dev/full");
  EXPECT_EQ(r.code, kExitOutputFailed);
  EXPECT_EQ(r.err, std::string("velmora: cannot write the report to standard output: ") + std::strerror(ENOSPC) + "\n");
  r = Run(args, ">&-");
  EXPECT_EQ(r.code, kExitOutputFailed);
  EXPECT_EQ(r.err, std::string("velmora: cannot write the report to standard output: ") + std::strerror(EBADF) + "\n");
  // A failed stderr line (nothing can be said about it) still shows in the status.
  const std::string command = Quote(VELMORA_BINARY) + " " + args + " -q >/dev/null 2>/dev/full";
  const int status = std::system(command.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, kExitOutputFailed);
  // And a report that goes out in full keeps its 0.
  EXPECT_EQ(Run(args).code, 0);
}

TEST_F(DiagnosticsCommandTest, WriteOnAFullFileSystemLeavesThePreviousFileAndNoOther) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path small = dir_ / "small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  mount_ = small;
  std::ofstream(small / "out.bin") << "previous";
  // Record 0's $DATA (instance 1), the MFT itself: far more than 64 KiB.
  const Result r = Run("-m C: " + Source("volume.img") + " -f 'C:\\' -r 0 -w 1 " + Quote(small / "out.bin"));
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(r.out.ends_with("Write file failed.\n")) << r.out;
  EXPECT_EQ(r.err, (small / "out.bin").string() + ": " + std::strerror(ENOSPC) + "\n");
  EXPECT_EQ(ReadText(small / "out.bin"), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace velmora
