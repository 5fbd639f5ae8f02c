#include "base/format.h"

#include <vector>

namespace velmora {

std::u16string FormatArg::AsText16() const {
  if (kind_ == Kind::Text16) return std::u16string(text16_);
  if (kind_ == Kind::Text8) return Utf8ToUtf16(text8_);
  return {};
}

namespace {

std::u16string Digits(uint64_t value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(digits[value % base]));
    value /= base;
  } while (value != 0);
  return out;
}

void Pad(std::u16string& out, std::u16string body, size_t width, bool left, bool zeros, bool negative) {
  if (zeros && !left) {
    size_t length = body.size() + (negative ? 1 : 0);
    if (length < width) body.insert(0, width - length, u'0');
  }
  if (negative) body.insert(body.begin(), u'-');
  if (body.size() < width) {
    if (left) {
      body.append(width - body.size(), u' ');
    } else {
      body.insert(0, width - body.size(), u' ');
    }
  }
  out += body;
}

}  // namespace

std::u16string FormatUnchecked(std::string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  auto next = args.begin();
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i++];
    if (c != '%') {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
      continue;
    }
    const format_check::Conversion conversion = format_check::ReadConversion(format, i);
    i = conversion.end;
    if (conversion.type == 0) break;
    if (conversion.type == '%') {
      out.push_back(u'%');
      continue;
    }
    if (next == args.end()) continue;
    const FormatArg& arg = *next++;
    const size_t width = conversion.width;
    const bool left = conversion.left;
    const bool zeros = conversion.zeros;
    switch (conversion.type) {
      case 'd':
      case 'i': {
        int64_t value = arg.AsSigned();
        bool negative = value < 0;
        uint64_t magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        Pad(out, Digits(magnitude, 10, false), width, left, zeros, negative);
        break;
      }
      case 'u':
        Pad(out, Digits(arg.AsUnsigned(), 10, false), width, left, zeros, false);
        break;
      case 'x':
      case 'X':
        Pad(out, Digits(arg.AsUnsigned(), 16, conversion.type == 'X'), width, left, zeros, false);
        break;
      case 'c':
        Pad(out, std::u16string(1, static_cast<char16_t>(arg.AsUnsigned())), width, left, false, false);
        break;
      case 's':
        Pad(out, arg.AsText16(), width, left, false, false);
        break;
      default:
        break;
    }
  }
  return out;
}

namespace {

// UTF-16 units, read through unit(i), as UTF-8 appended to out; an unpaired
// surrogate becomes U+FFFD.
template <typename Unit>
void AppendAsUtf8(std::string& out, size_t units, Unit unit) {
  size_t i = 0;
  // Nearly every name on a volume is ASCII: those units go straight in.
  const size_t start = out.size();
  out.resize(start + units);
  for (; i < units; ++i) {
    const uint32_t cp = unit(i);
    if (cp >= 0x80) break;
    out[start + i] = static_cast<char>(cp);
  }
  out.resize(start + i);
  for (; i < units; ++i) {
    uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  AppendAsUtf8(out, text.size(), [text](size_t i) -> uint32_t { return text[i]; });
  return out;
}

void AppendUtf16LeAsUtf8(std::string& out, std::span<const uint8_t> utf16le) {
  AppendAsUtf8(out, utf16le.size() / 2, [utf16le](size_t i) -> uint32_t {
    return static_cast<uint32_t>(utf16le[2 * i]) | static_cast<uint32_t>(utf16le[2 * i + 1]) << 8;
  });
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
      out.push_back(lead);
      continue;
    }
    // The continuation bytes a lead byte takes, and the range its first
    // continuation must fall in: the narrower ranges after E0, ED, F0 and F4
    // are what leave out overlong forms, surrogates and code points past
    // U+10FFFF. C0, C1 and F5..FF begin nothing.
    size_t extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    bool complete = extra > 0;
    for (size_t k = 0; k < extra; ++k, low = 0x80, high = 0xBF) {
      const auto next = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
      if (i == text.size() || next < low || next > high) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (next & 0x3F);
      ++i;
    }
    // One U+FFFD stands for the longest start of a sequence that was read
    // (its maximal subpart); the byte that broke it is read afresh.
    if (!complete) {
      out.push_back(u'\uFFFD');
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace velmora
