// --timeline: every name of every file record as a body file line, the
// format mactime -b reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "history/log_records.h"
#include "ntfs/types.h"
#include "output/json_lines.h"
#include "reports/reports.h"

namespace velmora {

enum class TimelineFormat {
  kBodyFile,   // a name line, a ($FILE_NAME) line and a line per named stream
  kJsonLines,  // one object a name: references, flags, all eight times to 100 ns
};

// The names of the subtree under subtree_root (the root: the whole volume,
// orphans included), read in one pass over the MFT. Lines go to standard
// output; one line on standard error counts the records read and skipped.
// False when the MFT cannot be read.
// With journal (--usn; the collected $J it names, or empty for the
// volume's), a line per change journal record follows the names.
// With logged (JSON), each name's indicators tell the $STANDARD_INFORMATION
// changes the log holds for its record.
bool ReportTimeline(ReportContext& context, FileReference subtree_root, TimelineFormat format,
                    std::optional<std::u16string_view> journal = std::nullopt,
                    const LoggedTimeChanges* logged = nullptr);

// A name field kept to one field of one line: "|" and every control
// character (below 0x20, and 0x7F) become \xHH, a backslash becomes \\.
void AppendEscapedName(std::string& line, std::string_view name);

// FILETIME to whole seconds since 1970, as the body format takes them;
// times before 1970 give 0.
int64_t BodyFileSeconds(uint64_t filetime);

}  // namespace velmora
