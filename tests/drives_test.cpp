#include "source/drives.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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

}  // namespace
}  // namespace velmora::source
