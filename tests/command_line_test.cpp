// The option scan, number parsing, usage and exit codes, dispatch order.
#include <gtest/gtest.h>

#include "cli/options.h"
#include "base/format.h"
#include "tests/support/fake_platform.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

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

// A JSON error says which kind of failure it was, so that a script can tell
// a name that is not there from a volume that cannot be read.
TEST(ProgramTest, JsonErrorsCarryTheirKind) {
  SyntheticVolume synthetic;
  synthetic.SetRecord(30, Bytes(1024, 0xEE));  // no FILE signature: damaged
  FakePlatform platform;
  platform.AddVolume(u'C', synthetic.image());
  const struct {
    std::vector<std::u16string> arguments;
    const char* kind;
  } cases[] = {
      {{u"--json", u"-f", u"C:\\nothing", u"-a"}, "absent"},
      {{u"--json", u"-f", u"C:\\", u"-r", u"63", u"-a"}, "absent"},    // never written
      {{u"--json", u"-f", u"C:\\", u"-r", u"FFFF", u"-a"}, "absent"},  // outside the MFT
      {{u"--json", u"-f", u"C:\\", u"-r", u"1E", u"-a"}, "damaged"},
      {{u"--json", u"-f", u"C:\\" + std::u16string(40000, u'a'), u"-a"}, "limit"},
  };
  for (const auto& c : cases) {
    const auto r = RunVelmora(platform, c.arguments);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find(std::string("\"kind\":\"") + c.kind + "\"}"), std::string::npos) << r.out;
  }
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

// Each command line names the object it names, or is refused and says
// why: never a different object with exit 0 and nothing on stderr. The
// -r forms are built from the manifest's record and sequence number of
// \data ({N} decimal, {REF} its full reference, {STALE} the same with a
// sequence number the record does not have).
TEST_F(OnCommittedVolumes, CommandLineNamesWhatWasTyped) {
  struct Row {
    std::vector<std::string> arguments;
    const char* target;      // manifest path of the record -a shows; nullptr when none is
    std::string stdout_has;  // a line of stdout: the FILE REF shown, the refusal, the text
    std::string stderr_has;  // stderr is one line holding this; "" for an empty stderr
    int exit_code;
  };
  const Row rows[] = {
      {{"-f", "C:/data/random.bin", "-a"}, "\\data\\random.bin", "", "", 0},
      {{"-f", "C:\\data/", "-a"}, "\\data", "", "", 0},
      {{"-f", "C:/plain.txt", "-w", "0", "out.bin"}, nullptr, "Cannot find target object. (C:/plain.txt)",
       "\"plain.txt\" not found in directory C:\\ (record 0x5)", 1},
      {{"-f", "C:/missing/zzz", "-l"}, nullptr, "Cannot find target object. (C:/missing/zzz)",
       "\"missing\" not found in directory C:\\ (record 0x5)", 1},
      {{"-f", "C:plain.txt", "-a"}, nullptr, "Cannot find target object. (C:plain.txt)",
       "name it from the root: C:\\plain.txt", 1},
      {{"-f", "C:", "-a"}, nullptr, "Cannot find target object. (C:)", "name it from the root: C:\\", 1},
      {{"-f", "C:\\$MFT", "-a"}, "\\$MFT", "FILE REF : 0000000000000000", "", 0},
      {{"-f", "C:/$Extend/$Quota", "-a"}, "\\$Extend\\$Quota", "", "", 0},
      {{"-f", "C:\\", "-r", "{N}-128-2", "-a"}, "\\data", "FILE REF : {HEX}", "", 0},
      {{"-f", "C:\\", "-r", "{N}-48", "-a"}, "\\data", "FILE REF : {HEX}", "", 0},
      {{"-f", "C:\\", "-r", "{REF}", "-a"}, "\\data", "FILE REF : {REF}", "", 0},
      {{"-f", "C:\\", "-r", "{STALE}", "-a"}, "\\data", "FILE REF : {STALE}", "is stale or was reused", 0},
      {{"-f", "C:\\", "-r", "zz", "-a"}, "\\$MFT", "FILE REF : 0000000000000000", "no hexadecimal digits", 0},
      {{"-f", "C:\\", "-v", "48", "-a"}, "\\", "Show attribute:", "$FILE_NAME is -v 3", 0},
      {{"-f", "C:\\", "-v", "0x10", "-a"}, "\\", "Show attribute:", "$STANDARD_INFORMATION is -v 1", 0},
      {{"-f", "C:\\", "-v", "abc", "-a"}, "\\", "Show attribute:", "no decimal digits; read as 0", 0},
      {{"-f", "C:\\", "-a", "--help"}, nullptr, "Usage: velmora [-m X: SOURCE]... [options] -f PATH", "", 0},
      {{"--json", "--help"}, nullptr, "Usage: velmora [-m X: SOURCE]... [options] -f PATH", "", 0},
      {{"--version"}, nullptr, "Velmora 1.0", "", 0},
      {{}, nullptr, "Usage : Velmora.exe [options] -f file_path_name ", "--help lists every option", 1},
  };
  for (const std::string& name : names_) {
    const TestVolume& volume = LoadVolume(name);
    const uint64_t data = RecordOf(volume, "\\data");
    const uint16_t sequence = static_cast<uint16_t>(std::stoul(FactsOf(volume, "record", data).at(0)->Get("seq")));
    const std::map<std::string, std::string> forms = {
        {"{N}", std::to_string(data)},
        {"{HEX}", Hex(data, 16)},
        {"{REF}", Hex(FileReference::Of(data, sequence).value, 16)},
        {"{STALE}", Hex(FileReference::Of(data, sequence + 1).value, 16)}};
    auto fill = [&](std::string text) {
      for (const auto& [form, value] : forms)
        if (size_t at = text.find(form); at != std::string::npos) text.replace(at, form.size(), value);
      return text;
    };
    for (const Row& row : rows) {
      std::vector<std::u16string> arguments;
      std::string line = name + ":";
      for (const std::string& argument : row.arguments) {
        arguments.push_back(U16(fill(argument)));
        line += " " + fill(argument);
      }
      const RunResult run = RunOn(volume, arguments);
      SCOPED_TRACE(line + "\n" + run.out + run.err);
      EXPECT_EQ(run.exit_code, row.exit_code);
      if (row.target) {
        EXPECT_NE(run.out.find("MFTRecNumber  = " + Hex(RecordOf(volume, row.target), 16) + "\n"), std::string::npos);
      }
      EXPECT_NE(run.out.find(fill(row.stdout_has)), std::string::npos);
      if (row.stderr_has.empty()) {
        EXPECT_EQ(run.err, "");
      } else {
        EXPECT_NE(run.err.find(row.stderr_has), std::string::npos);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
      }
    }
  }
}

TEST(ProgramTest, HelpNamesEveryOptionAndForm) {
  FakePlatform platform;
  const std::string help = RunVelmora(platform, {u"--help"}).out;
  for (const char* item : {"-f PATH", "X:/dir/file", "X:name", "-m X: SOURCE", "-r REFERENCE", "000200000000009E",
                           "158-128-2", "-l ", "-a ", "-v TYPE", "-c ", "-d TYPE", "-s SECURITY_ID", "-e ", "-n LSN",
                           "-w ID", "--timeline", "--deleted", "--json", "--version", "SOURCE@OFFSET", "SOURCE#N", "E01", "VHDX",
                           "QCOW2", "16 $LOGGED_UTILITY_STREAM", "-x OUTPUT_FILE", "file::$DATA", "--hash",
                           "--export DIR", "hashdeep -a -k MANIFEST -r DIR"})
    EXPECT_NE(help.find(item), std::string::npos) << item;
  EXPECT_EQ(help.find("Velmora v"), std::string::npos);  // no banner
}

// How each number or type that is not cleanly one is read (as before), and
// the one stderr line that says so.
TEST(NumberParsingTest, TokensThatAreNotCleanlyNumbersAreToldHowTheyWereRead) {
  using Field = uint64_t (*)(const CommandOptions&);
  const Field reference = [](const CommandOptions& o) { return o.reference; };
  const Field detail = [](const CommandOptions& o) -> uint64_t { return o.detail_type; };
  const Field dump = [](const CommandOptions& o) -> uint64_t { return o.dump_type; };
  const Field start = [](const CommandOptions& o) { return o.dump_range.start; };
  const Field range = [](const CommandOptions& o) -> uint64_t { return o.dump_range.range; };
  const struct {
    std::vector<std::u16string> tokens;
    Field field;
    uint64_t value;
    std::string warning;  // "" for none
  } rows[] = {
      {{u"-r", u"1B"}, reference, 0x1B, ""},
      {{u"-r", u"0x1b"}, reference, 0x1B, ""},
      {{u"-r", u"74-128-2"}, reference, 74, ""},
      {{u"-r", u"74-48"}, reference, 74, ""},
      {{u"-r", u"000200000000009E"}, reference, 0x000200000000009E, ""},
      {{u"-r", u"zz"}, reference, 0, "-r \"zz\": no hexadecimal digits; read as 0x0"},
      {{u"-r", u"1B-128-2"}, reference, 0x1B, "\"-128-2\" after the number is ignored; read as 0x1B; an inode"},
      {{u"-r", u"-1"}, reference, ~uint64_t{0}, "negative, taken modulo 2^64"},
      {{u"-r", u"281474976710656-128-2"}, reference, 0xFFFFFFFFFFFF, "too large for 48 bits"},
      {{u"-n", u"1FFFFFFFFFFFFFFFF"}, [](const CommandOptions& o) { return o.lsn; }, ~uint64_t{0},
       "-n \"1FFFFFFFFFFFFFFFF\": too large for 64 bits"},
      {{u"-v", u"3"}, detail, 0x30, ""},
      {{u"-v", u"16"}, detail, 0x100, ""},
      {{u"-v", u"48"}, detail, 0,
       "-v \"48\": no attribute type is 48 (they are 1 to 14 and 16); read as 0, every attribute; type numbers are "
       "the type code divided by 16: $FILE_NAME is -v 3"},
      {{u"-v", u"0x10"}, detail, 0, "type numbers are decimal: \"x10\" after the 0 is ignored"},
      {{u"-v", u"0x31"}, detail, 0, "ignored; read as 0, every attribute"},
      {{u"-v", u"15"}, detail, 0, "no attribute type is 15"},
      {{u"-v", u"3x"}, detail, 0x30, "\"x\" after the number is ignored; read as 3 ($FILE_NAME)"},
      {{u"-v", u"99999999999"}, detail, 0, "too large for 32 bits"},
      {{u"-d", u"128"}, dump, 0, "$DATA is -d 8"},
      {{u"-d", u"8", u"1G"}, start, 1, "-d start \"1G\": \"G\" after the number is ignored"},
      {{u"-d", u"8", u"0", u"100000000"}, range, 0xFFFFFFFF, "-d range \"100000000\": too large for 32 bits"},
      {{u"-w", u"3h", u"out.bin"}, [](const CommandOptions& o) -> uint64_t { return o.attribute_id; }, 3,
       "-w \"3h\""},
      {{u"-s", u"-1"}, [](const CommandOptions& o) -> uint64_t { return o.security_id; }, 0xFFFFFFFF,
       "-s \"-1\": negative, taken modulo 2^32; read as 0xFFFFFFFF"},
  };
  for (const auto& row : rows) {
    const CommandOptions o = Scan(row.tokens);
    SCOPED_TRACE(Utf16ToUtf8(row.tokens[0] + u" " + row.tokens[1]));
    EXPECT_EQ(row.field(o), row.value);
    if (row.warning.empty()) {
      EXPECT_TRUE(o.warnings.empty());
    } else {
      ASSERT_EQ(o.warnings.size(), 1u);
      EXPECT_NE(Utf16ToUtf8(o.warnings[0]).find(row.warning), std::string::npos) << Utf16ToUtf8(o.warnings[0]);
    }
  }
}

}  // namespace
}  // namespace velmora
