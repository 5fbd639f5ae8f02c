// The Windows platform through the real Win32 calls (run natively or under wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "source/byte_source.h"
#include "base/format.h"
#include "output/console.h"
#include "platform/windows/handle_source.h"
#include "platform/windows/win32.h"
#include "platform/windows/windows_platform.h"
#include "reports/reports.h"
#include "source/bound_platform.h"
#include "security/descriptor.h"
#include "tests/support/volumes.h"

#include <sddl.h>

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;

// S-1-5-18 (LocalSystem), known to every Windows system.
const std::vector<uint8_t> kLocalSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
// S-1-5-32-554, BUILTIN\Pre-Windows 2000 Compatible Access: an account name
// longer than the renderer's first 32-character buffer.
const std::vector<uint8_t> kPreWindows2000 = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x2A, 0x02, 0, 0};
// A domain account of a domain this machine does not know.
const std::vector<uint8_t> kForeignUser = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0,
                                           2, 0, 0, 0, 3, 0, 0, 0, 0xE8, 0x03, 0, 0};

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::u16string U16(const fs::path& path) {
  const std::wstring text = path.wstring();
  return std::u16string(text.begin(), text.end());
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// A scratch directory of its own per test, removed afterwards.
class WindowsScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("velmora-" + std::to_string(GetCurrentProcessId()) + "-" + info->test_suite_name() + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

// --- Account names: one LookupAccountSidW per call, capacities as given ---

TEST(WindowsAccountLookupTest, TooSmallBuffersGiveError122WithTheCapacitiesNeeded) {
  WindowsPlatform platform;
  const AccountLookup roomy = platform.LookupAccountSid(kLocalSystem, 256, 256);
  ASSERT_EQ(roomy.error, kErrorSuccess);
  EXPECT_FALSE(roomy.name.empty());
  EXPECT_FALSE(roomy.domain.empty());

  const AccountLookup first = platform.LookupAccountSid(kLocalSystem, 1, 1);
  ASSERT_EQ(first.error, kErrorInsufficientBuffer);
  EXPECT_TRUE(first.name.empty());
  EXPECT_GE(first.name_needed, roomy.name.size());
  EXPECT_GE(first.domain_needed, roomy.domain.size());

  // The retry the renderer makes: exactly the capacities reported.
  const AccountLookup retry = platform.LookupAccountSid(kLocalSystem, first.name_needed, first.domain_needed);
  EXPECT_EQ(retry.error, kErrorSuccess);
  if (!UnderWine()) {
    // Windows counts the terminator in what it asks for.
    EXPECT_EQ(first.name_needed, roomy.name.size() + 1);
    EXPECT_EQ(first.domain_needed, roomy.domain.size() + 1);
    EXPECT_EQ(retry.name, roomy.name);
    EXPECT_EQ(retry.domain, roomy.domain);
  } else if (retry.name != roomy.name) {
    // Wine 8 asks for the length without the terminator, then reports
    // success for buffers of exactly that length without filling them.
    EXPECT_TRUE(retry.name.empty());
    EXPECT_TRUE(retry.domain.empty());
  }
}

TEST(WindowsAccountLookupTest, UnknownAndMalformedSids) {
  WindowsPlatform platform;
  const AccountLookup foreign = platform.LookupAccountSid(kForeignUser, 32, 32);
  EXPECT_EQ(foreign.error, kErrorNoneMapped);
  EXPECT_TRUE(foreign.name.empty());
  EXPECT_TRUE(foreign.domain.empty());

  // Never handed to the system: a count beyond the bytes, a bad revision, too short.
  std::vector<uint8_t> cut(kForeignUser.begin(), kForeignUser.end() - 1);
  std::vector<uint8_t> revision2 = kLocalSystem;
  revision2[0] = 2;
  for (const auto& bytes : {cut, revision2, std::vector<uint8_t>{1, 0, 0}}) {
    const AccountLookup bad = platform.LookupAccountSid(bytes, 32, 32);
    EXPECT_EQ(bad.error, kErrorInvalidParameter);
  }
}

// The renderer's own retry after error 122 goes through the system call.
TEST(WindowsAccountLookupTest, RendererRetriesALongAccountNameThroughTheSystem) {
  WindowsPlatform platform;
  const AccountLookup roomy = platform.LookupAccountSid(kPreWindows2000, 256, 256);
  if (roomy.error != kErrorSuccess) GTEST_SKIP() << "this system does not know S-1-5-32-554";
  ASSERT_GE(roomy.name.size(), 32u);
  // Revision 1, self-relative; owner and group the same long-named SID.
  std::vector<uint8_t> descriptor = {1, 0, 0x00, 0x80, 0x14, 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  descriptor.insert(descriptor.end(), kPreWindows2000.begin(), kPreWindows2000.end());

  StringSink out;
  StringSink err;
  Console console(out, err);
  EXPECT_EQ(ShowSecurityDescriptor(console, platform, descriptor), 0u);
  const std::string owner = "Owner    : S-1-5-32-554    ";
  const std::string group = "Group    : S-1-5-32-554    ";
  const std::string names = Utf16ToUtf8(roomy.domain) + "\\" + Utf16ToUtf8(roomy.name) + "\n";
  if (!UnderWine()) {
    EXPECT_NE(out.text().find(owner + names + group + names), std::string::npos) << out.text();
  } else {
    // Wine's retry succeeds with empty names (see above): the rendering goes on.
    EXPECT_NE(out.text().find(owner), std::string::npos) << out.text();
    EXPECT_NE(out.text().find(group), std::string::npos) << out.text();
  }
}

// The tool writes SID strings itself; the system's conversion agrees.
TEST(WindowsSidStringTest, MatchesConvertSidToStringSid) {
  std::vector<std::vector<uint8_t>> sids = {
      kLocalSystem, kPreWindows2000, kForeignUser,
      {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0},  // S-1-1-0
      {1, 0, 0, 0, 0, 0, 0, 5},              // no sub-authority
  };
  // Wine 8 refuses an authority of 2^32 or more and prints one of 2^31 or
  // more as a negative number; Windows writes 0x and twelve digits, or decimal.
  if (!UnderWine()) {
    sids.push_back({1, 2, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 7, 0, 0, 0, 8, 0, 0, 0});
    sids.push_back({1, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  }
  for (const auto& sid : sids) {
    SCOPED_TRACE(Utf16ToUtf8(security::SidToString(sid)));
    std::vector<DWORD> aligned((sid.size() + 3) / 4);
    std::memcpy(aligned.data(), sid.data(), sid.size());
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(aligned.data(), &text));
    const std::wstring expected(text);
    LocalFree(text);
    EXPECT_EQ(security::SidToString(sid), std::u16string(expected.begin(), expected.end()));
  }
}

// --- Times ---

TEST(WindowsTimeTest, FileTimesBeyondTheSystemsRangeHaveNoCalendarTime) {
  WindowsPlatform platform;
  EXPECT_FALSE(platform.FileTimeToLocal(0x8000000000000000ull).has_value());
  EXPECT_FALSE(platform.FileTimeToLocal(~0ull).has_value());
  // 2012-03-07 14:05:00 UTC, within a day of it whatever the zone.
  auto local = platform.FileTimeToLocal(0x01CCFC6B48CD0E00ull);
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(local->year, 2012);
  EXPECT_EQ(local->month, 3);
  EXPECT_GE(local->day, 6);
  EXPECT_LE(local->day, 8);
  EXPECT_EQ(local->minute % 15, 5 % 15);
}

// --- Volume sources ---

using WindowsHandleSourceTest = WindowsScratchTest;

TEST_F(WindowsHandleSourceTest, ReadsAtOffsetsAndFailsShortReads) {
  const fs::path image = dir_ / "image.bin";
  const std::vector<uint8_t> bytes = Pattern(10000);
  WriteBytes(image, bytes);
  auto opened = HandleSource::Open(U16(image));
  ASSERT_TRUE(opened) << Utf16ToUtf8(opened.error().Line());
  auto& source = *opened;
  EXPECT_EQ(source->Size(), bytes.size());

  std::vector<uint8_t> out(700);
  ASSERT_TRUE(source->ReadAt(9300, out));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 9300));
  // Running past the end is a failure, not a partial read.
  EXPECT_FALSE(source->ReadAt(9301, out));
  EXPECT_FALSE(source->ReadAt(0x7FFFFFFFFFFFFFFFull, out));
  EXPECT_TRUE(source->ReadAt(10000, std::span<uint8_t>()));

  EXPECT_EQ(source->FileIdentity(), IdentityOfPath(U16(image)));
  WriteBytes(dir_ / "other.bin", bytes);
  EXPECT_NE(source->FileIdentity(), IdentityOfPath(U16(dir_ / "other.bin")));
}

TEST_F(WindowsHandleSourceTest, MissingFilesReportTheSystemsMessage) {
  const std::u16string missing = U16(dir_ / "missing.img");
  auto opened = HandleSource::Open(missing);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().where, missing);
  // FormatMessageW's text for ERROR_FILE_NOT_FOUND, without its ".\r\n".
  EXPECT_EQ(opened.error().message, WindowsError(u"", ERROR_FILE_NOT_FOUND).message);
  EXPECT_FALSE(opened.error().message.empty());
  EXPECT_EQ(opened.error().message.find(u'\n'), std::u16string::npos);
  WindowsPlatform platform;
  EXPECT_FALSE(platform.OpenDevice(missing));
}

// --- Paths and bound drives ---

using WindowsPathTest = WindowsScratchTest;

TEST_F(WindowsPathTest, TheSystemAnswersForItsOwnPaths) {
  WriteBytes(dir_ / "file.txt", {1, 2, 3});
  fs::create_directories(dir_ / "sub");
  WindowsPlatform platform;
  EXPECT_TRUE(platform.PathExists(U16(dir_ / "file.txt")));
  EXPECT_EQ(platform.PathIsDirectory(U16(dir_ / "file.txt")), false);
  EXPECT_TRUE(platform.PathExists(U16(dir_ / "sub")));
  EXPECT_EQ(platform.PathIsDirectory(U16(dir_ / "sub")), true);
  EXPECT_FALSE(platform.PathExists(U16(dir_ / "nothing")));
  EXPECT_EQ(platform.PathIsDirectory(U16(dir_ / "nothing")), false);
  EXPECT_FALSE(platform.PathExists(std::u16string(u"C:\\a\0b", 6)));
}

TEST_F(WindowsPathTest, ABoundLetterOpensItsImageAndOnlyTheVolumeKnowsItsPaths) {
  const std::vector<uint8_t> volume = Pattern(4096);
  std::vector<uint8_t> disk(8192 + volume.size(), 0xEE);
  std::copy(volume.begin(), volume.end(), disk.begin() + 8192);
  WriteBytes(dir_ / "volume.img", volume);
  WriteBytes(dir_ / "disk.img", disk);

  WindowsPlatform system;
  source::BoundPlatform platform(system);
  platform.BindDrive(u'q', U16(dir_ / "volume.img"));
  EXPECT_TRUE(platform.PathExists(u"Q:\\no\\such\\file"));
  EXPECT_TRUE(platform.PathExists(u"\\\\?\\q:\\x"));
  EXPECT_EQ(platform.PathIsDirectory(u"Q:\\dir"), std::nullopt);

  std::vector<uint8_t> out(16);
  auto source = platform.OpenDevice(u"\\\\.\\Q:");
  ASSERT_TRUE(source);
  ASSERT_TRUE((*source)->ReadAt(100, out));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), volume.begin() + 100));

  // A later binding wins; "@OFFSET" takes the volume inside a disk image.
  platform.BindDrive(u'Q', U16(dir_ / "disk.img") + u"@8192");
  source = platform.OpenDevice(u"\\\\.\\q:");
  ASSERT_TRUE(source);
  ASSERT_TRUE((*source)->ReadAt(100, out));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), volume.begin() + 100));

  platform.BindDrive(u'R', U16(dir_ / "missing.img"));
  auto missing = platform.OpenDevice(u"\\\\.\\R:");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().where, U16(dir_ / "missing.img"));
}

// --- The -w output file ---

using WindowsOutputFileTest = WindowsScratchTest;

TEST_F(WindowsOutputFileTest, ReplacesTheFileOnlyWhenEveryChunkIsWritten) {
  WindowsPlatform platform;
  source::MemorySource volume(std::vector<uint8_t>(512));
  const fs::path path = dir_ / "out.bin";
  WriteBytes(path, Pattern(5000));
  {
    CreateOutcome created = platform.CreateOutputFile(U16(path), volume, {});
    ASSERT_NE(created.file, nullptr) << Utf16ToUtf8(created.error.Line());
    const std::vector<uint8_t> first = {1, 2, 3};
    const std::vector<uint8_t> second = Pattern(70000);
    EXPECT_TRUE(created.file->Write(first));
    EXPECT_TRUE(created.file->Write(second));
    EXPECT_EQ(ReadBytes(path), Pattern(5000));  // untouched until committed
    EXPECT_TRUE(created.file->Commit());
  }
  std::vector<uint8_t> expected = {1, 2, 3};
  const std::vector<uint8_t> second = Pattern(70000);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(ReadBytes(path), expected);

  // Abandoned: nothing is created and nothing is left beside it.
  CreateOutcome fresh = platform.CreateOutputFile(U16(dir_ / "new.bin"), volume, {});
  ASSERT_NE(fresh.file, nullptr);
  EXPECT_TRUE(fresh.file->Write(std::vector<uint8_t>{4, 5}));
  fresh.file.reset();
  EXPECT_FALSE(fs::exists(dir_ / "new.bin"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(WindowsOutputFileTest, DevicesAreRefusedBeforeAnythingIsOpened) {
  WindowsPlatform platform;
  source::MemorySource volume(std::vector<uint8_t>(512));
  for (std::u16string path : {u"\\\\.\\C:", u"\\\\.\\PhysicalDrive0", u"//./C:", u"\\\\?\\C:",
                              u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", u"NUL", u"CON"}) {
    CreateOutcome created = platform.CreateOutputFile(path, volume, {});
    EXPECT_EQ(created.file, nullptr) << Utf16ToUtf8(path);
    EXPECT_TRUE(created.refused);
    EXPECT_EQ(created.error.Line(), u"Refusing to write " + path + u": it is a device");
  }
}

TEST_F(WindowsOutputFileTest, TheVolumesOwnFileIsRefusedUnderAnyName) {
  const fs::path image = dir_ / "evidence.img";
  const std::vector<uint8_t> bytes = Pattern(4096);
  WriteBytes(image, bytes);
  WindowsPlatform system;
  source::BoundPlatform platform(system);
  platform.BindDrive(u'X', U16(image));
  auto volume = platform.OpenDevice(u"\\\\.\\X:");
  ASSERT_TRUE(volume);

  std::vector<std::u16string> names = {U16(image), U16(dir_ / "." / "evidence.img")};
  if (CreateHardLinkW((dir_ / "link.img").wstring().c_str(), image.wstring().c_str(), nullptr))
    names.push_back(U16(dir_ / "link.img"));
  for (const std::u16string& name : names) {
    CreateOutcome created = platform.CreateOutputFile(name, **volume, {});
    EXPECT_EQ(created.file, nullptr) << Utf16ToUtf8(name);
    EXPECT_EQ(created.error.Line(), u"Refusing to write " + name + u": it is the volume being read");
  }
  EXPECT_EQ(ReadBytes(image), bytes);

  // A source bound to another letter is guarded too, while another volume is read.
  source::MemorySource other(std::vector<uint8_t>(512));
  CreateOutcome created = platform.CreateOutputFile(U16(image), other, {});
  EXPECT_EQ(created.file, nullptr);
  EXPECT_EQ(created.error.Line(), u"Refusing to write " + U16(image) + u": it is the source bound to drive X:");
  EXPECT_EQ(ReadBytes(image), bytes);
}

// --- The whole program over the Windows platform ---

using WindowsProgramTest = WindowsScratchTest;

TEST_F(WindowsProgramTest, ReportsOnABoundImage) {
  const auto& volume = testing::LoadVolume("c4k");
  ASSERT_FALSE(volume.image.empty());
  const fs::path image = dir_ / "c4k.img";
  WriteBytes(image, volume.image);
  const testing::Fact* readme = nullptr;
  for (const testing::Fact* fact : volume.Facts("path"))
    if (fact->fields.size() >= 3 && fact->fields[2] == "\\readme.txt") readme = fact;
  ASSERT_NE(readme, nullptr);

  WindowsPlatform system;
  source::BoundPlatform platform(system);
  StringSink out;
  StringSink err;
  Console console(out, err);
  const int code = RunProgram({u"velmora", u"-m", u"X:", U16(image), u"-f", u"X:\\readme.txt", u"-a"}, platform,
                              console);
  EXPECT_EQ(code, 0) << out.text();
  const uint64_t record = std::stoull(readme->fields[0]);
  EXPECT_NE(out.text().find(Utf16ToUtf8(Format("FILE REF : %016I64X\n", record))), std::string::npos)
      << out.text();
  EXPECT_NE(out.text().find("Signature     = FILE"), std::string::npos);
}

}  // namespace
}  // namespace velmora::platform
