#include "reports/logfile.h"

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/format.h"
#include "history/log_records.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/log_file.h"
#include "ntfs/mft_scan.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"

namespace velmora {

namespace {

// Lines are handed to the output in blocks of about this size.
constexpr size_t kFlushBytes = 1u << 20;

// The volume's $LogFile value as a byte source.
class LogValueSource : public ByteSource {
 public:
  explicit LogValueSource(AttributeReader reader) : reader_(std::move(reader)) {}
  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    auto count = reader_.ReadAttributeRange(offset, out);
    return count && *count == out.size();
  }
  std::optional<uint64_t> Size() const override { return reader_.ValueSize(); }

 private:
  AttributeReader reader_;
};

struct OpenedLog {
  std::unique_ptr<ByteSource> bytes;
  uint64_t size = 0;
  LogGeometry geometry;
};

// The log named by the source, saying on stderr why when it cannot be had.
std::optional<OpenedLog> OpenLog(ReportContext& context, const LogFileSource& source) {
  OpenedLog log;
  if (source.volume) {
    log.geometry.bytes_per_cluster = context.volume.BytesPerCluster();
    log.geometry.bytes_per_file_record = context.volume.BytesPerFileRecord();
  }
  if (!source.file.empty()) {
    auto file = context.platform.OpenFile(Utf16ToUtf8(source.file));
    if (!file) {
      context.console.Diagnostic("logfile: %s\n", file.error().Line());
      return std::nullopt;
    }
    log.bytes = std::move(*file);
    log.size = log.bytes->Size().value_or(0);
    return log;
  }
  auto record = ReadReportRecord(context, kLogFileReference);
  if (!record) return std::nullopt;
  FileAttributes attributes = FileAttributes::Open(context.volume, std::move(*record));
  const HeldAttribute data = attributes.First(AttrType::kData, nullptr);
  if (!data || data->ValueSize() == 0) {
    context.console.Diagnostic("logfile: $LogFile has no data\n");
    return std::nullopt;
  }
  log.size = data->ValueSize();
  log.bytes = std::make_unique<LogValueSource>(attributes.Reader(data));
  return log;
}

// Paths of the records the events name, from one pass over the MFT.
class RecordPaths {
 public:
  explicit RecordPaths(std::optional<MftScan> scan) : scan_(std::move(scan)) {}
  std::optional<std::string> Of(uint64_t record) const {
    if (!scan_ || record >= scan_->records().size()) return std::nullopt;
    // The root's own name is ".", which no path spells.
    if (record == kRootReference.Number()) return "/";
    const ScannedRecord& r = scan_->records()[record];
    if (r.primary_name == ScannedRecord::kNoName) return std::nullopt;
    return scan_->PathOf(scan_->names()[r.primary_name], kRootReference).text;
  }
  std::optional<std::string> OfName(FileReference parent, std::u16string_view name) const {
    auto directory = Of(parent.Number());
    if (!directory) return std::nullopt;
    if (directory->empty() || directory->back() != '/') *directory += '/';
    return *directory + Utf16ToUtf8(name);
  }

 private:
  std::optional<MftScan> scan_;
};

RecordPaths PathsFor(ReportContext& context, const LogFileSource& source) {
  if (!source.volume) return RecordPaths(std::nullopt);
  return RecordPaths(ScanMft(context.volume));
}

void Appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string& out, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, std::span<const uint8_t> bytes) {
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  char* p = out.data() + at;
  for (uint8_t b : bytes) {
    *p++ = kHexDigits[b >> 4];
    *p++ = kHexDigits[b & 0xF];
  }
}

void HexValue(std::string& out, uint64_t value, int digits) {
  char text[16];
  for (int i = digits; i-- > 0; value >>= 4) text[i] = kHexDigits[value & 0xF];
  out.append(text, digits);
}

// "\t<label> = <value>\n", in the -n report's field form.
void Field(std::string& out, std::string_view label, uint64_t value, int digits) {
  out += '\t';
  out += label;
  HexValue(out, value, digits);
  out += '\n';
}

std::string OperationText(uint16_t code) {
  std::string text(logfile::LogOperationName(code));
  text += " (";
  text += kHexDigits[code >> 4 & 0xF];
  text += kHexDigits[code & 0xF];
  text += ')';
  return text;
}

void TextRestart(std::string& out, const LogRestart& restart, int copy, bool current) {
  Appendf(out, "Restart page %d (offset 0x%llX)%s\n", copy, static_cast<unsigned long long>(restart.offset),
          current ? ": current" : "");
  if (restart.problem) {
    out += "\tNot usable: " + Utf16ToUtf8(restart.problem->message) + "\n";
    return;
  }
  Appendf(out, "\tChkDskLsn         = %016llX\n\tSystemPageSize    = %08X\n\tLogPageSize       = %08X\n"
          "\tVersion           = %d.%d\n",
          static_cast<unsigned long long>(restart.chkdsk_lsn), restart.system_page_size, restart.log_page_size,
          restart.major_version, restart.minor_version);
  Appendf(out, "\tCurrentLsn        = %016llX\n\tLogClients        = %04X\n\tClientFreeList    = %04X\n"
          "\tClientInUseList   = %04X\n\tFlags             = %04X\n\tSeqNumberBits     = %08X\n",
          static_cast<unsigned long long>(restart.current_lsn), restart.log_clients, restart.client_free_list,
          restart.client_in_use_list, restart.flags, restart.sequence_bits);
  Appendf(out, "\tFileSize          = %016llX\n\tRecordHeaderLen   = %04X\n\tPageDataOffset    = %04X\n"
          "\tOpenCount         = %08X\n",
          static_cast<unsigned long long>(restart.file_size), restart.record_header_length,
          restart.page_data_offset, restart.open_count);
  for (size_t i = 0; i < restart.clients.size(); ++i) {
    const LogClient& client = restart.clients[i];
    Appendf(out, "\tClient %u \"%s\": OldestLsn %016llX ClientRestartLsn %016llX Previous %04X Next %04X "
            "Sequence %04X\n",
            static_cast<unsigned>(i), Utf16ToUtf8(client.name).c_str(), static_cast<unsigned long long>(client.oldest_lsn),
            static_cast<unsigned long long>(client.restart_lsn), client.previous, client.next, client.sequence);
  }
}

void JsonRestart(std::string& out, const LogRestart& restart, int copy, bool current) {
  json::Line line("logfile_restart");
  line.Number("copy", copy).Wide("offset", restart.offset).Bool("current", current).Bool("usable", !restart.problem);
  if (restart.problem) {
    line.Text("problem", restart.problem->message);
    out += line.Finish();
    return;
  }
  line.Wide("chkdsk_lsn", restart.chkdsk_lsn)
      .Number("system_page_size", restart.system_page_size)
      .Number("log_page_size", restart.log_page_size)
      .Signed("major_version", restart.major_version)
      .Signed("minor_version", restart.minor_version)
      .Wide("current_lsn", restart.current_lsn)
      .Number("log_clients", restart.log_clients)
      .Number("client_free_list", restart.client_free_list)
      .Number("client_in_use_list", restart.client_in_use_list)
      .Number("flags", restart.flags)
      .Number("sequence_number_bits", restart.sequence_bits)
      .Wide("file_size", restart.file_size)
      .Number("record_header_length", restart.record_header_length)
      .Number("page_data_offset", restart.page_data_offset)
      .Number("open_count", restart.open_count);
  line.Array("clients");
  for (const LogClient& client : restart.clients) {
    line.Object("").Text("name", client.name).Wide("oldest_lsn", client.oldest_lsn);
    line.Wide("client_restart_lsn", client.restart_lsn).Number("previous", client.previous);
    line.Number("next", client.next).Number("sequence", client.sequence).End();
  }
  line.End();
  out += line.Finish();
}

void TextRecord(std::string& out, const LogRecordView& r) {
  out += "Log record ";
  HexValue(out, r.lsn, 16);
  out += ":\n";
  Field(out, "PreviousLsn       = ", r.previous_lsn, 16);
  Field(out, "UndoNextLsn       = ", r.undo_next_lsn, 16);
  Field(out, "Transaction       = ", r.transaction, 8);
  Field(out, "RecordType        = ", r.record_type, 8);
  Field(out, "ClientDataLength  = ", r.client_data_length, 8);
  Field(out, "Flags             = ", r.flags, 4);
  if (!r.has_operation) return;
  out += "\tRedo              = " + OperationText(r.redo_operation) + "\n";
  out += "\tUndo              = " + OperationText(r.undo_operation) + "\n";
  Field(out, "TargetAttribute   = ", r.target_attribute, 4);
  Field(out, "MftClusterIndex   = ", r.cluster_block_offset, 4);
  Field(out, "TargetVcn         = ", r.target_vcn.value, 16);
  for (size_t i = 0; i < r.lcns_to_follow; ++i) Field(out, "Lcn               = ", r.LcnAt(i).value, 16);
  Field(out, "RecordOffset      = ", r.record_offset, 4);
  Field(out, "AttributeOffset   = ", r.attribute_offset, 4);
  if (r.mft_record) Appendf(out, "\tMftRecord         = %llX\n", static_cast<unsigned long long>(*r.mft_record));
  out += "\tRedoData          = ";
  AppendHex(out, r.redo);
  out += "\n\tUndoData          = ";
  AppendHex(out, r.undo);
  out += '\n';
}

void JsonRecord(std::string& out, const LogRecordView& r) {
  json::Line line("logfile_record");
  line.Wide("lsn", r.lsn)
      .Wide("previous_lsn", r.previous_lsn)
      .Wide("undo_next_lsn", r.undo_next_lsn)
      .Number("transaction", r.transaction)
      .Number("record_type", r.record_type)
      .Number("client_data_length", r.client_data_length)
      .Number("client_index", r.client_index)
      .Number("flags", r.flags)
      .Wide("file_offset", r.file_offset)
      .Number("pages", r.pages);
  if (r.has_operation) {
    line.Object("redo").Number("code", r.redo_operation).String("name", logfile::LogOperationName(r.redo_operation)).End();
    line.Object("undo").Number("code", r.undo_operation).String("name", logfile::LogOperationName(r.undo_operation)).End();
    line.Number("target_attribute", r.target_attribute)
        .Number("mft_cluster_index", r.cluster_block_offset)
        .Wide("target_vcn", r.target_vcn.value);
    line.Array("lcns");
    for (size_t i = 0; i < r.lcns_to_follow; ++i) line.Number("", r.LcnAt(i).value);
    line.End();
    line.Number("record_offset", r.record_offset).Number("attribute_offset", r.attribute_offset);
    if (r.mft_record) line.Number("mft_record", *r.mft_record);
    line.Bytes("redo_data", r.redo).Bytes("undo_data", r.undo);
  }
  out += line.Finish();
}

std::optional<std::string> EventPath(const RecordPaths& paths, const LogEvent& event) {
  if (event.kind == LogEventKind::kNameAdded || event.kind == LogEventKind::kNameRemoved)
    return paths.OfName(event.parent, event.name);
  return event.record ? paths.Of(*event.record) : std::nullopt;
}

void TextEvent(std::string& out, const LogEvent& event, const RecordPaths& paths) {
  Appendf(out, "\tEvent: %s (LSN %016llX, transaction %08X)", std::string(LogEventName(event.kind)).c_str(),
          static_cast<unsigned long long>(event.lsn), event.transaction);
  if (event.record) Appendf(out, " record %llX", static_cast<unsigned long long>(*event.record));
  if (auto path = EventPath(paths, event)) out += " " + *path;
  switch (event.kind) {
    case LogEventKind::kStandardInformationChanged:
      for (size_t f = 0; f < event.times.size(); ++f) {
        if (!event.times[f].present) continue;
        out += ", ";
        out += TimeFieldName(static_cast<TimeField>(f));
        out += ' ';
        out += IsoFileTime(event.times[f].before);
        out += " -> ";
        out += IsoFileTime(event.times[f].after);
      }
      break;
    case LogEventKind::kNameAdded:
    case LogEventKind::kNameRemoved:
      Appendf(out, " \"%s\" file %016llX parent %016llX", Utf16ToUtf8(event.name).c_str(),
              static_cast<unsigned long long>(event.file.value), static_cast<unsigned long long>(event.parent.value));
      for (size_t f = 0; f < event.name_times.size(); ++f) {
        out += ", ";
        out += TimeFieldName(static_cast<TimeField>(f));
        out += ' ';
        out += IsoFileTime(event.name_times[f]);
      }
      break;
    default:
      break;
  }
  out += '\n';
}

void JsonEvent(std::string& out, const LogEvent& event, const RecordPaths& paths) {
  json::Line line("logfile_event");
  line.String("event", LogEventName(event.kind)).Wide("lsn", event.lsn).Number("transaction", event.transaction);
  if (event.record) line.Number("record", *event.record);
  if (auto path = EventPath(paths, event)) line.String("path", *path);
  if (event.kind == LogEventKind::kStandardInformationChanged) {
    line.Object("times");
    for (size_t f = 0; f < event.times.size(); ++f) {
      if (!event.times[f].present) continue;
      line.Object(TimeFieldName(static_cast<TimeField>(f)));
      line.Time("before", event.times[f].before).Time("after", event.times[f].after).End();
    }
    line.End();
  } else if (event.kind == LogEventKind::kNameAdded || event.kind == LogEventKind::kNameRemoved) {
    line.Reference("file", event.file).Reference("parent", event.parent).Text("name", event.name);
    line.Number("name_space", event.name_space);
    line.Object("file_name").FileTimes(event.name_times[0], event.name_times[1], event.name_times[2],
                                       event.name_times[3]);
    line.End();
  }
  out += line.Finish();
}

void TellCounts(ReportContext& context, const LogRecords& records, uint64_t events) {
  uint64_t skipped = 0;
  for (size_t r = 0; r < static_cast<size_t>(LogSkip::kCount); ++r) skipped += records.Skipped(LogSkip(r));
  context.console.Diagnostic("logfile: %I64u record pages, %I64u torn, %I64u records decoded, %I64u events, "
                             "%I64u records skipped\n",
                             records.pages(), records.torn_pages(), records.decoded(), events, skipped);
  for (size_t r = 0; r < static_cast<size_t>(LogSkip::kCount); ++r) {
    if (uint64_t count = records.Skipped(LogSkip(r)))
      context.console.Diagnostic("logfile: %I64u skipped: %s\n", count, LogSkipName(LogSkip(r)));
  }
}

void Flush(ReportContext& context, std::string& out, bool force) {
  if (!force && out.size() < kFlushBytes) return;
  context.console.out().WriteNarrow(out);
  out.clear();
}

}  // namespace

namespace {

// Writes what one record gives: the record itself and its events, or the
// events alone.
using RecordWriter = std::function<void(std::string& out, const LogRecordView& record,
                                        std::span<const LogEvent> events, const RecordPaths& paths)>;

// Opens the log, writes its restart pages (head) and every record through
// write, then tells the counts on stderr.
bool DecodeLog(ReportContext& context, const LogFileSource& source,
               const std::function<void(std::string&, const LogRecords&)>& head, const RecordWriter& write) {
  auto log = OpenLog(context, source);
  if (!log) return false;
  auto records = LogRecords::Open(*log->bytes, log->size, log->geometry);
  if (!records) {
    context.console.Diagnostic("logfile: %s\n", records.error().Line());
    return false;
  }
  const RecordPaths paths = PathsFor(context, source);
  std::string out;
  out.reserve(kFlushBytes + 4096);
  head(out, *records);
  uint64_t event_count = 0;
  std::vector<LogEvent> events;
  records->Walk([&](const LogRecordView& record) {
    events.clear();
    LogEventsOf(record, events);
    event_count += events.size();
    write(out, record, events, paths);
    Flush(context, out, false);
  });
  Flush(context, out, true);
  TellCounts(context, *records, event_count);
  return true;
}

}  // namespace

bool ReportLogFile(ReportContext& context, const LogFileSource& source) {
  const bool json = context.json;
  return DecodeLog(
      context, source,
      [json](std::string& out, const LogRecords& records) {
        for (int copy = 0; copy < 2; ++copy) {
          const bool current = copy == records.current() && !records.restarts()[copy].problem;
          if (json) {
            JsonRestart(out, records.restarts()[copy], copy, current);
          } else {
            TextRestart(out, records.restarts()[copy], copy, current);
          }
        }
        // Nothing to walk: the text says so as the other reports do.
        if (!json && records.pages() == 0) out += "\tNONE\n";
      },
      [json](std::string& out, const LogRecordView& record, std::span<const LogEvent> events,
             const RecordPaths& paths) {
        if (json) {
          JsonRecord(out, record);
          for (const LogEvent& event : events) JsonEvent(out, event, paths);
        } else {
          TextRecord(out, record);
          for (const LogEvent& event : events) TextEvent(out, event, paths);
        }
      });
}

bool ReportLogFileTimeline(ReportContext& context, const LogFileSource& source, TimelineFormat format) {
  return DecodeLog(
      context, source, [](std::string&, const LogRecords&) {},
      [format](std::string& out, const LogRecordView&, std::span<const LogEvent> events, const RecordPaths& paths) {
        for (const LogEvent& event : events) {
          if (format == TimelineFormat::kJsonLines) {
            JsonEvent(out, event, paths);
            continue;
          }
          // A record allocated or freed carries no time of its own to place it.
          if (event.kind == LogEventKind::kRecordAllocated || event.kind == LogEventKind::kRecordDeallocated) continue;
          // A body file line whose name carries the marker "($LogFile ...)":
          // what happened, in which transaction and LSN; the times are those
          // the operation wrote.
          std::array<uint64_t, 4> times{};  // created, modified, record changed, accessed
          std::string name;
          if (auto path = EventPath(paths, event)) {
            name = *path;
          } else if (event.kind == LogEventKind::kNameAdded || event.kind == LogEventKind::kNameRemoved) {
            name = Utf16ToUtf8(event.name);
          } else if (event.record) {
            Appendf(name, "record %llX", static_cast<unsigned long long>(*event.record));
          }
          std::string marker;
          Appendf(marker, " ($LogFile %s LSN %016llX transaction %08X", std::string(LogEventName(event.kind)).c_str(),
                  static_cast<unsigned long long>(event.lsn), event.transaction);
          if (event.kind == LogEventKind::kStandardInformationChanged) {
            for (size_t f = 0; f < 4; ++f) {
              if (!event.times[f].present) continue;
              times[f] = event.times[f].after;
              marker += " ";
              marker += TimeFieldName(static_cast<TimeField>(f));
              marker += ' ';
              marker += IsoFileTime(event.times[f].before);
              marker += " -> ";
              marker += IsoFileTime(event.times[f].after);
            }
          } else if (event.kind == LogEventKind::kNameAdded || event.kind == LogEventKind::kNameRemoved) {
            times = event.name_times;
          }
          marker += ")";
          out += "0|";
          AppendEscapedName(out, name + marker);
          out += '|';
          if (event.kind == LogEventKind::kNameAdded || event.kind == LogEventKind::kNameRemoved) {
            Appendf(out, "%llu", static_cast<unsigned long long>(event.file.Number()));
          } else if (event.record) {
            Appendf(out, "%llu", static_cast<unsigned long long>(*event.record));
          } else {
            out += '0';
          }
          out += "|-/-rwxrwxrwx|0|0|0";
          for (size_t f : {3u, 1u, 2u, 0u}) Appendf(out, "|%lld", static_cast<long long>(BodyFileSeconds(times[f])));
          out += '\n';
        }
      });
}

bool ReportTimelineWithLog(ReportContext& context, FileReference subtree_root, const LogFileSource& source,
                           TimelineFormat format) {
  if (format != TimelineFormat::kJsonLines) {
    const bool names = ReportTimeline(context, subtree_root, format);
    return ReportLogFileTimeline(context, source, format) && names;
  }
  // A log that cannot be read says why once; the names come all the same.
  auto log = OpenLog(context, source);
  if (!log) {
    ReportTimeline(context, subtree_root, format);
    return false;
  }
  auto records = LogRecords::Open(*log->bytes, log->size, log->geometry);
  if (!records) {
    ReportTimeline(context, subtree_root, format);
    context.console.Diagnostic("logfile: %s\n", records.error().Line());
    return false;
  }
  LoggedTimeChanges logged;
  std::vector<LogEvent> events;
  records->Walk([&](const LogRecordView& record) {
    events.clear();
    LogEventsOf(record, events);
    for (const LogEvent& event : events) logged.Add(event);
  });
  logged.Finish();
  const bool names = ReportTimeline(context, subtree_root, format, std::nullopt, &logged);
  return ReportLogFileTimeline(context, source, format) && names;
}

}  // namespace velmora
