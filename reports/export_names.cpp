#include "reports/export_names.h"

#include <algorithm>
#include <array>

#include "base/format.h"

namespace velmora {

namespace {

constexpr char16_t kEscape = u'%';

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool RefusedEverywhere(char16_t unit) {
  return unit == kEscape || unit == u'/' || unit == u':' || unit < 0x20 || unit == 0x7F;
}

bool RefusedOnWindows(char16_t unit) { return std::u16string_view(u"\\*?\"<>|").find(unit) != std::u16string_view::npos; }

void AppendUnit(std::u16string& out, char16_t unit) { out += Format("%%%02X", static_cast<unsigned>(unit)); }

// CON, NUL, COM1 ... name a device in every folder, whatever follows a dot.
bool IsWindowsDeviceName(std::u16string_view name) {
  std::u16string stem(name.substr(0, name.find(u'.')));
  while (!stem.empty() && stem.back() == u' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; });
  static constexpr std::array<std::u16string_view, 6> kNames = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
  if (std::find(kNames.begin(), kNames.end(), stem) != kNames.end()) return true;
  return stem.size() == 4 && (stem.starts_with(u"COM") || stem.starts_with(u"LPT")) && stem[3] >= u'1' &&
         stem[3] <= u'9';
}

}  // namespace

std::u16string EscapeExportName(std::u16string_view name, const platform::HostNameRules& rules) {
  if (name == u".") return u"%2E";
  if (name == u"..") return u"%2E%2E";
  std::u16string out;
  out.reserve(name.size());
  const bool device = rules.windows && IsWindowsDeviceName(name);
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (IsHighSurrogate(unit) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      out += unit;
      out += name[++i];
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      out += Format("%%u%04X", static_cast<unsigned>(unit));
    } else if (RefusedEverywhere(unit) || (rules.windows && RefusedOnWindows(unit)) || (device && i == 0) ||
               (rules.windows && i + 1 == name.size() && (unit == u'.' || unit == u' '))) {
      AppendUnit(out, unit);
    } else {
      out += unit;
    }
  }
  return out;
}

std::u16string ExportStreamName(std::u16string_view file_name, std::u16string_view stream_name,
                                const platform::HostNameRules& rules) {
  std::u16string out = EscapeExportName(file_name, rules);
  out += rules.windows ? u"%3A" : u":";
  return out + EscapeExportName(stream_name, rules);
}

}  // namespace velmora
