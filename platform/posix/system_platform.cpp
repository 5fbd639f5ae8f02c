#include "platform/posix/posix_platform.h"

namespace velmora::platform {

std::unique_ptr<Platform> CreateSystemPlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace velmora::platform
