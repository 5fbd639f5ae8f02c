// Text read from the disk, as the reports and readers take it.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// A name read from the disk as a terminated buffer would print it: up to
// its first NUL.
inline std::u16string UpToNul(std::u16string_view text) { return std::u16string(text.substr(0, text.find(u'\0'))); }

}  // namespace velmora
