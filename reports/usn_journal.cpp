#include "reports/usn_journal.h"

#include <charconv>
#include <memory>
#include <optional>
#include <vector>

#include "base/format.h"
#include "history/usn_journal.h"
#include "history/usn_paths.h"
#include "ntfs/file_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "output/text.h"
#include "reports/timeline.h"

namespace velmora {

namespace {

// Lines are handed to the output in blocks of about this size.
constexpr size_t kFlushBytes = 1u << 20;

struct OpenedJournal {
  std::optional<UsnJournalInfo> info;  // from $Max; a collected $J has none
  std::unique_ptr<JournalStream> stream;
};

// The collected $J when one is named, else the volume's own.
Expected<OpenedJournal> OpenJournal(VolumeContext* volume, platform::Platform& platform,
                                    std::u16string_view usn_file) {
  if (!usn_file.empty()) {
    auto file = platform.OpenFile(Utf16ToUtf8(usn_file));
    if (!file) return file.error();
    return OpenedJournal{std::nullopt, std::make_unique<FileJournalStream>(std::move(*file))};
  }
  auto journal = OpenVolumeJournal(*volume);
  if (!journal) return journal.error();
  return OpenedJournal{journal->info, std::move(journal->stream)};
}

std::span<const json::FlagName> JsonFlags(std::span<const UsnFlagName> names, std::vector<json::FlagName>& held) {
  if (held.empty()) {
    for (const UsnFlagName& flag : names) held.push_back({flag.mask, flag.name});
  }
  return held;
}

std::string FileIdHex(const UsnFileId& id) { return json::Hex16(id.high) + json::Hex16(id.reference.value); }

// One record as one JSON object, the same in --usn and --timeline --usn.
void AppendJson(std::string& out, const UsnRecord& record, const UsnPathBook::Path& path) {
  static std::vector<json::FlagName> reasons, sources, attributes;
  json::Line line("usn");
  line.Wide("usn", static_cast<uint64_t>(record.usn))
      .Wide("offset", record.stream_offset)
      .Number("major_version", record.major)
      .Number("minor_version", record.minor);
  if (record.major != 4) line.Time("time", record.time);
  line.Flags("reasons", record.reason, JsonFlags(UsnReasonNames(), reasons))
      .Flags("source_info", record.source_info, JsonFlags(UsnSourceInfoNames(), sources));
  if (record.major != 4) {
    line.Flags("attributes", record.attributes, JsonFlags(UsnFileAttributeNames(), attributes))
        .Number("security_id", record.security_id);
  }
  line.Reference("file", record.file.reference).Reference("parent", record.parent.reference);
  if (record.major != 2) line.String("file_id", FileIdHex(record.file)).String("parent_id", FileIdHex(record.parent));
  if (record.major != 4) line.Text("name", record.Name());
  line.String("path", path.text).Bool("path_resolved", path.resolved);
  if (record.major == 4) {
    line.Number("remaining_extents", record.remaining_extents).Array("extents");
    for (const UsnExtent& extent : record.extents)
      line.Object("").Signed("offset", extent.offset).Signed("length", extent.length).End();
    line.End();
  }
  out += line.Finish();
}

// As the other reports print references: 16 upper-case hex digits (32 for
// an id NTFS never gives).
void AppendUpperHex(std::string& out, uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 60; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

void AppendRecordId(std::string& out, const UsnFileId& id) {
  if (!id.IsNtfsReference()) AppendUpperHex(out, id.high);
  AppendUpperHex(out, id.reference.value);
}

// One tab-separated line: USN, time, file and parent, reasons, source
// info, attributes, name, path.
void AppendText(std::string& out, const UsnRecord& record, const UsnPathBook::Path& path) {
  std::string line;
  AppendUpperHex(line, static_cast<uint64_t>(record.usn));
  line += '\t';
  line += record.major == 4 ? std::string("-") : IsoFileTime(record.time);
  line += '\t';
  AppendRecordId(line, record.file);
  line += '\t';
  AppendRecordId(line, record.parent);
  line += '\t';
  line += UsnFlagText(record.reason, UsnReasonNames(), '|');
  line += '\t';
  line += UsnFlagText(record.source_info, UsnSourceInfoNames(), '|');
  line += '\t';
  if (record.major == 4) {
    line += Utf16ToUtf8(Format("-\t(extents %u, remaining %u)", record.extents.size(),
                               record.remaining_extents));
  } else {
    line += UsnFlagText(record.attributes, UsnFileAttributeNames(), '|');
    line += '\t';
    line += Utf16ToUtf8(record.Name());
  }
  line += '\t';
  line += path.text;
  line += '\n';
  for (char& c : line) {
    if (c != '\t' && c != '\n' && static_cast<unsigned char>(c) < 0x20) c = '?';  // one record, one line
  }
  out += line;
}

void TellJournalHeader(ReportContext& context, const std::optional<UsnJournalInfo>& info, std::u16string_view usn_file) {
  if (context.json) {
    json::Line line("usn_journal");
    line.Text("source", usn_file.empty() ? std::u16string_view(u"$Extend\\$UsnJrnl:$J") : usn_file);
    if (info) {
      line.Wide("journal_id", info->journal_id)
          .Wide("lowest_valid_usn", static_cast<uint64_t>(info->lowest_valid_usn))
          .Wide("maximum_size", info->maximum_size)
          .Wide("allocation_delta", info->allocation_delta);
    }
    json::Emit(context.console, line);
    return;
  }
  if (info) {
    context.console.Print("Journal ID : %016I64X\tLowest valid USN : %016I64X\tMaximum size : %016I64X\n",
                          info->journal_id, static_cast<uint64_t>(info->lowest_valid_usn), info->maximum_size);
  } else {
    context.console.Print("Journal : %s ($Max not read)\n", usn_file);
  }
  context.console.Print("USN\t\t\tTime (UTC)\t\t\tFile Reference\t\tParent Reference\tReasons\tSource\tAttributes\tName\t"
                        "Path\n");
  context.console.Print(kDashLine);
}

void TellCounts(Console& console, const UsnWalkCounts& counts, uint64_t shown, const UsnPathBook& book) {
  uint64_t skipped = 0;
  for (uint64_t count : counts.skipped) skipped += count;
  console.Diagnostic("usn: %I64u records read, %I64u shown, %I64u skipped; paths from %I64u directories (%I64u states)\n",
                     counts.records, shown, skipped, book.directories(), book.states());
  for (size_t r = 0; r < static_cast<size_t>(UsnSkip::kCount); ++r) {
    if (uint64_t count = counts.skipped[r]) console.Diagnostic("usn: %I64u skipped: %s\n", count, UsnSkipName(UsnSkip(r)));
  }
}

// The records of one journal with their paths, printed; filter chooses them.
void PrintJournal(ReportContext& context, JournalStream& stream, const MftScan* mft,
                  const std::function<bool(const UsnRecord&)>& wanted) {
  std::optional<MftCurrentNames> current;
  if (mft) current.emplace(*mft);
  UsnPathBook book(current ? &*current : nullptr);
  std::string out;
  out.reserve(kFlushBytes + 4096);
  uint64_t shown = 0;
  const auto append = context.json ? AppendJson : AppendText;
  const UsnWalkCounts counts =
      WalkUsnJournalWithPaths(stream, book, [&](const UsnRecord& record, const UsnPathBook::Path& path) {
        if (!wanted(record)) return;
        ++shown;
        append(out, record, path);
        if (out.size() >= kFlushBytes) {
          context.console.out().WriteNarrow(out);
          out.clear();
        }
      });
  context.console.out().WriteNarrow(out);
  if (!context.json && shown == 0) context.console.Print("\tNONE\n");
  TellCounts(context.console, counts, shown, book);
}

}  // namespace

bool ReportUsnJournal(ReportContext& context, FileReference target, std::u16string_view usn_file) {
  auto journal = OpenJournal(&context.volume, context.platform, usn_file);
  if (!journal) {
    context.console.Diagnostic("usn: %s\n", journal.error().Line());
    return false;
  }
  std::optional<MftScan> scan = ScanMft(context.volume);
  if (!scan) context.console.Diagnostic("usn: the MFT cannot be read: paths come from the journal alone\n");
  // The root shows every record; another target only its own, the records
  // of its record number's earlier lives left out.
  std::optional<FileReference> only;
  if (target.Number() != kRootReference.value) {
    uint16_t sequence = 0;
    if (scan && target.Number() < scan->records().size()) sequence = scan->records()[target.Number()].sequence;
    only = FileReference::Of(target.Number(), sequence);
  }
  TellJournalHeader(context, journal->info, usn_file);
  PrintJournal(context, *journal->stream, scan ? &*scan : nullptr, [&only](const UsnRecord& record) {
    return !only || (record.file.IsNtfsReference() && record.file.reference == *only);
  });
  return true;
}

int ReportUsnFileAlone(Console& console, platform::Platform& platform, std::u16string_view usn_file, bool json) {
  auto journal = OpenJournal(nullptr, platform, usn_file);
  VolumeContext none;
  ReportContext context{none, platform, console, json};
  if (!journal) {
    if (json) {
      json::Line line("error");
      line.String("error", "usn_file_not_opened").Text("path", usn_file).Text("reason", journal.error().Line());
      json::Emit(console, line.String("kind", KindName(journal.error().kind)));
    }
    console.Diagnostic("usn: %s\n", journal.error().Line());
    return 1;
  }
  TellJournalHeader(context, std::nullopt, usn_file);
  PrintJournal(context, *journal->stream, nullptr, [](const UsnRecord&) { return true; });
  return 0;
}

bool AppendUsnTimeline(ReportContext& context, const MftScan& scan, std::u16string_view usn_file,
                       std::string_view subtree, std::string& out) {
  auto journal = OpenJournal(&context.volume, context.platform, usn_file);
  if (!journal) {
    context.console.Diagnostic("timeline: usn: %s\n", journal.error().Line());
    return false;
  }
  MftCurrentNames current(scan);
  UsnPathBook book(&current);
  uint64_t shown = 0;
  UsnFileId last_file;
  uint64_t last_time = 0;
  const UsnWalkCounts counts =
      WalkUsnJournalWithPaths(*journal->stream, book, [&](const UsnRecord& record, const UsnPathBook::Path& path) {
        // A range record has no time of its own: it follows the record of
        // the same file that it completes.
        uint64_t time = record.time;
        if (record.major == 4) {
          time = record.file == last_file ? last_time : 0;
        } else {
          last_file = record.file;
          last_time = record.time;
        }
        std::string slashed = path.text;
        for (char& c : slashed) {
          if (c == '\\') c = '/';
        }
        if (!subtree.empty() && !(slashed.starts_with(subtree) &&
                                  (slashed.size() == subtree.size() || slashed[subtree.size()] == '/')))
          return;
        ++shown;
        if (context.json) {
          AppendJson(out, record, path);
        } else {
          out += "0|";
          AppendEscapedName(out, slashed);
          out += " (usn: ";
          out += UsnFlagText(record.reason, UsnReasonNames(), ' ');
          out += ")|";
          char digits[24];
          out.append(digits, std::to_chars(digits, digits + sizeof digits, record.file.reference.Number()).ptr);
          out += record.IsDirectory() ? "|d/drwxrwxrwx|0|0|0" : "|r/rrwxrwxrwx|0|0|0";
          const std::string seconds = std::to_string(BodyFileSeconds(time));
          for (int i = 0; i < 4; ++i) {
            out += '|';
            out += seconds;
          }
          out += '\n';
        }
        if (out.size() >= kFlushBytes) {
          context.console.out().WriteNarrow(out);
          out.clear();
        }
      });
  TellCounts(context.console, counts, shown, book);
  return true;
}

}  // namespace velmora
