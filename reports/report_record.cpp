#include "ntfs/file_record.h"
#include "reports/reports.h"

namespace velmora {

Expected<FileRecord> ReadReportRecord(ReportContext& context, FileReference reference) {
  auto record = ReadFileRecord(context.volume, reference);
  if (!record) context.console.Diagnostic("%s\n", record.error().Line());
  return record;
}

}  // namespace velmora
