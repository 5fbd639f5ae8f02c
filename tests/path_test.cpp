// Path forms, component splitting and resolution on a synthetic volume.
#include <gtest/gtest.h>

#include "ntfs/path.h"
#include "ntfs/volume.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using namespace testing;

TEST(PathFormTest, ClassifiesDriveAndPrefixedPaths) {
  EXPECT_EQ(ClassifyPath(u"C:\\dir"), PathForm::kDrive);
  EXPECT_EQ(ClassifyPath(u"c:x"), PathForm::kDrive);
  EXPECT_EQ(ClassifyPath(u"\\\\?\\C:\\dir"), PathForm::kPrefixedDrive);
  EXPECT_EQ(ClassifyPath(u"C:"), PathForm::kRejected);
  EXPECT_EQ(ClassifyPath(u"dir\\file"), PathForm::kRejected);
  EXPECT_EQ(ClassifyPath(u"\\\\server\\share\\x"), PathForm::kRejected);
  EXPECT_EQ(ClassifyPath(u"1:\\x"), PathForm::kRejected);
  EXPECT_EQ(DriveLetterOf(u"\\\\?\\q:\\x"), u'q');
}

TEST(PathSplitTest, SplitsLikeRepeatedNextComponent) {
  std::vector<std::u16string> parts;
  SplitPathComponents(u"\\\\?\\C:\\dir\\file", parts);
  EXPECT_EQ(parts, (std::vector<std::u16string>{u"\\", u"?", u"C:", u"dir", u"file"}));
  parts.clear();
  SplitPathComponents(u"\\\\?\\C:\\dir\\\\file", parts);
  EXPECT_EQ(parts, (std::vector<std::u16string>{u"\\", u"?", u"C:", u"dir\\", u"file"}));
  parts.clear();
  SplitPathComponents(u"\\\\?\\C:\\a/b", parts);
  EXPECT_EQ(parts.back(), u"a/b");
}

class PathResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // \Data (40) holds Reports (41) and LONGFI~1.TXT / "long file.txt" (42).
    synthetic_.SetRootEntries({{u"Data", 40}});
    auto dir = [](uint64_t number, const std::vector<std::pair<std::u16string, uint64_t>>& entries) {
      std::vector<std::vector<uint8_t>> index;
      for (const auto& [name, child] : entries)
        index.push_back(IndexEntry(child, FileNameValue(number, name, name.find(u'~') != std::u16string::npos ? 2 : 1)));
      index.push_back(IndexEntry(0, {}, true));
      return RecordBuilder(number, 1024, 0x0003).Resident(0x90, 1, u"$I30", IndexRootValue(index, false)).Build();
    };
    synthetic_.SetRecord(40, dir(40, {{u"long file.txt", 42}, {u"LONGFI~1.TXT", 42}, {u"Reports", 41}}));
    synthetic_.SetRecord(41, dir(41, {}));
    synthetic_.SetRecord(42, RecordBuilder(42).Resident(0x80, 1, u"", {1}).Build());
    platform_.AddVolume(u'C', synthetic_.image());
  }
  uint64_t Resolve(const std::u16string& path) {
    VolumeContext volume;
    return PathResolver(path, volume, platform_).value;
  }
  SyntheticVolume synthetic_;
  FakePlatform platform_;
};

TEST_F(PathResolverTest, ResolvesWhateverTheCaseAndForm) {
  EXPECT_EQ(Resolve(u"C:\\"), 5u);
  EXPECT_EQ(Resolve(u"C:\\Data"), 40u);
  EXPECT_EQ(Resolve(u"C:\\Data\\"), 40u);
  EXPECT_EQ(Resolve(u"c:\\data\\REPORTS"), 41u);
  EXPECT_EQ(Resolve(u"\\\\?\\C:\\Data\\Reports"), 41u);
  EXPECT_EQ(Resolve(u"C:\\Data\\LONGFI~1.TXT"), 42u);
  EXPECT_EQ(Resolve(u"C:\\Data\\Long File.TXT"), 42u);
  // "/" separates as "\\" does (once it named the root whatever followed).
  EXPECT_EQ(Resolve(u"C:/Data/Reports"), 41u);
  EXPECT_EQ(Resolve(u"c:\\data/long file.txt"), 42u);
  EXPECT_EQ(Resolve(u"\\\\?\\C:/Data/"), 40u);
}

TEST_F(PathResolverTest, RejectsWithoutOpeningAndMissesCleanly) {
  EXPECT_EQ(Resolve(u"C:"), 0u);
  EXPECT_EQ(Resolve(u"Data\\Reports"), 0u);
  // Drive-relative: the current directory of C: is the system's, not the volume's.
  EXPECT_EQ(Resolve(u"C:Data"), 0u);
  EXPECT_EQ(Resolve(u"\\\\?\\C:Data"), 0u);
  EXPECT_EQ(platform_.opens, 0u);
  EXPECT_EQ(Resolve(u"D:\\Data"), 0u);  // no such drive
  EXPECT_EQ(Resolve(u"C:\\Data\\\\Reports"), 0u);
  EXPECT_EQ(Resolve(u"C:\\Data\\long file.txt\\x"), 0u);  // a file in the middle
  EXPECT_EQ(Resolve(u"C:\\" + std::u16string(256, u'a')), 0u);
  EXPECT_EQ(Resolve(u"C:\\Data\\" + std::u16string(300, u'a')), 0u);  // longer than MAX_PATH
}

TEST_F(PathResolverTest, VolumeWithoutUpcaseTableIsRefused) {
  synthetic_.SetRecord(10, RecordBuilder(10).NonResident(0x80, 1, u"", SingleRun(200, 256), 0, 255, 0x1FFFE).Build());
  EXPECT_EQ(Resolve(u"C:\\Data"), 0u);
}

}  // namespace
}  // namespace velmora
