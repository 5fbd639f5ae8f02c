#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/posix/file_source.h"
#include "base/format.h"
#include "platform/posix/mountinfo.h"
#include "platform/posix/posix_platform.h"
#include "security/well_known_sids.h"
#include "source/bound_platform.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velmora_platform_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const char* name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

std::vector<uint8_t> Head(source::ByteSource& source, size_t count) {
  std::vector<uint8_t> out(count);
  if (!source.ReadAt(0, out)) out.clear();
  return out;
}

// ---- FileSource

TEST(FileSourceTest, ReadsWholeRangesAndFailsShortReads) {
  TempDir dir;
  const std::vector<uint8_t> bytes = Pattern(1000, 3);
  WriteFile(dir / "vol.img", bytes);
  auto opened = FileSource::Open(dir / "vol.img");
  ASSERT_TRUE(opened);
  auto& source = *opened;
  EXPECT_EQ(source->Size(), 1000u);
  struct stat st {};
  ASSERT_EQ(stat((dir / "vol.img").c_str(), &st), 0);
  EXPECT_EQ(source->FileIdentity(), std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino)));

  std::vector<uint8_t> out(200);
  ASSERT_TRUE(source->ReadAt(800, out));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 800));
  // Past the end: a failure, never a partial success.
  EXPECT_FALSE(source->ReadAt(900, out));
  EXPECT_FALSE(source->ReadAt(1000, out));
  EXPECT_FALSE(source->ReadAt(UINT64_MAX - 10, out));
  EXPECT_FALSE(source->ReadAt(uint64_t{1} << 63, out));
  EXPECT_TRUE(source->ReadAt(1000, std::span<uint8_t>()));
}

TEST(FileSourceTest, OpenFailuresNameThePathAndTheReason) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir / "missing.img", "No such file or directory"},
      {dir.path(), "is a directory"},
      {dir / "fifo", "not a volume image or device"},  // and the open does not block
  };
  for (const auto& [path, reason] : cases) {
    auto opened = FileSource::Open(path);
    ASSERT_FALSE(opened) << path;
    EXPECT_EQ(Utf16ToUtf8(opened.error().where), path);
    EXPECT_NE(Utf16ToUtf8(opened.error().message).find(reason), std::string::npos) << path;
  }
}

// ---- Paths, drive bindings, device opening

TEST(PosixPlatformTest, DrivePathsAndPosixPaths) {
  TempDir dir;
  WriteFile(dir / "vol.img", Pattern(512, 0));
  PosixPlatform system;
  source::BoundPlatform platform(system);
  platform.BindDrive(u'c', Utf8ToUtf16(dir / "vol.img"));

  // The system has no view of a bound drive: the volume decides.
  EXPECT_TRUE(platform.PathExists(u"C:\\Windows\\missing"));
  EXPECT_TRUE(platform.PathExists(u"c:\\"));
  EXPECT_TRUE(platform.PathExists(u"\\\\?\\C:\\x"));
  EXPECT_EQ(platform.PathIsDirectory(u"C:\\Windows"), std::nullopt);
  EXPECT_FALSE(platform.PathExists(u"D:\\x"));
  EXPECT_FALSE(platform.PathExists(u"\\\\?\\D:\\x"));
  EXPECT_EQ(platform.PathIsDirectory(u"D:\\x"), false);

  EXPECT_TRUE(platform.PathExists(Utf8ToUtf16(dir.path())));
  EXPECT_TRUE(platform.PathExists(Utf8ToUtf16(dir / "vol.img")));
  EXPECT_FALSE(platform.PathExists(Utf8ToUtf16(dir / "nothing")));
  EXPECT_EQ(platform.PathIsDirectory(Utf8ToUtf16(dir.path())), true);
  EXPECT_EQ(platform.PathIsDirectory(Utf8ToUtf16(dir / "vol.img")), false);

  // Neither form: relative and UNC paths.
  EXPECT_FALSE(platform.PathExists(u"vol.img"));
  EXPECT_FALSE(platform.PathExists(u"\\\\server\\share\\x"));
  EXPECT_EQ(platform.PathIsDirectory(u"."), false);

  EXPECT_EQ(platform.UnboundDriveAdvice(u'e'), u"Drive E: is not bound to a volume: bind it with -m E: IMAGE_OR_DEVICE");
}

TEST(PosixPlatformTest, OpenDeviceThroughBindings) {
  TempDir dir;
  WriteFile(dir / "one.img", Pattern(1024, 1));
  WriteFile(dir / "two.img", Pattern(1024, 2));
  PosixPlatform system;
  source::BoundPlatform platform(system);
  platform.BindDrive(u'c', Utf8ToUtf16(dir / "one.img"));
  auto first = platform.OpenDevice(u"\\\\.\\C:");
  ASSERT_TRUE(first);
  EXPECT_EQ(Head(**first, 16), std::vector<uint8_t>(Pattern(16, 1)));

  platform.BindDrive(u'C', Utf8ToUtf16(dir / "two.img"));  // the later binding wins
  auto second = platform.OpenDevice(u"\\\\.\\c:");
  ASSERT_TRUE(second);
  EXPECT_EQ(Head(**second, 16), Pattern(16, 2));

  auto unbound = platform.OpenDevice(u"\\\\.\\D:");
  ASSERT_FALSE(unbound);
  EXPECT_NE(unbound.error().message.find(u"-m D:"), std::u16string::npos);

  // Any other name is a device or image path, as a mount names it.
  auto direct = platform.OpenDevice(Utf8ToUtf16(dir / "one.img"));
  ASSERT_TRUE(direct);
  EXPECT_EQ(Head(**direct, 16), Pattern(16, 1));
  EXPECT_FALSE(platform.OpenDevice(Utf8ToUtf16(dir / "none.img")));
  EXPECT_FALSE(platform.OpenDevice(u"one.img"));  // never relative to the working directory
  EXPECT_FALSE(platform.OpenDevice(u"\\.\1:"));
}

TEST(PosixPlatformTest, OpenDeviceFindsTheVolumeInADiskImage) {
  TempDir dir;
  // An MBR with one NTFS partition at LBA 8.
  std::vector<uint8_t> disk(64 * 512);
  disk[0x1BE + 4] = 0x07;
  disk[0x1BE + 8] = 8;
  disk[0x1BE + 12] = 32;
  disk[0x1FE] = 0x55;
  disk[0x1FF] = 0xAA;
  std::memcpy(&disk[8 * 512 + 3], "NTFS    ", 8);
  disk[8 * 512 + 0x1FE] = 0x55;
  disk[8 * 512 + 0x1FF] = 0xAA;
  WriteFile(dir / "disk.img", disk);
  WriteFile(dir / "odd@4096", Pattern(1024, 9));
  const std::vector<uint8_t> boot(disk.begin() + 8 * 512, disk.begin() + 8 * 512 + 16);

  PosixPlatform system;
  source::BoundPlatform platform(system);
  for (const char* source : {"disk.img", "disk.img#1", "disk.img@4096", "disk.img@0x1000"}) {
    SCOPED_TRACE(source);
    platform.BindDrive(u'X', Utf8ToUtf16(dir / source));
    auto volume = platform.OpenDevice(u"\\\\.\\X:");
    ASSERT_TRUE(volume);
    EXPECT_EQ(Head(**volume, 16), boot);
    EXPECT_EQ((*volume)->Size(), disk.size() - 4096);
  }
  platform.BindDrive(u'X', Utf8ToUtf16(dir / "disk.img#2"));
  auto absent = platform.OpenDevice(u"\\\\.\\X:");
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().message, u"no partition 2 on this disk: 1 partition (1), NTFS on 1");
  platform.BindDrive(u'X', Utf8ToUtf16(dir / "disk.img@32768"));
  EXPECT_FALSE(platform.OpenDevice(u"\\\\.\\X:"));  // the offset is the disk's size

  // A file whose own name holds '@' is taken as it is.
  platform.BindDrive(u'Y', Utf8ToUtf16(dir / "odd@4096"));
  auto odd = platform.OpenDevice(u"\\\\.\\Y:");
  ASSERT_TRUE(odd);
  EXPECT_EQ(Head(**odd, 16), Pattern(16, 9));
}

// ---- mountinfo

constexpr char kMountInfoText[] =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "30 22 7:0 / /mnt/win rw,relatime shared:5 - fuseblk /dev/loop0 rw,allow_other,blksize=4096\n"
    "31 22 0:46 / /mnt/img\\040dir rw - fuse /srv/case\\040one/vol\\134x.img rw,allow_other\n"
    "32 22 7:0 /Users/Bob /home/bob/ntfs rw,relatime shared:7 master:2 - fuseblk /dev/loop0 rw\n"
    "33 22 8:17 / /mnt/winx rw - ntfs3 /dev/sdb1 rw\n"
    "34 22 8:18 / /mnt/stack rw - ntfs3 /dev/sdc1 rw\n"
    "35 34 8:19 / /mnt/stack rw - ntfs3 /dev/sdd1 rw\n"
    "a line that is not a mount\n"
    "36 22 0:5 / /short rw -\n";

TEST(MountInfoTest, ParsesFieldsAndEscapes) {
  std::vector<MountEntry> mounts = ParseMountInfo(kMountInfoText);
  ASSERT_EQ(mounts.size(), 7u);
  EXPECT_EQ(mounts[1].fs_type, "fuseblk");
  EXPECT_EQ(mounts[1].source, "/dev/loop0");
  EXPECT_EQ(mounts[2].mount_point, "/mnt/img dir");
  EXPECT_EQ(mounts[2].source, "/srv/case one/vol\\x.img");
  EXPECT_EQ(mounts[3].root, "/Users/Bob");  // after two optional fields
  EXPECT_EQ(mounts[3].source, "/dev/loop0");
}

TEST(MountInfoTest, LocatesLongestMountAndBindRoot) {
  std::vector<MountEntry> mounts = ParseMountInfo(kMountInfoText);
  using Parts = std::vector<std::string>;
  auto locate = [&](const char* path) -> std::pair<std::string, Parts> {
    auto found = LocateInMounts(mounts, path);
    if (!found) return {"none", {}};
    return {found->mount->source, found->components};
  };
  EXPECT_EQ(locate("/mnt/win/Windows/notepad.exe"), std::make_pair(std::string("/dev/loop0"), Parts{"Windows", "notepad.exe"}));
  EXPECT_EQ(locate("/mnt/win"), std::make_pair(std::string("/dev/loop0"), Parts{}));
  EXPECT_EQ(locate("/mnt/winx/a"), std::make_pair(std::string("/dev/sdb1"), Parts{"a"}));  // not under /mnt/win
  EXPECT_EQ(locate("/mnt/img dir/f"), std::make_pair(std::string("/srv/case one/vol\\x.img"), Parts{"f"}));
  EXPECT_EQ(locate("/home/bob/ntfs/Documents/x"),
            std::make_pair(std::string("/dev/loop0"), Parts{"Users", "Bob", "Documents", "x"}));
  EXPECT_EQ(locate("/mnt/stack/y"), std::make_pair(std::string("/dev/sdd1"), Parts{"y"}));  // the later mount hides the earlier
  EXPECT_EQ(locate("/etc/passwd"), std::make_pair(std::string("/dev/sda1"), Parts{"etc", "passwd"}));
  EXPECT_EQ(locate("relative/path").first, "none");
  EXPECT_EQ(LocateInMounts({}, "/x"), std::nullopt);
}

// ---- time

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (old_) setenv("TZ", old_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

constexpr uint64_t FileTimeOfUnix(int64_t seconds) { return uint64_t(seconds + 11644473600) * 10000000; }

std::string Local(PosixPlatform& platform, uint64_t filetime) {
  auto t = platform.FileTimeToLocal(filetime);
  if (!t) return "none";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t->year, t->month, t->day, t->hour, t->minute,
                t->second);
  return text;
}

TEST(FileTimeTest, ConvertsInTheTimeZoneInForce) {
  PosixPlatform platform;
  const uint64_t march = FileTimeOfUnix(1331129100) + 9999999;  // 2012-03-07 14:05:00.9999999 UTC
  {
    ScopedTz tz("UTC0");
    EXPECT_EQ(Local(platform, march), "2012-03-07 14:05:00");
    EXPECT_EQ(Local(platform, 0), "1601-01-01 00:00:00");
    EXPECT_EQ(Local(platform, FileTimeOfUnix(0)), "1970-01-01 00:00:00");
    EXPECT_EQ(Local(platform, FileTimeOfUnix(0) - 1), "1969-12-31 23:59:59");
    EXPECT_EQ(Local(platform, 0x7FFFFFFFFFFFFFFF), "30828-09-14 02:48:05");
    EXPECT_EQ(Local(platform, 0x8000000000000000), "none");
    EXPECT_EQ(Local(platform, UINT64_MAX), "none");
  }
  {
    ScopedTz tz("XST-9");  // a change of TZ between calls is seen
    EXPECT_EQ(Local(platform, march), "2012-03-07 23:05:00");
  }
  {
    ScopedTz tz("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(Local(platform, march), "2012-03-07 09:05:00");
    EXPECT_EQ(Local(platform, FileTimeOfUnix(1341144000)), "2012-07-01 08:00:00");  // summer time
  }
}

// ---- account names

std::vector<uint8_t> Sid(uint64_t authority, std::initializer_list<uint32_t> subs) {
  std::vector<uint8_t> sid{1, static_cast<uint8_t>(subs.size())};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<uint8_t>(authority >> shift));
  for (uint32_t sub : subs)
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(sub >> shift));
  return sid;
}

TEST(WellKnownSidTest, NamesAsWindowsGivesThem) {
  struct Case {
    std::vector<uint8_t> sid;
    std::u16string domain, name;
  } cases[] = {
      {Sid(5, {18}), u"NT AUTHORITY", u"SYSTEM"},
      {Sid(1, {0}), u"", u"Everyone"},
      {Sid(0, {0}), u"", u"NULL SID"},
      {Sid(3, {1}), u"", u"CREATOR GROUP"},
      {Sid(5, {11}), u"NT AUTHORITY", u"Authenticated Users"},
      {Sid(5, {32, 544}), u"BUILTIN", u"Administrators"},
      {Sid(5, {32, 545}), u"BUILTIN", u"Users"},
      {Sid(5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}), u"NT SERVICE", u"TrustedInstaller"},
      {Sid(15, {2, 2}), u"APPLICATION PACKAGE AUTHORITY", u"ALL RESTRICTED APPLICATION PACKAGES"},
      {Sid(16, {12288}), u"Mandatory Label", u"High Mandatory Level"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.name));
    AccountLookup found = security::LookupWellKnownSid(c.sid, 64, 64);
    EXPECT_EQ(found.error, kErrorSuccess);
    EXPECT_EQ(found.domain, c.domain);
    EXPECT_EQ(found.name, c.name);
  }
  // Trailing bytes past the SID's own length are not part of it.
  std::vector<uint8_t> padded = Sid(5, {18});
  padded.resize(padded.size() + 8, 0xEE);
  EXPECT_EQ(security::LookupWellKnownSid(padded, 32, 32).name, u"SYSTEM");
}

TEST(WellKnownSidTest, UnknownSidsAreNotMapped) {
  const std::vector<uint8_t> unknown[] = {
      Sid(5, {21, 1004336348, 1177238915, 682003330, 1001}),  // a domain user
      Sid(5, {32}),                                            // BUILTIN's own domain SID
      Sid(5, {32, 544, 1}),                                    // one sub-authority too many
      Sid(5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478465}),
      Sid(uint64_t{5} << 40, {18}),                            // authority bytes in the wrong order
  };
  for (const auto& sid : unknown) {
    AccountLookup found = security::LookupWellKnownSid(sid, 32, 32);
    EXPECT_EQ(found.error, kErrorNoneMapped);
    EXPECT_TRUE(found.name.empty() && found.domain.empty());
  }
  PosixPlatform platform;
  EXPECT_EQ(platform.LookupAccountSid(unknown[0], 32, 32).error, kErrorNoneMapped);
}

TEST(WellKnownSidTest, CapacityContractOfLookupAccountSid) {
  const std::vector<uint8_t> system = Sid(5, {18});  // "SYSTEM" needs 7, "NT AUTHORITY" 13
  EXPECT_EQ(security::LookupWellKnownSid(system, 7, 13).error, kErrorSuccess);
  for (auto [name_cap, domain_cap] : {std::pair{6u, 13u}, {7u, 12u}, {0u, 0u}}) {
    AccountLookup short_buffer = security::LookupWellKnownSid(system, name_cap, domain_cap);
    EXPECT_EQ(short_buffer.error, kErrorInsufficientBuffer);
    EXPECT_EQ(short_buffer.name_needed, 7u);
    EXPECT_EQ(short_buffer.domain_needed, 13u);
    EXPECT_TRUE(short_buffer.name.empty() && short_buffer.domain.empty());
  }
  // Longer than the 32-unit buffers a first lookup offers.
  AccountLookup packages = security::LookupWellKnownSid(Sid(15, {2, 2}), 32, 32);
  EXPECT_EQ(packages.error, kErrorInsufficientBuffer);
  EXPECT_EQ(packages.name_needed, 36u);
  EXPECT_EQ(packages.domain_needed, 30u);
  // An empty domain still needs room for its terminator.
  AccountLookup everyone = security::LookupWellKnownSid(Sid(1, {0}), 32, 0);
  EXPECT_EQ(everyone.error, kErrorInsufficientBuffer);
  EXPECT_EQ(everyone.domain_needed, 1u);
  EXPECT_EQ(everyone.name_needed, 9u);
}

TEST(WellKnownSidTest, InvalidSidBytes) {
  std::vector<uint8_t> revision = Sid(5, {18});
  revision[0] = 2;
  std::vector<uint8_t> truncated = Sid(5, {32, 544});
  truncated.pop_back();
  std::vector<uint8_t> too_many(8 + 16 * 4, 0);
  too_many[0] = 1;
  too_many[1] = 16;
  for (const auto& bytes : {revision, truncated, too_many, std::vector<uint8_t>{}, std::vector<uint8_t>{1}}) {
    EXPECT_EQ(security::LookupWellKnownSid(bytes, 32, 32).error, kErrorInvalidParameter);
  }
}

// ---- the -w output file

class WriteGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_ / "evidence.img";
    image_bytes_ = Pattern(8192, 5);
    WriteFile(image_, image_bytes_);
    auto opened = FileSource::Open(image_);
    ASSERT_TRUE(opened);
    volume_ = std::move(*opened);
  }
  void TearDown() override { EXPECT_EQ(ReadFile(image_), image_bytes_); }

  bool Refused(const std::string& path) {
    CreateOutcome outcome = platform_.CreateOutputFile(Utf8ToUtf16(path), *volume_, {});
    return outcome.file == nullptr && outcome.refused && !outcome.error.Line().empty();
  }

  TempDir dir_;
  std::string image_;
  std::vector<uint8_t> image_bytes_;
  std::unique_ptr<source::ByteSource> volume_;
  PosixPlatform system_;
  source::BoundPlatform platform_{system_};
};

TEST_F(WriteGuardTest, RefusesTheVolumeLinksToItAndDevices) {
  ASSERT_EQ(link(image_.c_str(), (dir_ / "hard").c_str()), 0);
  ASSERT_EQ(symlink(image_.c_str(), (dir_ / "soft").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_TRUE(Refused(image_));
  EXPECT_TRUE(Refused(dir_ / "hard"));
  EXPECT_TRUE(Refused(dir_ / "soft"));
  EXPECT_TRUE(Refused(dir_ / "fifo"));
  EXPECT_TRUE(Refused(dir_.path()));
  EXPECT_TRUE(Refused("/dev/null"));

  // Through a partition window the identity is still the image's.
  source::OffsetSource window(std::move(volume_), 4096);
  EXPECT_EQ(platform_.CreateOutputFile(Utf8ToUtf16(dir_ / "hard"), window, {}).file, nullptr);
}

TEST_F(WriteGuardTest, RefusesEveryBoundSource) {
  WriteFile(dir_ / "other.img", Pattern(4096, 6));
  WriteFile(dir_ / "disk.img", Pattern(4096, 7));
  platform_.BindDrive(u'D', Utf8ToUtf16(dir_ / "other.img"));
  platform_.BindDrive(u'E', Utf8ToUtf16(dir_ / "disk.img#2"));
  EXPECT_TRUE(Refused(dir_ / "other.img"));
  EXPECT_TRUE(Refused(dir_ / "disk.img"));
  EXPECT_EQ(ReadFile(dir_ / "other.img"), Pattern(4096, 6));
  EXPECT_EQ(ReadFile(dir_ / "disk.img"), Pattern(4096, 7));
}

// A loop device attached to a file for the life of the object (root only).
class LoopDevice {
 public:
  LoopDevice(const std::string& file, const std::string& scratch) {
    if (geteuid() != 0) return;
    if (std::system(("losetup -f --show '" + file + "' >'" + scratch + "' 2>/dev/null").c_str()) != 0) return;
    auto bytes = ReadFile(scratch);
    name_.assign(bytes.begin(), bytes.end());
    while (!name_.empty() && name_.back() == '\n') name_.pop_back();
  }
  ~LoopDevice() {
    if (!name_.empty()) std::system(("losetup -d '" + name_ + "'").c_str());
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

TEST_F(WriteGuardTest, RefusesTheFileBehindALoopDeviceBeingRead) {
  LoopDevice loop(image_, dir_ / "loop.name");
  if (loop.name().empty()) GTEST_SKIP() << "needs root and a free loop device";
  // Opened by path, as a mount names it.
  auto device = platform_.OpenDevice(Utf8ToUtf16(loop.name()));
  ASSERT_TRUE(device);
  EXPECT_TRUE(platform_.CreateOutputFile(Utf8ToUtf16(image_), **device, {}).file == nullptr);
  EXPECT_TRUE(platform_.CreateOutputFile(Utf8ToUtf16(loop.name()), **device, {}).file == nullptr);
  // Bound to a drive.
  PosixPlatform system;
  source::BoundPlatform bound(system);
  bound.BindDrive(u'L', Utf8ToUtf16(loop.name()));
  auto volume = bound.OpenDevice(u"\\\\.\\L:");
  ASSERT_TRUE(volume);
  CreateOutcome outcome = bound.CreateOutputFile(Utf8ToUtf16(dir_ / "fresh.bin"), **volume, {});
  EXPECT_NE(outcome.file, nullptr);
  outcome = bound.CreateOutputFile(Utf8ToUtf16(image_), **volume, {});
  EXPECT_EQ(outcome.file, nullptr);
  EXPECT_NE(outcome.error.message.find(u"the file behind"), std::u16string::npos);
}

TEST_F(WriteGuardTest, CreatesAndReplacesRegularFilesOnlyWhenCommitted) {
  const mode_t mask = umask(022);
  const std::string out = dir_ / "out.bin";
  {
    CreateOutcome outcome = platform_.CreateOutputFile(Utf8ToUtf16(out), *volume_, {});
    ASSERT_NE(outcome.file, nullptr);
    EXPECT_FALSE(outcome.refused);
    const std::vector<uint8_t> big = Pattern(300000, 1);
    EXPECT_TRUE(outcome.file->Write(big));
    EXPECT_TRUE(outcome.file->Write(std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(fs::exists(out));  // nothing under the name until complete
    EXPECT_TRUE(outcome.file->Commit());
  }
  EXPECT_EQ(ReadFile(out).size(), 300003u);
  {  // Abandoned half way: the file already there stays as it was, and no other file is left.
    CreateOutcome outcome = platform_.CreateOutputFile(Utf8ToUtf16(out), *volume_, {});
    ASSERT_NE(outcome.file, nullptr);
    EXPECT_TRUE(outcome.file->Write(std::vector<uint8_t>{7}));
  }
  EXPECT_EQ(ReadFile(out).size(), 300003u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  {  // An existing file is truncated, also through a symbolic link.
    ASSERT_EQ(symlink(out.c_str(), (dir_ / "out.link").c_str()), 0);
    CreateOutcome outcome = platform_.CreateOutputFile(Utf8ToUtf16(dir_ / "out.link"), *volume_, {});
    ASSERT_NE(outcome.file, nullptr);
    EXPECT_TRUE(outcome.file->Write(std::vector<uint8_t>{9, 8}));
    EXPECT_TRUE(outcome.file->Commit());
  }
  EXPECT_EQ(ReadFile(out), (std::vector<uint8_t>{9, 8}));
  EXPECT_TRUE(fs::is_symlink(dir_ / "out.link"));
  umask(mask);

  CreateOutcome missing_dir = platform_.CreateOutputFile(Utf8ToUtf16(dir_ / "no/such/dir"), *volume_, {});
  EXPECT_EQ(missing_dir.file, nullptr);
  EXPECT_FALSE(missing_dir.refused);
  EXPECT_NE(missing_dir.error.message.find(u"No such file or directory"), std::u16string::npos);
}

// ---- a real ntfs-3g mount

class RealMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0 ||
        std::system("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null") != 0)
      GTEST_SKIP() << "needs root, /dev/fuse, mkntfs and ntfs-3g";
    image_ = dir_ / "vol.img";
    mount_point_ = dir_ / "mnt";
    fs::create_directory(mount_point_);
    const std::string make = "truncate -s 8M '" + image_ + "' && mkntfs -q -F -f '" + image_ + "' >/dev/null 2>&1";
    const std::string mount = "ntfs-3g '" + image_ + "' '" + mount_point_ + "'";
    if (std::system(make.c_str()) != 0 || std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount an ntfs-3g volume here";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) std::system(("umount '" + mount_point_ + "'").c_str());
  }

  TempDir dir_;
  std::string image_;
  std::string mount_point_;
  bool mounted_ = false;
  PosixPlatform platform_;
};

TEST_F(RealMountTest, LocatesPathsAndGuardsTheMountedVolume) {
  fs::create_directories(mount_point_ + "/Dir One/sub");
  auto located = platform_.LocateMountedPath(Utf8ToUtf16(mount_point_ + "/Dir One/sub"));
  ASSERT_TRUE(located.has_value());
  EXPECT_EQ(Utf16ToUtf8(located->device), fs::canonical(image_).string());
  EXPECT_EQ(located->components, (std::vector<std::u16string>{u"Dir One", u"sub"}));
  EXPECT_EQ(platform_.PathIsDirectory(Utf8ToUtf16(mount_point_ + "/Dir One")), true);

  auto volume = platform_.OpenDevice(located->device);
  ASSERT_TRUE(volume);
  // Writing into the mounted volume would change the evidence.
  CreateOutcome outcome = platform_.CreateOutputFile(Utf8ToUtf16(mount_point_ + "/out.bin"), **volume, {});
  EXPECT_EQ(outcome.file, nullptr);
  EXPECT_NE(outcome.error.message.find(u"mounted at"), std::u16string::npos);
  EXPECT_FALSE(fs::exists(mount_point_ + "/out.bin"));
}

}  // namespace
}  // namespace velmora::platform
