#include "cli/dispatch.h"

#include <array>
#include <functional>

#include "ntfs/file_record.h"
#include "ntfs/path.h"
#include "ntfs/volume.h"
#include "platform/format.h"
#include "reports/reports.h"
#include "reports/timeline.h"

namespace velmora {

namespace {

constexpr std::string_view kSectionLine = "=====================\n";

// One requested report: its flag, its title and how it runs.
struct ReportRow {
  uint32_t flag;
  std::function<void(Console&, const CommandOptions&)> title;
  std::function<bool(ReportContext&, const CommandOptions&, FileReference)> run;
};

const std::array<ReportRow, 9>& ReportTable() {
  static const std::array<ReportRow, 9> table = {{
      {action::kList,
       [](Console& c, const CommandOptions&) {
         c.Print("File Reference\t\tAccess time\t\tType\tFile name\n");
         c.Print("-----------------\n");
       },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         ListDirectory(r, t, o.target_path);
         return true;
       }},
      {action::kFileRecord, [](Console& c, const CommandOptions&) { c.Print("Show file record information:\n"); },
       [](ReportContext& r, const CommandOptions&, FileReference t) { return ReportFileRecord(r, t); }},
      {action::kDetail, [](Console& c, const CommandOptions&) { c.Print("Show attribute:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         return EnumerateAttributes(r, t, static_cast<AttrType>(o.detail_type), DetailVisitor);
       }},
      {action::kAttrDef, [](Console& c, const CommandOptions&) { c.Print("Show attributes definition:\n"); },
       [](ReportContext& r, const CommandOptions&, FileReference) { return ReportAttributeDefinitions(r); }},
      {action::kDump, [](Console& c, const CommandOptions&) { c.Print("Dump attribute:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         return EnumerateAttributes(r, t, static_cast<AttrType>(o.dump_type),
                                    [&o](ReportContext& rc, const FileRecord& b, const AttributeRecord& a) {
                                      return DumpVisitor(rc, b, a, o.dump_range);
                                    });
       }},
      {action::kSecurity, [](Console& c, const CommandOptions&) { c.Print("Security attribute:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference) {
         return ShowSecurityDescriptorById(r, o.security_id);
       }},
      {action::kFirstUnused,
       [](Console& c, const CommandOptions&) { c.Print("The first unused file record reference :\n"); },
       [](ReportContext& r, const CommandOptions&, FileReference) { return ReportFirstUnusedRecord(r); }},
      {action::kLogRecord,
       [](Console& c, const CommandOptions& o) { c.Print("Log file information (LSN : %016I64X):\n", {o.lsn}); },
       [](ReportContext& r, const CommandOptions& o, FileReference) { return ReportLogRecord(r, o.lsn); }},
      {action::kWrite,
       [](Console& c, const CommandOptions& o) {
         c.Print("Write attribute body to file (%s):\n", {o.output_path});
       },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         return WriteAttributeToFile(r, o.output_path, t, o.attribute_id);
       }},
  }};
  return table;
}

}  // namespace

int RunReports(const CommandOptions& options, platform::Platform& platform, Console& console) {
  VolumeContext volume;
  auto resolved = ResolvePath(options.target_path, volume, platform);
  // A container read that failed says why, once, after what it cut short.
  auto tell_read_failure = [&] {
    if (volume.IsOpen() && !volume.device()->ReadFailure().empty())
      console.Diagnostic("%s\n", {Utf8ToUtf16(volume.device()->ReadFailure())});
  };
  if (!resolved) {
    console.Print("Cannot find target object. (%s)\n", {options.target_path});
    console.Diagnostic("%s\n", {resolved.error().Line()});
    tell_read_failure();
    return 1;
  }
  FileReference target = *resolved;
  if (options.actions & action::kTimeline) {
    // A body file is read by other programs: nothing but its lines on stdout.
    ReportContext context{volume, platform, console};
    const bool json = options.actions & action::kJson;
    return ReportTimeline(context, target, json ? TimelineFormat::kJsonLines : TimelineFormat::kBodyFile) ? 0 : 1;
  }
  if (options.actions & action::kReference) {
    if (auto record = ReadFileRecord(volume, FileReference(options.reference)); !record) {
      console.Print("Cannot find target reference. (%016I64X)\n", {options.reference});
      console.Diagnostic("%s\n", {record.error().Line()});
      tell_read_failure();
      return 1;
    }
    target = FileReference(options.reference);
  } else {
    console.Print("FILE : %s \n", {options.target_path});
  }
  console.Print("FILE REF : %016I64X\n", {target.value});

  ReportContext context{volume, platform, console};
  for (const ReportRow& row : ReportTable()) {
    if (!(options.actions & row.flag)) continue;
    console.Print(kSectionLine);
    row.title(console, options);
    bool ok = row.run(context, options, target);
    if (row.flag == action::kList) continue;
    if (row.flag == action::kWrite) {
      console.Print(ok ? "Write file succeed.\n" : "Write file failed.\n");
    } else if (!ok) {
      console.Print("\tNONE\n");
    }
  }
  tell_read_failure();
  return 0;
}

int RunProgram(const std::vector<std::u16string>& arguments, platform::Platform& platform, Console& console) {
  platform.SetUpConsole();
  CommandOptions options = ScanArguments(arguments);
  const bool body_file = (options.actions & action::kTimeline) && (options.actions & action::kTargetPath);
  if (!body_file) console.Print("%s", {BannerText()});
  for (const auto& [letter, source] : options.drive_bindings) platform.BindDrive(letter, source);
  for (const std::u16string& warning : options.warnings) console.Diagnostic("%s\n", {warning});
  if (!(options.actions & action::kTargetPath)) {
    console.Print("%s", {UsageText()});
    std::u16string notes = platform.UsageNotes();
    if (!notes.empty()) console.Print("%s", {notes});
    return 1;
  }
  int code = RunReports(options, platform, console);
  console.out().Flush();
  return code;
}

}  // namespace velmora
