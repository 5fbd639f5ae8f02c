// Target resolution and the fixed order in which the requested reports run.
#pragma once

#include "cli/options.h"
#include "output/console.h"
#include "platform/platform.h"

namespace velmora {

// Exit statuses: 0 the reports ran, 1 no target given or it cannot be
// found (both kept from the first versions), and this one when the report
// itself could not be written to standard output or standard error.
inline constexpr int kExitOutputFailed = 2;
// -x could not write the content in full, or --export could not write
// every file (each one said on standard error).
inline constexpr int kExitContentFailed = 3;

// Resolves the target and runs every requested report once, in table
// order. Returns the exit code: 0 when the reports ran, 1 when the target
// cannot be found.
int RunReports(const CommandOptions& options, platform::Platform& platform, Console& console);

// The whole program over a given platform and console: banner, scan, usage
// or reports. arguments[0] is the program's own name.
int RunProgram(const std::vector<std::u16string>& arguments, platform::Platform& platform, Console& console);

}  // namespace velmora
