// The names an export writes: a volume's file and stream names made into
// names the host can hold, by one reversible escaping.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velmora {

// '%' is the escape character. What a host cannot hold, or what would read
// as something else, becomes %HH (the UTF-16 unit in two upper-case hex
// digits) or, for an unpaired surrogate, %uHHHH; everything else is kept:
//   %                        %25 (the escape character itself)
//   / NUL, control characters 1-31 and 127
//                            %2F %00 %01 ... %7F
//   :                        %3A (it separates a file from its stream)
//   the names . and ..       %2E and %2E%2E
//   an unpaired surrogate    %uD800 ... %uDFFF (UTF-8 cannot hold it)
// and on Windows also
//   \ * ? " < > |            %5C %2A %3F %22 %3C %3E %7C
//   a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9,
//   any case, alone or before a dot): its first letter, %43ON.txt
//   a trailing dot or space  %2E %20
std::u16string EscapeExportName(std::u16string_view name, const platform::HostNameRules& rules);

// The host name of a file's named stream: the file's escaped name, a colon
// (on Windows, where a colon would make a stream of the host's own, %3A)
// and the stream's escaped name.
std::u16string ExportStreamName(std::u16string_view file_name, std::u16string_view stream_name,
                                const platform::HostNameRules& rules);

}  // namespace velmora
