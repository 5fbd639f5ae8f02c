// The option scan, number parsing, usage and exit codes, dispatch order.
#include <gtest/gtest.h>

#include "cli/options.h"
#include "base/format.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using namespace testing;

CommandOptions Scan(std::vector<std::u16string> tokens) {
  tokens.insert(tokens.begin(), u"velmora");
  return ScanArguments(tokens);
}

TEST(NumberParsingTest, FollowsTheStandardUnsignedConversions) {
  EXPECT_EQ(ParseUnsigned(u"  0x1F", 16, 64), 0x1Fu);
  EXPECT_EQ(ParseUnsigned(u"1fz", 16, 64), 0x1Fu);
  EXPECT_EQ(ParseUnsigned(u"zz", 16, 64), 0u);
  EXPECT_EQ(ParseUnsigned(u"-1", 16, 32), 0xFFFFFFFFu);
  EXPECT_EQ(ParseUnsigned(u"-1", 16, 64), ~uint64_t{0});
  EXPECT_EQ(ParseUnsigned(u"123456789", 16, 32), 0xFFFFFFFFu);
  EXPECT_EQ(ParseUnsigned(u"0x", 16, 32), 0u);
  EXPECT_EQ(ParseUnsigned(u"+12", 10, 32), 12u);
}

TEST(NumberParsingTest, TypeNumbersBecomeValidatedTypeCodes) {
  EXPECT_EQ(ParseTypeCode(u"15"), 0u);
  EXPECT_EQ(ParseTypeCode(u"0"), 0u);
  EXPECT_EQ(ParseTypeCode(u"17"), 0u);
  EXPECT_EQ(ParseTypeCode(u"abc"), 0u);
  EXPECT_EQ(ParseTypeCode(u"16"), 0x100u);
  EXPECT_EQ(ParseTypeCode(u"14"), 0xE0u);
  EXPECT_EQ(ParseTypeCode(u"1"), 0x10u);
  EXPECT_EQ(ParseTypeCode(u"268435457"), 0x10u);  // 0x10000001 * 16 wraps to 0x10 in 32 bits
}

TEST(OptionScanTest, TokensAndValues) {
  auto o = Scan({u"-f", u"-l"});
  EXPECT_EQ(o.target_path, u"-l");
  EXPECT_EQ(o.actions, action::kTargetPath);
  EXPECT_EQ(Scan({u"-f"}).actions, 0u);
  o = Scan({u"-f", u"X:\\a", u"-w", u"1"});
  EXPECT_FALSE(o.actions & action::kWrite);
  o = Scan({u"-f", u"X:\\a", u"-f", u"Y:\\b", u"-a", u"-l", u"-a"});
  EXPECT_EQ(o.target_path, u"Y:\\b");
  EXPECT_EQ(o.actions, action::kTargetPath | action::kList | action::kFileRecord);
}

TEST(OptionScanTest, DumpTakesOptionalStartAndRange) {
  auto o = Scan({u"-d", u"8", u"-f", u"X:\\a"});
  EXPECT_EQ(o.dump_type, 0x80u);
  EXPECT_EQ(o.dump_range.start, 0u);
  EXPECT_EQ(o.dump_range.range, 80u);
  o = Scan({u"-d", u"8", u"100", u"-f", u"X:\\a"});
  EXPECT_EQ(o.dump_range.start, 0x100u);
  EXPECT_EQ(o.dump_range.range, 80u);
  o = Scan({u"-d", u"8", u"100", u"20", u"-f", u"X:\\a"});
  EXPECT_EQ(o.dump_range.range, 0x20u);
  o = Scan({u"-d", u"8", u"100", u"0", u"-f", u"X:\\a"});
  EXPECT_EQ(o.dump_range.range, 80u);
  o = Scan({u"-d", u"8", u"100", u"20", u"-d", u"1", u"-f", u"X:\\a"});
  EXPECT_EQ(o.dump_type, 0x10u);
  EXPECT_EQ(o.dump_range.start, 0x100u);  // kept from the first -d
}

TEST(OptionScanTest, DriveBindingsNeedTwoTokens) {
  auto o = Scan({u"-m", u"c:", u"a.img", u"-m", u"C", u"b.img", u"-m", u"D:"});
  ASSERT_EQ(o.drive_bindings.size(), 2u);
  EXPECT_EQ(o.drive_bindings[0].first, u'C');
  EXPECT_EQ(o.drive_bindings[1].second, u"b.img");
  o = Scan({u"-m", u"CC", u"a.img", u"-f", u"x"});
  EXPECT_TRUE(o.drive_bindings.empty());
  EXPECT_EQ(o.warnings.size(), 1u);
  EXPECT_EQ(o.target_path, u"x");
}

TEST(FormatTest, ProgramFormatsComeOutTheSameEverywhere) {
  EXPECT_EQ(Format("%016I64X|%04X|%02d]|%-6s|%c", uint64_t{0xABCDEF}, 0x1F, 3, u"ab", 'Z'),
            u"0000000000ABCDEF|001F|03]|ab    |Z");
  EXPECT_EQ(Format("%u %d %s %%", 4000000000u, -5, "x"), u"4000000000 -5 x %");
  EXPECT_EQ(Utf16ToUtf8(u"\u4e2d\U0001F600"), "\xe4\xb8\xad\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xef\xbf\xbd");
  EXPECT_EQ(Utf8ToUtf16("\xe4\xb8\xad\xf0\x9f\x98\x80"), u"\u4e2d\U0001F600");
}

TEST(ProgramTest, UsageAndExitCodeWithoutTarget) {
  FakePlatform platform;
  auto r = RunVelmora(platform, {});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind("\nVelmora v1.0 - ", 0), 0u);
  EXPECT_NE(r.out.find("\n\nUsage : Velmora.exe [options] -f file_path_name \n"), std::string::npos);
  EXPECT_NE(r.out.find("\tUse '-v 1' command, secure id will displayed in STANDARD_INFORMATION.\n"),
            std::string::npos);
  EXPECT_EQ(RunVelmora(platform, {u"-l"}).exit_code, 1);
}

TEST(ProgramTest, TargetNotFoundAndReferenceNotFound) {
  SyntheticVolume synthetic;
  FakePlatform platform;
  platform.AddVolume(u'C', synthetic.image());
  auto r = RunVelmora(platform, {u"-f", u"C:\\nothing", u"-a"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Cannot find target object. (C:\\nothing)\n"), std::string::npos);
  r = RunVelmora(platform, {u"-f", u"C:\\", u"-r", u"63", u"-a"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Cannot find target reference. (0000000000000063)\n"), std::string::npos);
  EXPECT_EQ(r.out.find("====="), std::string::npos);
}

TEST(ProgramTest, ReportsRunInTableOrderAndFailuresPrintNone) {
  SyntheticVolume synthetic;
  FakePlatform platform;
  platform.AddVolume(u'C', synthetic.image());
  auto r = RunVelmora(platform, {u"-s", u"FF", u"-f", u"C:\\", u"-n", u"1"});
  EXPECT_EQ(r.exit_code, 0);
  std::string expected_tail =
      "FILE : C:\\ \n"
      "FILE REF : 0000000000000005\n"
      "=====================\n"
      "Security attribute:\n"
      "\tNONE\n"
      "=====================\n"
      "Log file information (LSN : 0000000000000001):\n"
      "\tNONE\n";
  ASSERT_GE(r.out.size(), expected_tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - expected_tail.size()), expected_tail);
  r = RunVelmora(platform, {u"-f", u"C:\\", u"-r", u"5", u"-e"});
  EXPECT_EQ(r.out.find("FILE : "), std::string::npos);
  EXPECT_NE(r.out.find("FILE REF : 0000000000000005\n"), std::string::npos);
}

}  // namespace
}  // namespace velmora
