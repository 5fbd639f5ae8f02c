// The formatting layer: formats checked against their arguments while they
// compile, what the conversions print, and UTF-8 decoding of the command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

// A format as a template argument, so that whether it converts to a
// FormatString can be asked without compiling the failing conversion.
template <size_t N>
struct Literal {
  char text[N];
  consteval Literal(const char (&s)[N]) {  // NOLINT(google-explicit-constructor)
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

template <Literal F, typename... Args>
concept Fits = requires { typename std::bool_constant<(FormatString<Args...>(F.text), true)>; };

// Formats the program writes, with the argument types it gives them.
static_assert(Fits<"%016I64X|%04X|%02d]|%-6s|%c", uint64_t, int, uint8_t, char16_t[3], char16_t>);
static_assert(Fits<"%I64u %lu %hd %llx %i", uint64_t, unsigned long, short, long long, bool>);
static_assert(Fits<"%s%s%s%s%s%s%s", std::u16string, std::u16string_view, const char16_t*, std::string,
                   std::string_view, const char*, char[2]>);
static_assert(Fits<"no conversions, 100%% literal">);
// Too few or too many arguments, text where an integer goes and the
// reverse, a conversion the layer does not know, a format cut short.
static_assert(!Fits<"%s and %s", std::u16string>);
static_assert(!Fits<"%08X", uint32_t, uint32_t>);
static_assert(!Fits<"plain text", int>);
static_assert(!Fits<"%016I64X", std::u16string>);
static_assert(!Fits<"%c", const char*>);
static_assert(!Fits<"%s", uint64_t>);
static_assert(!Fits<"%s", char16_t>);
static_assert(!Fits<"%f", int>);
static_assert(!Fits<"%p", const char*>);
static_assert(!Fits<"50%">);
static_assert(!Fits<"%-08", int>);
static_assert(!Fits<"%d", double>);

TEST(FormatTest, ConversionsFlagsAndWidths) {
  const struct {
    std::u16string formatted;
    std::u16string_view expected;
  } cases[] = {
      {Format("%d|%i|%5d|%-5d|%05d", -42, 7, -42, -42, -42), u"-42|7|  -42|-42  |-0042"},
      {Format("%d", std::numeric_limits<int64_t>::min()), u"-9223372036854775808"},
      {Format("%I64u", std::numeric_limits<uint64_t>::max()), u"18446744073709551615"},
      {Format("%u", -1), u"18446744073709551615"},  // a signed argument is read at 64 bits
      {Format("%x %X %08x %016I64X", 0xBEEFu, 0xBEEFu, 0xBEEFu, uint64_t{0x1234}),
       u"beef BEEF 0000beef 0000000000001234"},
      {Format("%02X %02X", uint8_t{0x5}, uint8_t{0xAB}), u"05 AB"},
      {Format("[%-4s][%4s][%04s][%1s]", u"ab", u"ab", u"ab", u"abc"), u"[ab  ][  ab][  ab][abc]"},
      {Format("%s|%s", "caf\xc3\xa9", std::u16string(u"\u4e2d")), u"caf\u00e9|\u4e2d"},
      {Format("%c%c%3c", 'A', u'\u00e9', 'z'), u"A\u00e9  z"},
      {Format("100%% %s", u""), u"100% "},
  };
  for (const auto& c : cases) EXPECT_EQ(c.formatted, c.expected);
}

TEST(FormatTest, UncheckedFormatsTolerateMissingAndExtraArguments) {
  EXPECT_EQ(FormatUnchecked("%s=%d;", {u"a"}), u"a=;");
  EXPECT_EQ(FormatUnchecked("%d", {1, 2}), u"1");
  EXPECT_EQ(FormatUnchecked("cut %", {}), u"cut ");
}

TEST(Utf8DecoderTest, WellFormedAndIllFormedSequences) {
  constexpr char16_t R = u'\uFFFD';
  const struct {
    std::string_view bytes;
    std::u16string expected;
  } cases[] = {
      // One to four bytes, at the edges of each length and around the surrogates.
      {"A\x7F", u"A\u007F"},
      {"\xC2\x80\xDF\xBF", u"\u0080\u07FF"},
      {"\xE0\xA0\x80\xEF\xBF\xBF", u"\u0800\uFFFF"},
      {"\xED\x9F\xBF\xEE\x80\x80", u"\uD7FF\uE000"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0010FFFF"},
      // Overlong forms: the lead byte (C0, C1) or its next byte is out of range.
      {"\xC0\xAF", {R, R}},
      {"\xC1\xBF", {R, R}},
      {"\xE0\x80\xAF", {R, R, R}},
      {"\xE0\x9F\xBF", {R, R, R}},
      {"\xF0\x80\x80\xAF", {R, R, R, R}},
      {"\xF0\x8F\xBF\xBF", {R, R, R, R}},
      // Encoded surrogates.
      {"\xED\xA0\x80", {R, R, R}},
      {"\xED\xBF\xBF", {R, R, R}},
      // Past U+10FFFF.
      {"\xF4\x90\x80\x80", {R, R, R, R}},
      {"\xF5\x80\x80\x80", {R, R, R, R}},
      {"\xFF", {R}},
      // Truncated: the start that was read is one error, and what cut it is read afresh.
      {"\xE2\x82", {R}},
      {"\xE2\x82" "A", {R, u'A'}},
      {"\xF0\x9F\x98", {R}},
      {"\xF0\x9F\x98\xE4\xB8\xAD", {R, u'\u4e2d'}},
      {"\x80\xBF", {R, R}},
      // The example the Unicode standard gives for counting replacements.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", {u'a', R, R, R, u'b', R, u'c', R, R, u'd'}},
  };
  for (const auto& c : cases) {
    const std::u16string decoded = Utf8ToUtf16(c.bytes);
    EXPECT_EQ(decoded, c.expected) << ::testing::PrintToString(c.bytes);
    if (decoded.find(R) == std::u16string::npos) {
      EXPECT_EQ(Utf16ToUtf8(decoded), c.bytes);
    }
  }
}

#ifndef _WIN32
// The POSIX command line arrives as bytes. An overlong '/' must not turn a
// relative name into an absolute path (which names a mounted volume).
TEST(Utf8DecoderTest, OverlongSlashOnTheCommandLineStaysInvalid) {
  int status = 0;
  const std::string out =
      testing::RunCommand("LC_ALL=C " + testing::Quote(VELMORA_BINARY) + " -f " + testing::Quote("\xC0\xAFtmp") +
                              " -a 2>&1",
                          &status);
  EXPECT_NE(out.find("Cannot find target object. (\xEF\xBF\xBD\xEF\xBF\xBDtmp)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("/tmp"), std::string::npos) << out;
}
#endif

// UTF-16LE bytes as the scan reads names: the same text Utf16ToUtf8 gives,
// an odd last byte ignored.
TEST(Utf16LeTest, BytesOnDiskGiveTheSameTextAsUnits) {
  const std::u16string cases[] = {u"", u"file-0000001.txt", u"caf\u00e9", u"\u4e2d\u6587", u"a\U0001F600b",
                                  std::u16string(1, char16_t{0xD800}) + u"x", u"x" + std::u16string(1, char16_t{0xDC00})};
  for (const std::u16string& text : cases) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
      bytes.push_back(static_cast<uint8_t>(unit));
      bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    std::string out = "prefix";
    AppendUtf16LeAsUtf8(out, bytes);
    EXPECT_EQ(out, "prefix" + Utf16ToUtf8(text));
    bytes.push_back(0x41);
    out.clear();
    AppendUtf16LeAsUtf8(out, bytes);
    EXPECT_EQ(out, Utf16ToUtf8(text));
  }
}

}  // namespace
}  // namespace velmora

