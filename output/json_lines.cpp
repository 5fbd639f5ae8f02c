#include "output/json_lines.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "output/console.h"

namespace velmora {
namespace json {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Each byte's two lowercase hex digits, so that a byte costs one copy.
constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> pairs{};
  for (size_t b = 0; b < 256; ++b) {
    pairs[2 * b] = kHexDigits[b >> 4];
    pairs[2 * b + 1] = kHexDigits[b & 0xF];
  }
  return pairs;
}();

// Whether a byte stands for itself inside a JSON string.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (size_t b = 0x20; b < 256; ++b) plain[b] = b != 0x7F && b != '"' && b != '\\';
  return plain;
}();

// Whether eight bytes all stand for themselves: none below 0x20, none a
// quote, a backslash or 0x7F. (v - 0x01..) & ~v & 0x80.. is non-zero exactly
// when some byte of v is zero, and with 0x20.. in place of 0x01.. when some
// byte is below 0x20.
bool PlainWord(const char* bytes) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighs = 0x8080808080808080;
  uint64_t word;
  std::memcpy(&word, bytes, 8);
  const auto zero_byte = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  return (zero_byte(word ^ (kOnes * '"')) | zero_byte(word ^ (kOnes * '\\')) | zero_byte(word ^ (kOnes * 0x7F)) |
          ((word - kOnes * 0x20) & ~word & kHighs)) == 0;
}

void AppendHex16(std::string& out, uint64_t value) {
  char text[16];
  for (int i = 7; i >= 0; --i, value >>= 8) std::memcpy(text + 2 * i, &kHexPairs[2 * (value & 0xFF)], 2);
  out.append(text, sizeof text);
}

void AppendUnsigned(std::string& out, uint64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The escape of one character below 0x80 that may not stand for itself, or
// nothing.
bool AppendEscape(std::string& out, uint32_t c) {
  switch (c) {
    case '"': out += "\\\""; return true;
    case '\\': out += "\\\\"; return true;
    case '\b': out += "\\b"; return true;
    case '\f': out += "\\f"; return true;
    case '\n': out += "\\n"; return true;
    case '\r': out += "\\r"; return true;
    case '\t': out += "\\t"; return true;
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    out += "\\u00";
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 0xF];
    return true;
  }
  return false;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

void AppendString(std::string& out, std::string_view utf8) {
  // Keys and most values need no escape: appended whole.
  size_t plain = 0;
  while (plain + 8 <= utf8.size() && PlainWord(utf8.data() + plain)) plain += 8;
  while (plain < utf8.size() && kPlain[static_cast<unsigned char>(utf8[plain])]) ++plain;
  if (plain == utf8.size()) {
    const size_t at = out.size();
    out.append(utf8.size() + 2, '"');
    if (!utf8.empty()) std::memcpy(out.data() + at + 1, utf8.data(), utf8.size());
    return;
  }
  out += '"';
  // Past the first escape, runs that need none are still copied whole.
  size_t run = 0;
  for (size_t i = plain; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (kPlain[c]) continue;
    out.append(utf8, run, i - run);
    AppendEscape(out, c);
    run = i + 1;
  }
  out.append(utf8, run, utf8.size() - run);
  out += '"';
}

void AppendString(std::string& out, std::u16string_view utf16) {
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  out += '"';
  for (size_t i = 0; i < utf16.size(); ++i) {
    const uint32_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (utf16[++i] - 0xDC00));
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      // Not a character, so it has no UTF-8 form; the escape keeps the unit.
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kUpperHex[(unit >> shift) & 0xF];
    } else if (!AppendEscape(out, unit)) {
      AppendUtf8(out, unit);
    }
  }
  out += '"';
}

std::string Hex16(uint64_t value) {
  std::string text;
  AppendHex16(text, value);
  return text;
}

Line::Line(std::string_view report) {
  out_.reserve(256);
  out_ += '{';
  String("report", report);
}

void Line::Key(std::string_view key) {
  if (!first_) out_ += ',';
  first_ = false;
  if (key.empty()) return;
  AppendString(out_, key);
  out_ += ':';
}

Line& Line::String(std::string_view key, std::string_view utf8) {
  Key(key);
  AppendString(out_, utf8);
  return *this;
}

Line& Line::Text(std::string_view key, std::u16string_view utf16) {
  Key(key);
  AppendString(out_, utf16);
  return *this;
}

Line& Line::Number(std::string_view key, uint64_t value) {
  Key(key);
  AppendUnsigned(out_, value);
  return *this;
}

Line& Line::Signed(std::string_view key, int64_t value) {
  Key(key);
  char digits[24];
  out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  return *this;
}

Line& Line::Wide(std::string_view key, uint64_t value) {
  Number(key, value);
  // The key "<key>_hex": the key's literal with the suffix before its
  // closing quote (the suffix needs no escape).
  out_ += ',';
  AppendString(out_, key);
  out_.back() = '_';
  out_ += "hex\":\"";
  AppendHex16(out_, value);
  out_ += '"';
  return *this;
}

Line& Line::Bool(std::string_view key, bool value) {
  Key(key);
  out_ += value ? "true" : "false";
  return *this;
}

Line& Line::Reference(std::string_view key, FileReference reference) {
  Object(key).Number("record", reference.Number()).Number("sequence", reference.Sequence());
  Key("hex");
  out_ += '"';
  AppendHex16(out_, reference.value);
  out_ += '"';
  return End();
}

Line& Line::Time(std::string_view key, uint64_t filetime) {
  Object(key).Key("utc");
  out_ += '"';
  AppendIsoFileTime(out_, filetime);
  out_ += '"';
  return Wide("filetime", filetime).End();
}

Line& Line::FileTimes(uint64_t created, uint64_t modified, uint64_t record_changed, uint64_t accessed) {
  Time("created", created).Time("modified", modified).Time("record_changed", record_changed);
  return Time("accessed", accessed);
}

Line& Line::Bytes(std::string_view key, std::span<const uint8_t> bytes) {
  Key(key);
  out_ += '"';
  // Through a small buffer: resizing first would fill with zeros what the
  // digits overwrite.
  char digits[256];
  for (size_t at = 0; at < bytes.size();) {
    const size_t count = std::min(bytes.size() - at, sizeof digits / 2);
    for (size_t i = 0; i < count; ++i) std::memcpy(digits + 2 * i, &kHexPairs[2 * bytes[at + i]], 2);
    out_.append(digits, 2 * count);
    at += count;
  }
  out_ += '"';
  return *this;
}

Line& Line::Flags(std::string_view key, uint64_t value, std::span<const FlagName> names) {
  Object(key).Number("value", value).Array("names");
  for (const FlagName& flag : names) {
    if ((value & flag.mask) == flag.mask && flag.mask != 0) String("", flag.name);
  }
  return End().End();
}

Line& Line::Object(std::string_view key) { return Open(key, '{', '}'); }

Line& Line::Array(std::string_view key) { return Open(key, '[', ']'); }

Line& Line::Open(std::string_view key, char opener, char closer) {
  Key(key);
  out_ += opener;
  closers_ += closer;
  first_ = true;
  return *this;
}

Line& Line::End() {
  if (!closers_.empty()) {
    out_ += closers_.back();
    closers_.pop_back();
  }
  first_ = false;
  return *this;
}

const std::string& Line::Finish() {
  while (!closers_.empty()) End();
  out_ += "}\n";
  return out_;
}

void Emit(Console& console, Line& line) { console.out().WriteNarrow(line.Finish()); }

}  // namespace json

void AppendIsoFileTime(std::string& out, uint64_t filetime) {
  // FILETIME ticks: 100 ns since 1601-01-01 UTC. The civil date of a day
  // count, by 400-year eras of 146,097 days that begin on 1 March (so that
  // leap days end a year); 0000-03-01 is day 0, 1601-01-01 day 584,694.
  constexpr uint64_t kTicksPerSecond = 10'000'000;
  constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;
  const uint64_t ticks = filetime % kTicksPerDay;
  const int64_t days = static_cast<int64_t>(filetime / kTicksPerDay) + 584694;
  const int64_t era = days / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  const uint64_t seconds = ticks / kTicksPerSecond;
  // "%04lld-%02lld-%02lldT%02llu:%02llu:%02llu.%07lluZ", written digit by
  // digit: the year has four digits or more, the rest their fixed widths.
  char text[40];
  char* p = text;
  auto digits = [&p](uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
    p += width;
  };
  int year_width = 4;
  for (uint64_t rest = static_cast<uint64_t>(year) / 10000; rest != 0; rest /= 10) ++year_width;
  digits(static_cast<uint64_t>(year), year_width);
  *p++ = '-';
  digits(static_cast<uint64_t>(month), 2);
  *p++ = '-';
  digits(static_cast<uint64_t>(day), 2);
  *p++ = 'T';
  digits(seconds / 3600, 2);
  *p++ = ':';
  digits(seconds / 60 % 60, 2);
  *p++ = ':';
  digits(seconds % 60, 2);
  *p++ = '.';
  digits(ticks % kTicksPerSecond, 7);
  *p++ = 'Z';
  out.append(text, p);
}

std::string IsoFileTime(uint64_t filetime) {
  std::string text;
  AppendIsoFileTime(text, filetime);
  return text;
}

}  // namespace velmora
