// The one formatting layer every report prints through.
//
// Formats are written as the program's own texts stand ("%016I64X",
// "%-30s", "%02d]"), and come out the same on every platform: the I64 and
// l/ll/h size prefixes are accepted and mean only "this integer"; %s takes
// UTF-16 text (or ASCII/UTF-8 text given as a narrow string); %c one code unit.
// A format that does not fit its arguments does not compile.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmora {

class FormatArg {
 public:
  enum class Kind { Unsigned, Signed, Text16, Text8 };

  template <std::integral T>
  FormatArg(T value) {  // NOLINT(google-explicit-constructor): argument lists read like printf
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      signed_ = value;
    } else {
      kind_ = Kind::Unsigned;
      unsigned_ = value;
    }
  }
  FormatArg(std::u16string_view text) : kind_(Kind::Text16), text16_(text) {}
  FormatArg(const std::u16string& text) : kind_(Kind::Text16), text16_(text) {}
  FormatArg(const char16_t* text) : kind_(Kind::Text16), text16_(text) {}
  FormatArg(std::string_view text) : kind_(Kind::Text8), text8_(text) {}
  FormatArg(const std::string& text) : kind_(Kind::Text8), text8_(text) {}
  FormatArg(const char* text) : kind_(Kind::Text8), text8_(text) {}

  Kind kind() const { return kind_; }
  uint64_t AsUnsigned() const { return kind_ == Kind::Signed ? static_cast<uint64_t>(signed_) : unsigned_; }
  int64_t AsSigned() const { return kind_ == Kind::Signed ? signed_ : static_cast<int64_t>(unsigned_); }
  std::u16string AsText16() const;

 private:
  Kind kind_;
  uint64_t unsigned_ = 0;
  int64_t signed_ = 0;
  std::u16string_view text16_;
  std::string_view text8_;
};

namespace format_check {

// One conversion, read from just past its '%'.
struct Conversion {
  bool left = false;   // '-'
  bool zeros = false;  // '0'
  size_t width = 0;
  char type = 0;  // d i u x X c s %, or 0 when the format ends inside the conversion
  size_t end = 0;  // just past the conversion
};

// The size prefixes (I64, ll, l, h) are read past: every integer argument
// is formatted at its full width whatever the format says.
constexpr Conversion ReadConversion(std::string_view format, size_t i) {
  Conversion c;
  while (i < format.size() && (format[i] == '-' || format[i] == '0')) {
    (format[i] == '-' ? c.left : c.zeros) = true;
    ++i;
  }
  while (i < format.size() && format[i] >= '0' && format[i] <= '9') c.width = c.width * 10 + (format[i++] - '0');
  if (format.substr(i, 3) == "I64") i += 3;
  while (i < format.size() && (format[i] == 'l' || format[i] == 'h')) ++i;
  if (i < format.size()) c.type = format[i++];
  c.end = i;
  return c;
}

// What an argument can fill: an integer conversion (d i u x X c) or %s.
enum class Takes { kInteger, kText, kNothing };

template <typename T>
constexpr Takes TakesOf() {
  if constexpr (std::integral<T>) {
    return Takes::kInteger;
  } else if constexpr (std::is_convertible_v<const T&, std::u16string_view> ||
                       std::is_convertible_v<const T&, std::string_view>) {
    return Takes::kText;
  } else {
    return Takes::kNothing;
  }
}

enum class Mismatch {
  kNone,
  kUnknownConversion,
  kFormatEndsInConversion,
  kTooFewArguments,
  kTooManyArguments,
  kIntegerConversionGivenText,
  kTextConversionGivenInteger,
  kArgumentCannotBeFormatted,
};

constexpr Mismatch Check(std::string_view format, std::span<const Takes> args) {
  for (Takes arg : args) {
    if (arg == Takes::kNothing) return Mismatch::kArgumentCannotBeFormatted;
  }
  size_t next = 0;
  for (size_t i = 0; i < format.size();) {
    if (format[i++] != '%') continue;
    const Conversion c = ReadConversion(format, i);
    i = c.end;
    if (c.type == '%') continue;
    if (c.type == 0) return Mismatch::kFormatEndsInConversion;
    const std::string_view integers = "diuxXc";
    if (c.type != 's' && integers.find(c.type) == std::string_view::npos) return Mismatch::kUnknownConversion;
    if (next == args.size()) return Mismatch::kTooFewArguments;
    const Takes arg = args[next++];
    if (c.type == 's' && arg != Takes::kText) return Mismatch::kTextConversionGivenInteger;
    if (c.type != 's' && arg != Takes::kInteger) return Mismatch::kIntegerConversionGivenText;
  }
  return next == args.size() ? Mismatch::kNone : Mismatch::kTooManyArguments;
}

template <typename... Args>
constexpr Mismatch CheckFor(std::string_view format) {
  const std::array<Takes, sizeof...(Args)> takes{TakesOf<std::decay_t<Args>>()...};
  return Check(format, takes);
}

// Never defined and not constexpr: a format that does not fit its
// arguments calls one of these while it is compiled, and the compiler's
// error names the function, which says what is wrong.
void UnknownConversion();
void FormatEndsInConversion();
void TooFewArguments();
void TooManyArguments();
void IntegerConversionGivenText();
void TextConversionGivenInteger();
void ArgumentCannotBeFormatted();

}  // namespace format_check

// A format checked, while it is compiled, against the arguments it is given:
// their number and, conversion by conversion, integer or text. Only a
// constant (a literal, a constexpr string) can become one.
template <typename... Args>
class FormatString {
 public:
  template <typename Text>
    requires std::convertible_to<const Text&, std::string_view>
  consteval FormatString(const Text& text)  // NOLINT(google-explicit-constructor): a literal stands for it
      : text_(text) {
    using format_check::Mismatch;
    switch (format_check::CheckFor<Args...>(text_)) {
      case Mismatch::kNone: break;
      case Mismatch::kUnknownConversion: format_check::UnknownConversion(); break;
      case Mismatch::kFormatEndsInConversion: format_check::FormatEndsInConversion(); break;
      case Mismatch::kTooFewArguments: format_check::TooFewArguments(); break;
      case Mismatch::kTooManyArguments: format_check::TooManyArguments(); break;
      case Mismatch::kIntegerConversionGivenText: format_check::IntegerConversionGivenText(); break;
      case Mismatch::kTextConversionGivenInteger: format_check::TextConversionGivenInteger(); break;
      case Mismatch::kArgumentCannotBeFormatted: format_check::ArgumentCannotBeFormatted(); break;
    }
  }
  constexpr std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

// Formats a format made while the program runs, which nothing checks: a
// missing argument formats as nothing, an extra one is left out.
std::u16string FormatUnchecked(std::string_view format, std::initializer_list<FormatArg> args);

// Formats into UTF-16 text. Conversions: d i u x X c s %. Flags: - 0.
// A width may precede the conversion; size prefixes (I64, ll, l, h) are
// skipped.
template <typename... Args>
std::u16string Format(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  return FormatUnchecked(format.text(), {FormatArg(args)...});
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// The same for UTF-16LE bytes as they lie on disk (an odd last byte is
// ignored), appended to out.
void AppendUtf16LeAsUtf8(std::string& out, std::span<const uint8_t> utf16le);
// UTF-8 to UTF-16. What is not well-formed UTF-8 (a stray or truncated
// sequence, an overlong form, an encoded surrogate, a code point past
// U+10FFFF) becomes U+FFFD, one for each maximal invalid subpart, so that
// no text reaches the program through a form the standard forbids.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace velmora
