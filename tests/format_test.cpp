// The formatting layer: formats checked against their arguments while they
// compile, and what the conversions print.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "output/format.h"

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

}  // namespace
}  // namespace velmora
