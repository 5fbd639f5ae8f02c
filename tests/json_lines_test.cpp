// The JSON Lines writer: exact text, read back by an independent parser.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "output/json_lines.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

// What python3's json module reads back from each line: its "name" value
// as UTF-16LE hex (surrogatepass keeps an unpaired surrogate as the unit it
// stands for), one line each.
std::string PythonReadsNames(const std::string& lines) {
  const auto path = std::filesystem::temp_directory_path() / "velmora_json_lines_test.json";
  std::ofstream(path, std::ios::binary) << lines;
  const std::string command =
      "python3 -c 'import json,sys\n"
      "for l in open(sys.argv[1],\"rb\").read().decode(\"utf-8\").splitlines(): "
      "print(json.loads(l)[\"name\"].encode(\"utf-16-le\",\"surrogatepass\").hex())' " +
      Quote(path.string());
  const std::string out = RunCommand(command);
  std::filesystem::remove(path);
  return out;
}

std::string Utf16LeHex(std::u16string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char16_t u : text) {
    for (uint8_t b : {static_cast<uint8_t>(u & 0xFF), static_cast<uint8_t>(u >> 8)}) {
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
  return out;
}

TEST(JsonLines, NamesRoundTripThroughAParser) {
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {u"plain.txt", "\"plain.txt\""},
      {u"tab\there", "\"tab\\there\""},
      {u"quote\"d", "\"quote\\\"d\""},
      {u"back\\slash", "\"back\\\\slash\""},
      {u"ctl\x01\x1f\x7f", "\"ctl\\u0001\\u001f\\u007f\""},
      {u"emoji \xD83D\xDE00", "\"emoji \xF0\x9F\x98\x80\""},
      {u"caf\u00e9 \u20ac", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
      {u"lone \xD800 high", "\"lone \\uD800 high\""},
      {u"lone low \xDC01", "\"lone low \\uDC01\""},
      {u"\xDE00\xD83D reversed", "\"\\uDE00\\uD83D reversed\""},
  };
  if (RunCommand("python3 -c \"print(1)\"") != "1\n") GTEST_SKIP() << "python3 is not available";
  std::string lines, expected;
  for (const auto& [name, literal] : cases) {
    const std::string line = json::Line("test").Text("name", name).Finish();
    EXPECT_EQ(line, "{\"report\":\"test\",\"name\":" + literal + "}\n");
    lines += line;
    expected += Utf16LeHex(name) + "\n";
  }
  EXPECT_EQ(PythonReadsNames(lines), expected);
}

// Every code unit JSON requires escaped, and the neighbours that must stay
// as they are, through both string writers (UTF-8 and UTF-16 text); the
// expectations follow RFC 8259: the five short escapes, \u00xx for the
// rest below 0x20, and DEL escaped as well so that no control byte is left.
TEST(JsonLines, EscapesEveryControlUnitQuoteAndBackslash) {
  const std::map<char16_t, std::string> kShort = {
      {u'\b', "\\b"}, {u'\t', "\\t"}, {u'\n', "\\n"}, {u'\f', "\\f"}, {u'\r', "\\r"}};
  std::vector<std::pair<std::u16string, std::string>> cases;
  for (char16_t unit = 0; unit < 0x20; ++unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped = std::string("\\u00") + kHex[unit >> 4] + kHex[unit & 0xF];
    if (kShort.count(unit)) escaped = kShort.at(unit);
    cases.push_back({std::u16string{u'a', unit, u'b'}, "a" + escaped + "b"});
  }
  cases.insert(cases.end(), {{u"a b", "a b"},
                             {u"a\x7F\x7E", "a\\u007f~"},
                             {u"\"", "\\\""},
                             {u"\\", "\\\\"},
                             {u"/", "/"},
                             {u"\x80", "\xC2\x80"}});
  for (const auto& [text, inner] : cases) {
    SCOPED_TRACE(inner);
    const std::string expected = "{\"report\":\"t\",\"v\":\"" + inner + "\"}\n";
    EXPECT_EQ(json::Line("t").Text("v", text).Finish(), expected);
    if (text[0] < 0x80 && text.back() < 0x80) {
      const std::string narrow(text.begin(), text.end());
      EXPECT_EQ(json::Line("t").String("v", narrow).Finish(), expected);
    }
  }
  // UTF-16 only: a pair is one character; a surrogate alone keeps its unit.
  const std::pair<std::u16string, std::string> surrogates[] = {
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
      {u"a\xD800", "a\\uD800"},
      {u"\xDFFFz", "\\uDFFFz"},
      {u"\xDC00\xD800", "\\uDC00\\uD800"},
  };
  for (const auto& [text, inner] : surrogates) {
    EXPECT_EQ(json::Line("t").Text("v", text).Finish(), "{\"report\":\"t\",\"v\":\"" + inner + "\"}\n");
  }
}

// Narrow text is checked eight bytes at a time: every ASCII byte at each
// place of a longer string escapes as the UTF-16 path escapes it.
TEST(JsonLines, NarrowEscapesAtEveryPlace) {
  for (char16_t unit = 0; unit < 0x80; ++unit) {
    for (size_t place = 0; place < 17; ++place) {
      std::u16string text(17, u'k');
      text[place] = unit;
      const std::string narrow(text.begin(), text.end());
      ASSERT_EQ(json::Line("t").String("v", narrow).Finish(), json::Line("t").Text("v", text).Finish())
          << unsigned(unit) << " at " << place;
    }
  }
}

TEST(JsonLines, TypedValues) {
  static constexpr json::FlagName kFlags[] = {{0x1, "IN_USE"}, {0x2, "DIRECTORY"}, {0x4, "EXTENSION"}};
  const uint8_t bytes[] = {0x00, 0x0a, 0xff};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {json::Line("r").Wide("lsn", 0xFFFFFFFFFFFFFFFFull).Finish(),
       "{\"report\":\"r\",\"lsn\":18446744073709551615,\"lsn_hex\":\"ffffffffffffffff\"}\n"},
      {json::Line("r").Reference("file", FileReference(0x0003000000000040ull)).Finish(),
       "{\"report\":\"r\",\"file\":{\"record\":64,\"sequence\":3,\"hex\":\"0003000000000040\"}}\n"},
      {json::Line("r").Time("t", 132223104000000001ull).Finish(),
       "{\"report\":\"r\",\"t\":{\"utc\":\"2020-01-01T00:00:00.0000001Z\",\"filetime\":132223104000000001,"
       "\"filetime_hex\":\"01d5c03669050001\"}}\n"},
      {json::Line("r").Bytes("b", bytes).Bytes("none", {}).Finish(),
       "{\"report\":\"r\",\"b\":\"000aff\",\"none\":\"\"}\n"},
      {json::Line("r").Flags("f", 0x3, kFlags).Flags("g", 0x8, kFlags).Finish(),
       "{\"report\":\"r\",\"f\":{\"value\":3,\"names\":[\"IN_USE\",\"DIRECTORY\"]},"
       "\"g\":{\"value\":8,\"names\":[]}}\n"},
      {json::Line("r").Signed("s", -5).Bool("ok", false).Array("a").Object("").Number("n", 1).End().Object("").End()
           .Finish(),
       "{\"report\":\"r\",\"s\":-5,\"ok\":false,\"a\":[{\"n\":1},{}]}\n"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace velmora::testing
