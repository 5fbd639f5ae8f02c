#include "source/drives.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "source/bound_platform.h"
#include "tests/support/fake_platform.h"

namespace velmora::source {
namespace {

TEST(DriveLettersTest, TokensPathsAndDevices) {
  struct Row {
    std::u16string_view text;
    std::optional<char16_t> token, path, device;
  };
  const Row rows[] = {
      {u"c", u'C', std::nullopt, std::nullopt},
      {u"c:", u'C', u'c', std::nullopt},
      {u"Z:\\dir", std::nullopt, u'Z', std::nullopt},
      {u"\\\\?\\q:\\x", std::nullopt, u'q', std::nullopt},
      {u"\\\\.\\d:", std::nullopt, std::nullopt, u'd'},
      {u"\\\\.\\d:\\", std::nullopt, std::nullopt, std::nullopt},
      {u"\\\\.\\1:", std::nullopt, std::nullopt, std::nullopt},
      {u"CC", std::nullopt, std::nullopt, std::nullopt},
      {u"1:", std::nullopt, std::nullopt, std::nullopt},
      {u"\u00e9:", std::nullopt, std::nullopt, std::nullopt},
      {u"", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    const std::string shown(row.text.begin(), row.text.end());
    EXPECT_EQ(DriveLetterToken(row.text), row.token) << shown;
    EXPECT_EQ(DriveLetterOfPath(row.text), row.path) << shown;
    EXPECT_EQ(DeviceLetter(row.text), row.device) << shown;
  }
}

TEST(DriveTableTest, LaterBindingWinsAndOnlyLettersBind) {
  DriveTable drives;
  drives.Bind(u'c', u"one.img");
  drives.Bind(u'C', u"two.img");
  drives.Bind(u'1', u"ignored.img");
  ASSERT_NE(drives.Find(u'c'), nullptr);
  EXPECT_EQ(*drives.Find(u'c'), u"two.img");
  EXPECT_EQ(drives.Find(u'1'), nullptr);
  EXPECT_EQ(drives.Find(u'D'), nullptr);
  EXPECT_EQ(drives.bindings().size(), 1u);
  EXPECT_EQ(drives.DeviceLabel(u"\\\\.\\c:"), u"two.img");
  EXPECT_EQ(drives.DeviceLabel(u"\\\\.\\D:"), u"\\\\.\\D:");
  EXPECT_EQ(drives.DeviceLabel(u"/dev/sdb1"), u"/dev/sdb1");
}

TEST(DriveTableTest, ABoundNameIsSplitOnlyWhenNoFileHasIt) {
  const auto exists = [](std::u16string_view name) { return name == u"odd@4096"; };
  EXPECT_EQ(NameOfBound(u"odd@4096", exists).select, SourceName::Select::Automatic);
  const SourceName split = NameOfBound(u"disk.img@4096", exists);
  EXPECT_EQ(split.path, "disk.img");
  EXPECT_EQ(split.select, SourceName::Select::Offset);
  EXPECT_EQ(split.value, 4096u);
}

// The system under a BoundPlatform: plain files in memory, its own notes
// and advice, and the guard it was last asked to write under.
class SystemFake : public testing::FakePlatform {
 public:
  std::map<std::string, std::vector<uint8_t>> plain_files;
  std::u16string binding_note;
  platform::OutputGuard guard;

  Expected<std::unique_ptr<ByteSource>> OpenFile(const std::string& path) override {
    auto it = plain_files.find(path);
    if (it == plain_files.end()) return Error{Utf8ToUtf16(path), u"absent"};
    return std::unique_ptr<ByteSource>(new MemorySource(std::span<const uint8_t>(it->second)));
  }
  bool FileExists(std::u16string_view name) override { return plain_files.count(Utf16ToUtf8(name)) != 0; }
  std::u16string DriveBindingNote() override { return binding_note; }
  std::u16string UsageNotes() override { return u"system\n"; }
  std::u16string UnboundDriveAdvice(char16_t letter) override { return std::u16string(u"bind ") + letter; }
  platform::CreateOutcome CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                           const platform::OutputGuard& given) override {
    guard = given;
    return FakePlatform::CreateOutputFile(path, volume, given);
  }
};

TEST(BoundPlatformTest, BoundLettersAreAnsweredHereAndTheRestByTheSystem) {
  SystemFake system;
  system.plain_files["vol.img"] = std::vector<uint8_t>(2048, 7);
  BoundPlatform bound(system);
  bound.BindDrive(u'c', u"vol.img@512");
  bound.BindDrive(u'M', u"missing.img");

  EXPECT_TRUE(bound.PathExists(u"C:\\no\\such\\file"));
  EXPECT_EQ(bound.PathIsDirectory(u"c:\\dir"), std::nullopt);
  EXPECT_FALSE(bound.PathExists(u"D:\\x"));
  EXPECT_EQ(bound.UnboundDriveAdvice(u'C'), u"");
  EXPECT_EQ(bound.UnboundDriveAdvice(u'D'), u"bind D");
  EXPECT_EQ(bound.DeviceLabel(u"\\\\.\\c:"), u"vol.img@512");
  EXPECT_EQ(bound.DeviceLabel(u"\\\\.\\D:"), u"\\\\.\\D:");

  auto volume = bound.OpenDevice(u"\\\\.\\C:");  // through the system's file opener, from the offset
  ASSERT_TRUE(volume);
  EXPECT_EQ((*volume)->Size(), 1536u);
  auto missing = bound.OpenDevice(u"\\\\.\\M:");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().where, u"missing.img");
  const uint64_t opens = system.opens;
  EXPECT_FALSE(bound.OpenDevice(u"\\\\.\\D:"));  // not bound: the system's own device
  EXPECT_EQ(system.opens, opens + 1);
}

TEST(BoundPlatformTest, TheOutputGuardNamesEveryBoundSourceAndItsSet) {
  SystemFake system;
  system.plain_files["disk.img"] = {};
  BoundPlatform bound(system);
  bound.BindDrive(u'C', u"ev/case.E01");
  bound.BindDrive(u'D', u"disk.img#2");
  MemorySource volume(std::vector<uint8_t>(512));
  platform::OutputGuard given;
  given.files.push_back({"caller.img", u"the caller's"});
  ASSERT_NE(bound.CreateOutputFile(u"out.bin", volume, given).file, nullptr);

  const auto& files = system.guard.files;
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].path, "caller.img");
  EXPECT_EQ(files[1].path, "ev/case.E01");
  EXPECT_EQ(files[1].what, u"the source bound to drive C:");
  EXPECT_EQ(files[2].path, "disk.img");  // the file, without its partition
  EXPECT_EQ(files[2].what, u"the source bound to drive D:");

  const auto& sets = system.guard.sets;
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].first, "ev/case.E01");
  EXPECT_EQ(sets[0].joins("case.E01", "CASE.E08"),
            u"it would be read as part of the EWF set bound to drive C: (ev/case.E01)");
  EXPECT_EQ(sets[0].joins("case.E01", "other.E02"), u"");
  EXPECT_EQ(sets[1].first, "disk.img");
}

TEST(BoundPlatformTest, UsageNotesPutTheSourceFormsAfterTheSystemsBindingNote) {
  SystemFake system;
  BoundPlatform bound(system);
  EXPECT_EQ(bound.UsageNotes(), u"system\n");  // a system that does not describe -m
  system.binding_note = u"binding\n";
  const std::u16string notes = bound.UsageNotes();
  EXPECT_TRUE(notes.starts_with(u"binding\n\t\t\t    SOURCE@OFFSET takes the volume")) << Utf16ToUtf8(notes);
  EXPECT_TRUE(notes.ends_with(u"system\n"));
}

}  // namespace
}  // namespace velmora::source
