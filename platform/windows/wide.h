// UTF-16 text as the Win32 wide-character API takes it.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide characters are UTF-16 code units");

inline std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

inline std::u16string FromWide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// A name the system can be asked about: not empty, no NUL inside.
inline bool IsSystemName(std::u16string_view name) {
  return !name.empty() && name.find(u'\0') == std::u16string_view::npos;
}

}  // namespace velmora::platform
