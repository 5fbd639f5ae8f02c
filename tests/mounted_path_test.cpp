// The path form of a mounted NTFS volume, end to end: a committed volume
// mounted read-only by ntfs-3g, then named by POSIX paths on the command
// line; the volume read is the mount's source, the walk the on-disk one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/support/volumes.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using namespace testing;

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  return text;
}

class MountedPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0 || std::system("command -v ntfs-3g >/dev/null") != 0)
      GTEST_SKIP() << "needs root, /dev/fuse and ntfs-3g";
    dir_ = fs::temp_directory_path() / ("velmora-mount-" + std::to_string(getpid()));
    fs::create_directories(dir_ / "mnt");
    fs::create_directories(dir_ / "bind");
    const TestVolume& volume = LoadVolume("c4k");
    image_ = (dir_ / "c4k.img").string();
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.image.data()), static_cast<std::streamsize>(volume.image.size()));
    volume_ = &volume;
    if (std::system(("ntfs-3g -o ro,streams_interface=windows '" + image_ + "' '" + Mount() + "'").c_str()) != 0)
      GTEST_SKIP() << "cannot mount with ntfs-3g here";
    mounted_ = true;
  }
  void TearDown() override {
    if (bound_) std::system(("umount '" + (dir_ / "bind").string() + "'").c_str());
    if (mounted_) std::system(("umount '" + Mount() + "'").c_str());
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Mount() const { return (dir_ / "mnt").string(); }
  uint64_t RecordOf(const std::string& path) const {
    for (const Fact* fact : volume_->Facts("path"))
      if (fact->fields.at(2) == path) return std::stoull(fact->fields.at(0));
    return 0;
  }
  std::string Velmora(const std::string& arguments, int* status = nullptr) {
    return RunCommand(std::string(VELMORA_BINARY) + " " + arguments + " 2>&1", status);
  }

  fs::path dir_;
  std::string image_;
  const TestVolume* volume_ = nullptr;
  bool mounted_ = false;
  bool bound_ = false;
};

TEST_F(MountedPathTest, PosixPathsResolveOnTheMountedVolume) {
  // $MFT: ntfs-3g lists no metadata file but finds each by name; it is record 0.
  for (const std::string path : {"\\data\\random.bin", "\\deep\\level02", "\\links\\second name.txt", "\\$MFT"}) {
    std::string posix = Mount();
    for (char c : path) posix += c == '\\' ? '/' : c;
    int status = 0;
    std::string out = Velmora("-f '" + posix + "' -a", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("FILE REF : " + Hex16(RecordOf(path)) + "\n"), std::string::npos) << path << "\n" << out;
    EXPECT_NE(out.find("MFTRecNumber  = " + Hex16(RecordOf(path)) + "\n"), std::string::npos) << out;
  }
  // The root of the mount is the root directory; the system says it is a directory.
  std::string out = Velmora("-f '" + Mount() + "' -l");
  EXPECT_NE(out.find("FILE REF : 0000000000000005\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\t<DIR>\tdata\n"), std::string::npos) << out;
  out = Velmora("-f '" + Mount() + "/readme.txt' -l");
  EXPECT_NE(out.find("Target file is not a directory."), std::string::npos) << out;
}

TEST_F(MountedPathTest, BindMountOfASubdirectoryKeepsItsPlaceOnTheVolume) {
  if (std::system(("mount --bind '" + Mount() + "/data' '" + (dir_ / "bind").string() + "'").c_str()) != 0)
    GTEST_SKIP() << "bind mounts not available";
  bound_ = true;
  std::string out = Velmora("-f '" + (dir_ / "bind" / "random.bin").string() + "' -a");
  EXPECT_NE(out.find("FILE REF : " + Hex16(RecordOf("\\data\\random.bin")) + "\n"), std::string::npos) << out;
}

TEST_F(MountedPathTest, MissingPathIsNotFound) {
  int status = 0;
  std::string out = Velmora("-f '" + Mount() + "/no such file' -a", &status);
  EXPECT_NE(out.find("Cannot find target object."), std::string::npos);
  EXPECT_NE(status, 0);
}

}  // namespace
}  // namespace velmora
