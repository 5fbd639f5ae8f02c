#include "platform/windows/windows_platform.h"

namespace velmora::platform {

std::unique_ptr<Platform> CreateSystemPlatform() { return std::make_unique<WindowsPlatform>(); }

}  // namespace velmora::platform
