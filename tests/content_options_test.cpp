// -x, --hash, --export and the path:stream syntax: how the command line is
// read, and the names an export gives the host.
#include <gtest/gtest.h>

#include "cli/options.h"
#include "ntfs/path.h"
#include "reports/export_names.h"

namespace velmora {
namespace {

TEST(ContentOptionsTest, ScanTakesTheContentOptionsAndSaysWhatDoesNotRun) {
  using namespace action;
  const struct {
    std::vector<std::u16string> tokens;
    uint32_t actions;  // besides kTargetPath
    std::u16string extract, directory;
    std::string warning;  // "" for none
  } rows[] = {
      {{u"-x", u"out.bin"}, kExtract, u"out.bin", u"", ""},
      {{u"--extract", u"-"}, kExtract, u"-", u"", ""},
      {{u"-x", u"-", u"--hash"}, kExtract | kHash, u"-", u"", ""},
      {{u"-x", u"o", u"-a"}, kExtract | kFileRecord, u"o", u"", ""},
      {{u"-x", u"-", u"-a"}, kExtract | kFileRecord, u"-", u"", "-x - runs alone"},
      {{u"--export", u"dir", u"--hash"}, kExport | kHash, u"", u"dir", ""},
      {{u"--export", u"dir", u"-x", u"o"}, kExport | kExtract, u"o", u"dir", "--export runs alone"},
      {{u"--timeline", u"--export", u"dir"}, kTimeline | kExport, u"", u"dir", "--timeline runs alone"},
      {{u"--hash", u"-a"}, kHash | kFileRecord, u"", u"", "--hash hashes what -x or --export writes"},
      {{u"-x"}, 0, u"", u"", "ignored argument: -x"},
      {{u"--export"}, 0, u"", u"", "ignored argument: --export"},
  };
  for (const auto& row : rows) {
    std::vector<std::u16string> tokens = {u"velmora", u"-f", u"C:\\a"};
    tokens.insert(tokens.end(), row.tokens.begin(), row.tokens.end());
    const CommandOptions o = ScanArguments(tokens);
    const std::string label = Utf16ToUtf8(tokens.back());
    EXPECT_EQ(o.actions, row.actions | kTargetPath) << label;
    EXPECT_EQ(o.extract_path, row.extract) << label;
    EXPECT_EQ(o.export_directory, row.directory) << label;
    EXPECT_EQ(o.command_line, tokens);
    if (row.warning.empty()) {
      EXPECT_TRUE(o.warnings.empty()) << label;
    } else {
      ASSERT_EQ(o.warnings.size(), 1u) << label;
      EXPECT_NE(Utf16ToUtf8(o.warnings[0]).find(row.warning), std::string::npos) << Utf16ToUtf8(o.warnings[0]);
    }
  }
}

TEST(ContentOptionsTest, StreamPathsSplitOnlyInTheLastComponentPastTheDrive) {
  const struct {
    std::u16string path;
    std::u16string file, stream;  // file empty: refused
    std::string reason;
  } rows[] = {
      {u"C:\\dir\\file", u"C:\\dir\\file", u"", ""},
      {u"C:\\dir\\file:alpha", u"C:\\dir\\file", u"alpha", ""},
      {u"C:\\dir\\file:alpha:$DATA", u"C:\\dir\\file", u"alpha", ""},
      {u"C:\\dir\\file:alpha:$data", u"C:\\dir\\file", u"alpha", ""},
      {u"C:\\dir\\file::$DATA", u"C:\\dir\\file", u"", ""},
      {u"C:/dir/file:\u65E5\u672C", u"C:/dir/file", u"\u65E5\u672C", ""},
      {u"\\\\?\\C:\\file:s", u"\\\\?\\C:\\file", u"s", ""},
      {u"\\\\?\\C:\\file", u"\\\\?\\C:\\file", u"", ""},
      {u"C:", u"C:", u"", ""},
      {u"C:\\", u"C:\\", u"", ""},
      {u"C:\\:rootstream", u"C:\\", u"rootstream", ""},
      {u"C:file:s", u"C:file", u"s", ""},  // drive-relative: refused later, by the resolver
      {u"C:\\dir:x\\file", u"C:\\dir:x\\file", u"", ""},  // not the last component
      {u"/mnt/win/file:s", u"/mnt/win/file", u"s", ""},
      {u"C:\\file:", u"", u"", "the stream name after the colon is empty"},
      {u"C:\\file:s:$INDEX_ALLOCATION", u"", u"", "only $DATA streams"},
      {u"C:\\file::", u"", u"", "only $DATA streams"},
      {u"C:\\file:a:b:c", u"", u"", "more colons"},
      {u"C:\\file:" + std::u16string(256, u'n'), u"", u"", "longer than 255 units"},
  };
  for (const auto& row : rows) {
    const auto split = SplitStreamPath(row.path);
    const std::string label = Utf16ToUtf8(row.path);
    if (row.file.empty()) {
      ASSERT_FALSE(split) << label;
      EXPECT_NE(Utf16ToUtf8(split.error().message).find(row.reason), std::string::npos) << label;
      continue;
    }
    ASSERT_TRUE(split) << label << ": " << Utf16ToUtf8(split.error().Line());
    EXPECT_EQ(split->file, row.file) << label;
    EXPECT_EQ(split->stream, row.stream) << label;
  }
}

TEST(ContentOptionsTest, ExportNamesEscapeWhatTheHostCannotHold) {
  const platform::HostNameRules posix;
  const platform::HostNameRules windows{true, u'\\'};
  const struct {
    std::u16string name;
    std::u16string on_posix, on_windows;
  } rows[] = {
      {u"plain.txt", u"plain.txt", u"plain.txt"},
      {u"100%", u"100%25", u"100%25"},
      {u"%25", u"%2525", u"%2525"},
      {u"a/b", u"a%2Fb", u"a%2Fb"},
      {std::u16string(u"a\0b", 3), u"a%00b", u"a%00b"},
      {u"line\nbreak\x7F", u"line%0Abreak%7F", u"line%0Abreak%7F"},
      {u"a:b", u"a%3Ab", u"a%3Ab"},
      {u".", u"%2E", u"%2E"},
      {u"..", u"%2E%2E", u"%2E%2E"},
      {u"...", u"...", u"..%2E"},
      {u"a\\b*?\"<>|", u"a\\b*?\"<>|", u"a%5Cb%2A%3F%22%3C%3E%7C"},
      {u"CON", u"CON", u"%43ON"},
      {u"nul.txt", u"nul.txt", u"%6Eul.txt"},
      {u"Com1", u"Com1", u"%43om1"},
      {u"COM0", u"COM0", u"COM0"},
      {u"CONSOLE", u"CONSOLE", u"CONSOLE"},
      {u"trailing ", u"trailing ", u"trailing%20"},
      {u"\U0001F600", u"\U0001F600", u"\U0001F600"},
      {std::u16string(u"x\xD800y", 3), u"x%uD800y", u"x%uD800y"},
      {std::u16string(u"\xDC01", 1), u"%uDC01", u"%uDC01"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(EscapeExportName(row.name, posix), row.on_posix) << Utf16ToUtf8(row.name);
    EXPECT_EQ(EscapeExportName(row.name, windows), row.on_windows) << Utf16ToUtf8(row.name);
  }
  EXPECT_EQ(ExportStreamName(u"f:x", u"s%", posix), u"f%3Ax:s%25");
  EXPECT_EQ(ExportStreamName(u"f", u"s", windows), u"f%3As");
}

}  // namespace
}  // namespace velmora
