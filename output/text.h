// Small pieces of text that several reports print alike.
#pragma once

#include <string_view>

#include "base/text.h"

namespace velmora {

// Rules a report's title or column header off from its lines.
inline constexpr std::string_view kDashLine = "-----------------\n";

}  // namespace velmora
