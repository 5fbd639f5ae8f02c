// Small pieces of text that several reports print alike.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// Rules a report's title or column header off from its lines.
inline constexpr std::string_view kDashLine = "-----------------\n";

// A name read from the disk as a terminated buffer would print it: up to
// its first NUL.
inline std::u16string UpToNul(std::u16string_view text) { return std::u16string(text.substr(0, text.find(u'\0'))); }

}  // namespace velmora
