// --logfile: the log file decoded, from the volume's $LogFile or from a
// collected copy.
#pragma once

#include <string_view>

#include "reports/reports.h"
#include "reports/timeline.h"

namespace velmora {

// Where the log comes from and what the records are tied to.
struct LogFileSource {
  bool volume = false;          // a volume is open: its paths name the records
  std::u16string_view file;     // a collected $LogFile, read instead of the volume's
};

// The restart areas, every record and the events decoded from them, then
// one line on standard error counting records and one per reason a record
// was skipped. False when the log cannot be opened.
bool ReportLogFile(ReportContext& context, const LogFileSource& source);

// --timeline --logfile: the events as timeline lines (body file or JSON).
bool ReportLogFileTimeline(ReportContext& context, const LogFileSource& source, TimelineFormat format);

// --timeline --logfile on a volume: the names under subtree_root, then the
// log's events. As JSON the log is read once more before the names, for
// the $STANDARD_INFORMATION changes their indicators tell.
bool ReportTimelineWithLog(ReportContext& context, FileReference subtree_root, const LogFileSource& source,
                           TimelineFormat format);

}  // namespace velmora
