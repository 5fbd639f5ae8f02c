// The one formatting layer every report prints through.
//
// Formats are written as the program's own texts stand ("%016I64X",
// "%-30s", "%02d]"), and come out the same on every platform: the I64 and
// l/ll/h size prefixes are accepted and mean only "this integer"; %s takes
// UTF-16 text (or ASCII/UTF-8 text given as a narrow string); %c one code unit.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

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

// Formats into UTF-16 text. Conversions: d i u x X c s %. Flags: - 0.
// A width may precede the conversion; size prefixes (I64, ll, l, h) are
// skipped. A missing argument formats as nothing.
std::u16string Format(std::string_view format, std::initializer_list<FormatArg> args);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16; an invalid byte becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace velmora
