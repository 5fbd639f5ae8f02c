#include "cli/dispatch.h"

#include <array>
#include <functional>

#include "ntfs/file_record.h"
#include "ntfs/path.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "base/format.h"
#include "content/hash.h"
#include "output/text.h"
#include "reports/logfile.h"
#include "reports/content_reports.h"
#include "reports/reports.h"
#include "reports/timeline.h"
#include "reports/usn_journal.h"

namespace velmora {

namespace {

constexpr std::string_view kSectionLine = "=====================\n";

bool Extract(ReportContext& context, const CommandOptions& options, FileReference target) {
  const ExtractRequest request{options.extract_path, options.extract_stream, options.target_path,
                               (options.actions & action::kHash) != 0};
  return ExtractContent(context, target, request);
}

// One requested report: its flag, its name in JSON, its title and how it runs.
struct ReportRow {
  uint32_t flag;
  std::string_view name;
  std::function<void(Console&, const CommandOptions&)> title;
  std::function<bool(ReportContext&, const CommandOptions&, FileReference)> run;
};

const std::array<ReportRow, 11>& ReportTable() {
  static const std::array<ReportRow, 11> table = {{
      {action::kList, "listing",
       [](Console& c, const CommandOptions&) {
         c.Print("File Reference\t\tAccess time\t\tType\tFile name\n");
         c.Print(kDashLine);
       },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         ListDirectory(r, t, o.target_path);
         return true;
       }},
      {action::kFileRecord, "file_record",
       [](Console& c, const CommandOptions&) { c.Print("Show file record information:\n"); },
       [](ReportContext& r, const CommandOptions&, FileReference t) { return ReportFileRecord(r, t); }},
      {action::kDetail, "attribute_detail", [](Console& c, const CommandOptions&) { c.Print("Show attribute:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         return EnumerateAttributes(r, t, static_cast<AttrType>(o.detail_type), DetailVisitor);
       }},
      {action::kAttrDef, "attrdef",
       [](Console& c, const CommandOptions&) { c.Print("Show attributes definition:\n"); },
       [](ReportContext& r, const CommandOptions&, FileReference) { return ReportAttributeDefinitions(r); }},
      {action::kDump, "dump", [](Console& c, const CommandOptions&) { c.Print("Dump attribute:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         return EnumerateAttributes(r, t, static_cast<AttrType>(o.dump_type),
                                    [&o](ReportContext& rc, FileAttributes& f, const AttributeRecord& a) {
                                      return DumpVisitor(rc, f, a, o.dump_range);
                                    });
       }},
      {action::kSecurity, "security_descriptor",
       [](Console& c, const CommandOptions&) { c.Print("Security attribute:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference) {
         return ShowSecurityDescriptorById(r, o.security_id);
       }},
      {action::kFirstUnused, "first_unused",
       [](Console& c, const CommandOptions&) { c.Print("The first unused file record reference :\n"); },
       [](ReportContext& r, const CommandOptions&, FileReference) { return ReportFirstUnusedRecord(r); }},
      {action::kLogRecord, "log_record",
       [](Console& c, const CommandOptions& o) { c.Print("Log file information (LSN : %016I64X):\n", o.lsn); },
       [](ReportContext& r, const CommandOptions& o, FileReference) { return ReportLogRecord(r, o.lsn); }},
      {action::kWrite, "write",
       [](Console& c, const CommandOptions& o) {
         c.Print("Write attribute body to file (%s):\n", o.output_path);
       },
       [](ReportContext& r, const CommandOptions& o, FileReference t) {
         return WriteAttributeToFile(r, o.output_path, t, o.attribute_id);
       }},
      {action::kExtract, "extract",
       [](Console& c, const CommandOptions& o) { c.Print("Extract content to file (%s):\n", o.extract_path); },
       [](ReportContext& r, const CommandOptions& o, FileReference t) { return Extract(r, o, t); }},
      {action::kUsn, "usn_journal", [](Console& c, const CommandOptions&) { c.Print("Change journal:\n"); },
       [](ReportContext& r, const CommandOptions& o, FileReference t) { return ReportUsnJournal(r, t, o.usn_file); }},
  }};
  return table;
}

// Reports that read the volume's clusters whatever the file, and what they
// would read there: an extracted $MFT cannot answer them.
struct ClusterReport {
  uint32_t flag;
  std::string_view option;
  std::string_view reads;
};

constexpr ClusterReport kClusterReports[] = {
    {action::kSecurity, "-s", "security descriptors are kept in $Secure's $SDS stream"},
    {action::kAttrDef, "-c", "the $AttrDef table is kept in $AttrDef's $DATA"},
    {action::kFirstUnused, "-e", "which records are free is kept in the MFT's $BITMAP"},
    {action::kLogRecord, "-n", "log records are kept in $LogFile's $DATA"},
    {action::kLogFile, "--logfile", "log records are kept in $LogFile's $DATA"},
    {action::kExport, "--export", "the files' contents are kept"},
};

// Says why a report that needs clusters is not run on an extracted $MFT;
// false when it may run.
bool RefusedWithoutClusters(const VolumeContext& volume, Console& console, uint32_t flag) {
  if (!volume.MftOnly()) return false;
  for (const ClusterReport& report : kClusterReports) {
    if (report.flag != flag) continue;
    console.Diagnostic("%s: %s not run: %s in the volume's clusters, and the collection holds only the MFT\n",
                       volume.label(), report.option, report.reads);
    return true;
  }
  return false;
}

}  // namespace

int RunReports(const CommandOptions& scanned, platform::Platform& platform, Console& console) {
  VolumeContext volume;
  CommandOptions options = scanned;
  // -x takes a stream off the last component (path:stream); every other
  // report reads the path as it always has.
  Expected<StreamPath> split = StreamPath{options.target_path, {}};
  if (options.actions & action::kExtract) split = SplitStreamPath(options.target_path);
  if (split) options.extract_stream = split->stream;
  auto resolved = split ? ResolvePath(split->file, volume, platform) : Expected<FileReference>(split.error());
  // Told once at open, before whatever failure it explains: a read past
  // the source's end fails far from here.
  if (const auto& truncated = volume.truncation()) {
    console.Diagnostic("%s: the boot sector gives a volume of %I64u bytes, the source holds only %I64u: a truncated "
                       "acquisition, or one part of a split set\n",
                       volume.label(), truncated->volume_bytes, truncated->source_bytes);
  }
  // A container read that failed says why, once, after what it cut short.
  bool told_clusters = false;
  auto tell_read_failure = [&] {
    if (volume.IsOpen() && !volume.device()->ReadFailure().empty())
      console.Diagnostic("%s\n", Utf8ToUtf16(volume.device()->ReadFailure()));
    if (volume.ClusterReadRefused() && !told_clusters) {
      told_clusters = true;
      console.Diagnostic("%s: values stored outside the file records (non-resident) were not read: the collection "
                         "holds only the MFT, not the volume's clusters\n",
                         volume.label());
    }
  };
  const bool json = options.actions & action::kJson;
  const bool deleted = options.actions & action::kDeleted;
  // Standard output holds the content or the export's manifest, nothing else.
  const bool content_alone = !(options.actions & action::kTimeline) &&
                             ((options.actions & action::kExport) || ExtractsToStandardOutput(options));
  // The target cannot be had: the program's line or a JSON error object
  // (neither where stdout holds content or a manifest), the reason on
  // stderr, and what a failed container read adds.
  auto fail = [&](json::Line& object, const Error& error, const std::function<void()>& print_text) {
    if (json && !content_alone) {
      json::Emit(console, object.Text("reason", error.Line()).String("kind", KindName(error.kind)));
    } else if (!content_alone) {
      print_text();
    }
    console.Diagnostic("%s\n", error.Line());
    tell_read_failure();
    return 1;
  };
  if (!resolved) {
    json::Line object("error");
    object.String("error", "target_not_found").Text("path", options.target_path);
    return fail(object, resolved.error(),
                [&] { console.Print("Cannot find target object. (%s)\n", options.target_path); });
  }
  FileReference target = *resolved;
  if ((options.actions & action::kLogFile) && options.logfile_path.empty() &&
      RefusedWithoutClusters(volume, console, action::kLogFile))
    return 1;
  if (options.actions & action::kLogFile) {
    // The whole log, many lines and its own counts on stderr: run alone,
    // as the timeline is, and with it as its own lines.
    ReportContext context{volume, platform, console, json, deleted};
    const LogFileSource source{true, options.logfile_path};
    if (options.actions & action::kTimeline) {
      return ReportTimelineWithLog(context, target, source,
                                   json ? TimelineFormat::kJsonLines : TimelineFormat::kBodyFile)
                 ? 0
                 : 1;
    }
    return ReportLogFile(context, source) ? 0 : 1;
  }
  if (options.actions & action::kTimeline) {
    // A body file is read by other programs: nothing but its lines on stdout.
    ReportContext context{volume, platform, console, json, deleted};
    std::optional<std::u16string_view> journal;
    if (options.actions & action::kUsn) journal = options.usn_file;
    const bool written =
        ReportTimeline(context, target, json ? TimelineFormat::kJsonLines : TimelineFormat::kBodyFile, journal);
    tell_read_failure();
    return written ? 0 : 1;
  }
  if ((options.actions & action::kExport) && !(options.actions & action::kTimeline) &&
      RefusedWithoutClusters(volume, console, action::kExport))
    return kExitContentFailed;
  if (options.actions & action::kExport) {
    ReportContext context{volume, platform, console, json, deleted};
    const ExportRequest request{options.export_directory, options.target_path, &options.command_line};
    const ExportCounts counts = ExportTree(context, target, request);
    tell_read_failure();
    return counts.started && counts.failures == 0 ? 0 : kExitContentFailed;
  }
  if (ExtractsToStandardOutput(options)) {
    ReportContext context{volume, platform, console, json, deleted};
    const bool written = Extract(context, options, target);
    tell_read_failure();
    return written ? 0 : kExitContentFailed;
  }
  // What the target is called in print: the reference as typed, a full
  // one with its sequence number.
  FileReference shown = target;
  if (options.actions & action::kReference) {
    // A full reference names its record by the low 48 bits; the record is
    // read by number alone, and its sequence number compared after.
    const FileReference typed(options.reference);
    auto record = ReadFileRecord(volume, typed.Record());
    if (!record) {
      json::Line object("error");
      object.String("error", "reference_not_found").Reference("reference", typed);
      return fail(object, record.error(),
                  [&] { console.Print("Cannot find target reference. (%016I64X)\n", options.reference); });
    }
    if (record->IsStaleFor(typed)) {
      console.Diagnostic("reference %016I64X: sequence number %u, but record 0x%I64X has %u: the record is stale "
                         "or was reused, and may no longer hold the file the reference named\n",
                         typed.value, typed.Sequence(), typed.Number(), record->Sequence());
    }
    target = typed.WithoutSequence();
    shown = typed;
  } else if (!json) {
    console.Print("FILE : %s \n", options.target_path);
  }
  if (json) {
    json::Line line("target");
    line.Text("path", options.target_path).Bool("by_reference", options.actions & action::kReference);
    line.Reference("reference", shown);
    if (const auto& truncated = volume.truncation()) {
      line.Object("truncated").Wide("volume_bytes", truncated->volume_bytes);
      line.Wide("source_bytes", truncated->source_bytes).End();
    }
    json::Emit(console, line);
  } else {
    console.Print("FILE REF : %016I64X\n", shown.value);
  }

  ReportContext context{volume, platform, console, json, deleted};
  int code = 0;
  for (const ReportRow& row : ReportTable()) {
    if (!(options.actions & row.flag)) continue;
    if (!json) {
      console.Print(kSectionLine);
      row.title(console, options);
    }
    bool ok = !RefusedWithoutClusters(volume, console, row.flag) && row.run(context, options, target);
    if (row.flag == action::kList) continue;
    if (row.flag == action::kExtract && !ok) code = kExitContentFailed;
    if (json) {
      if (row.flag == action::kWrite) {
        json::Line line("write");
        line.Bool("written", ok).Text("output_path", options.output_path).Number("attribute_id", options.attribute_id);
        json::Emit(console, line);
      } else if (row.flag == action::kExtract) {
        json::Line line("extract");
        line.Bool("written", ok).Text("output_path", options.extract_path).Text("stream", options.extract_stream);
        json::Emit(console, line);
      } else if (!ok) {
        json::Line line(row.name);
        json::Emit(console, line.Bool("found", false));
      }
    } else if (row.flag == action::kWrite) {
      console.Print("%s", ok ? "Write file succeed.\n" : "Write file failed.\n");
    } else if (row.flag == action::kExtract) {
      console.Print("%s", ok ? "Extract file succeed.\n" : "Extract file failed.\n");
    } else if (!ok) {
      console.Print("\tNONE\n");
    }
  }
  tell_read_failure();
  return code;
}

int RunProgram(const std::vector<std::u16string>& arguments, platform::Platform& platform, Console& console) {
  platform.SetUpConsole();
  CommandOptions options = ScanArguments(arguments);
  auto warn = [&] {
    for (const std::u16string& warning : options.warnings) console.Diagnostic("%s\n", warning);
  };
  // What a script reads (help2man among them), alone on stdout: no banner,
  // plain text with --json too, and nothing else run.
  if (options.actions & (action::kHelp | action::kVersion)) {
    warn();
    console.Print("%s", options.actions & action::kHelp ? HelpText() : VersionText());
    return 0;
  }
  // A body file, content on stdout or a manifest: nothing else on stdout.
  const bool alone = (options.actions & (action::kTimeline | action::kExport) || ExtractsToStandardOutput(options)) &&
                     (options.actions & action::kTargetPath);
  const bool json = options.actions & action::kJson;
  const bool deleted = options.actions & action::kDeleted;
  // A collected log alone needs no volume.
  const bool log_alone = !options.logfile_path.empty() && !(options.actions & action::kTargetPath);
  if (!alone && !json && !(log_alone && (options.actions & action::kTimeline))) console.Print("%s", BannerText());
  for (const auto& [letter, source] : options.drive_bindings) platform.BindDrive(letter, source);
  warn();
  if (log_alone) {
    VolumeContext volume;
    ReportContext context{volume, platform, console, json, deleted};
    const LogFileSource source{false, options.logfile_path};
    bool ok = options.actions & action::kTimeline
                  ? ReportLogFileTimeline(context, source, json ? TimelineFormat::kJsonLines : TimelineFormat::kBodyFile)
                  : ReportLogFile(context, source);
    console.out().Flush();
    return ok ? 0 : 1;
  }
  if (!(options.actions & action::kTargetPath) && !options.usn_file.empty() && options.drive_bindings.empty()) {
    // A collected journal by itself: no volume to open.
    int code = ReportUsnFileAlone(console, platform, options.usn_file, json);
    console.out().Flush();
    return code;
  }
  if (!(options.actions & action::kTargetPath)) {
    // With --json standard output holds objects only.
    std::u16string usage(UsageText());
    usage += platform.UsageNotes();
    if (json) {
      console.Diagnostic("%s", usage);
    } else {
      console.Print("%s", usage);
    }
    // The usage text above is the first versions' own; the options added
    // since are in --help.
    console.Diagnostic("no target: -f PATH names one; velmora --help lists every option\n");
    return 1;
  }
  if ((options.actions & action::kHash) && (options.actions & (action::kExtract | action::kExport)) &&
      !content::HashingAvailable()) {
    console.Diagnostic("--hash: this build has no libcrypto (OpenSSL), which computes the hashes; nothing was run\n");
    return 1;
  }
  int code = RunReports(options, platform, console);
  console.out().Flush();
  return code;
}

}  // namespace velmora
