#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "reports/reports.h"

namespace velmora {

Expected<FileRecord> ReadReportRecord(ReportContext& context, FileReference reference) {
  auto record = ReadFileRecord(context.volume, reference.Record());
  if (!record) context.console.Diagnostic("%s\n", record.error().Line());
  return record;
}

void ReportProblems(ReportContext& context, const FileAttributes& file) {
  for (const Error& problem : file.problems()) context.console.Diagnostic("%s\n", problem.Line());
}

}  // namespace velmora
