// --usn: the change journal's records with the path each had when written;
// --usn-file: a collected $J in place of the volume's, or read alone.
#pragma once

#include <string>
#include <string_view>

#include "ntfs/types.h"
#include "reports/reports.h"

namespace velmora {

class MftScan;

// Every record of the volume's journal (usn_file empty) or of the
// collected $J named by usn_file, with paths from the volume's MFT; only
// the target's own records unless the target is the root. False when the
// journal cannot be opened (why on stderr).
bool ReportUsnJournal(ReportContext& context, FileReference target, std::u16string_view usn_file);

// A collected $J read alone: paths only from its own records. Exit code.
int ReportUsnFileAlone(Console& console, platform::Platform& platform, std::u16string_view usn_file, bool json);

// --timeline --usn: one body file line (or JSON object) per record, for
// the records whose path lies under subtree ("/dir", empty: all), appended
// to out and flushed through the console as it grows. False when the
// journal cannot be opened (why on stderr).
bool AppendUsnTimeline(ReportContext& context, const MftScan& scan, std::u16string_view usn_file,
                       std::string_view subtree, std::string& out);

}  // namespace velmora
