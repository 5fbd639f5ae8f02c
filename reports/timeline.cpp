#include "reports/timeline.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <iterator>
#include <optional>
#include <cstdio>
#include <span>

#include "base/lanes.h"
#include "history/free_records.h"
#include "history/index_slack.h"
#include "history/record_slack.h"
#include "ntfs/file_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs/standard_information.h"
#include "ntfs/types.h"
#include "ntfs/volume.h"
#include "reports/usn_journal.h"

namespace velmora {

namespace {

// FILETIME ticks: 100 ns since 1601-01-01 UTC.
constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksFrom1601To1970 = 116'444'736'000'000'000;
// Lines are handed to the output in blocks of about this size.
constexpr size_t kFlushBytes = 1u << 20;

// The lines of a timeline, built in place: each line reserves room for
// its longest form and writes through a pointer. Appending a character at
// a time to a string cost a quarter of the whole pass.
class LineBuffer {
 public:
  char* Reserve(size_t bytes) {
    if (used_ + bytes > bytes_.size()) bytes_.resize(std::max(bytes_.size() * 2, used_ + bytes));
    return bytes_.data() + used_;
  }
  void Commit(const char* end) { used_ = static_cast<size_t>(end - bytes_.data()); }
  void Append(std::string_view text) {
    if (text.empty()) return;  // an empty view may hold no pointer at all
    char* at = Reserve(text.size());
    std::memcpy(at, text.data(), text.size());
    Commit(at + text.size());
  }
  std::string_view view() const { return std::string_view(bytes_.data(), used_); }
  size_t size() const { return used_; }
  void clear() { used_ = 0; }

 private:
  std::string bytes_;
  size_t used_ = 0;
};

constexpr size_t kMaxNumberChars = 20;

char* PutNumber(char* at, uint64_t value) { return std::to_chars(at, at + kMaxNumberChars, value).ptr; }
char* PutText(char* at, std::string_view text) {
  if (text.empty()) return at;  // an empty view may hold no pointer at all
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}
// The longest an escaped name becomes: \xHH for each byte.
constexpr size_t kEscapedBytesPerByte = 4;
char* PutEscaped(char* at, std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto plain = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte != 0x7F && byte != '|' && byte != '\\';
  };
  if (std::all_of(name.begin(), name.end(), plain)) return PutText(at, name);  // nearly every name
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      *at++ = '\\';
      *at++ = '\\';
    } else if (byte == '|' || byte < 0x20 || byte == 0x7F) {
      *at++ = '\\';
      *at++ = 'x';
      *at++ = kHex[byte >> 4];
      *at++ = kHex[byte & 0xF];
    } else {
      *at++ = c;
    }
  }
  return at;
}

// Sleuth Kit's inode column: record-type-id, the attribute the line
// describes; the record alone when there is none.
struct Inode {
  uint64_t record = 0;
  std::optional<AttrType> type;
  uint16_t id = 0;
};
constexpr size_t kMaxInodeChars = 3 * kMaxNumberChars + 2;
char* PutInode(char* at, const Inode& inode) {
  at = PutNumber(at, inode.record);
  if (!inode.type) return at;
  *at++ = '-';
  at = PutNumber(at, ToU32(*inode.type));
  *at++ = '-';
  return PutNumber(at, inode.id);
}

// One body file line: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime.
// No hash is computed and NTFS keeps no POSIX owner: those columns are 0.
struct BodyLine {
  std::string_view path;
  std::string_view stream;  // a named stream's name, written path:stream
  std::string_view suffix;  // " ($FILE_NAME)", " (slack)"...
  bool unallocated = false;  // the name is no longer in use: Sleuth Kit's "-" name type, " (deleted)" when a record
  bool deleted_record = false;
  Inode inode;
  bool directory = false;
  uint32_t attributes = 0;
  uint64_t size = 0;
  const FileTimes* times = nullptr;
};

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr size_t kFixedLineChars = 2 + 1 + kMaxInodeChars + 1 + 12 + 5 + 5 * (kMaxNumberChars + 1) + 1;

void WriteBodyLine(LineBuffer& out, const BodyLine& line) {
  char* at = out.Reserve((line.path.size() + line.stream.size() + 1) * kEscapedBytesPerByte + line.suffix.size() +
                         kDeletedSuffix.size() + kFixedLineChars);
  *at++ = '0';
  *at++ = '|';
  at = PutEscaped(at, line.path);
  if (!line.stream.empty()) {
    *at++ = ':';
    at = PutEscaped(at, line.stream);
  }
  at = PutText(at, line.suffix);
  if (line.deleted_record) at = PutText(at, kDeletedSuffix);
  *at++ = '|';
  at = PutInode(at, line.inode);
  *at++ = '|';
  // Name type / metadata type and permission bits, as Sleuth Kit spells them.
  *at++ = line.unallocated ? '-' : (line.directory ? 'd' : 'r');
  *at++ = '/';
  *at++ = line.directory ? 'd' : 'r';
  namespace si = standard_information;
  at = PutText(at, (line.attributes & (si::kReadOnly | si::kSystem)) ? "r-xr-xr-x" : "rwxrwxrwx");
  at = PutText(at, "|0|0|");
  at = PutNumber(at, line.size);
  const FileTimes& t = *line.times;
  for (uint64_t time : {t.accessed, t.modified, t.record_changed, t.created}) {
    *at++ = '|';
    at = PutNumber(at, static_cast<uint64_t>(BodyFileSeconds(time)));
  }
  *at++ = '\n';
  out.Commit(at);
}

}  // namespace

int64_t BodyFileSeconds(uint64_t filetime) {
  if (filetime < kTicksFrom1601To1970) return 0;
  return static_cast<int64_t>((filetime - kTicksFrom1601To1970) / kTicksPerSecond);
}

void AppendEscapedName(std::string& line, std::string_view name) {
  const size_t start = line.size();
  line.resize(start + name.size() * kEscapedBytesPerByte);
  line.resize(static_cast<size_t>(PutEscaped(line.data() + start, name) - line.data()));
}

namespace {

// How many of each deleted record's data clusters $Bitmap now gives to
// something else, counted before the lines are written (the bitmap is read
// through one window, so not from several threads). Nothing when the
// allocation could not be read or the runs in the base record do not reach
// the value's end.
class DeletedClusters {
 public:
  DeletedClusters(const MftScan& scan, history::ClusterBitmap* bitmap) : bitmap_(bitmap) {
    if (!bitmap) return;
    counted_.reserve(scan.free_data().size());
    for (const FreeRecordData& data : scan.free_data()) {
      counted_.push_back(data.complete ? std::optional(history::CountReallocated(*bitmap, scan.RunsOf(data)))
                                       : std::nullopt);
    }
  }
  std::optional<history::ReallocatedClusters> Of(const MftScan& scan, uint64_t record) const {
    if (!bitmap_) return std::nullopt;
    const FreeRecordData* data = scan.FreeDataOf(record);
    if (!data) return history::ReallocatedClusters{};
    return counted_[static_cast<size_t>(data - scan.free_data().data())];
  }

 private:
  history::ClusterBitmap* bitmap_;
  std::vector<std::optional<history::ReallocatedClusters>> counted_;  // by free_data() index
};

// The body file lines of one name: the name, its $FILE_NAME, its streams.
uint64_t WriteBodyLines(LineBuffer& out, const MftScan& scan, const ScannedName& name, const MftScan::Path& path,
                        std::span<const ScannedStream> streams, const DeletedClusters&, const LoggedTimeChanges*) {
  const ScannedRecord& record = scan.records()[name.record];
  BodyLine line;
  line.path = path.text;
  line.unallocated = line.deleted_record = !record.in_use;
  line.inode.record = name.record;
  switch (record.size_source) {
    case SizeSource::kData: line.inode.type = AttrType::kData; break;
    case SizeSource::kIndexRoot: line.inode.type = AttrType::kIndexRoot; break;
    case SizeSource::kNone: break;
  }
  line.inode.id = record.size_attribute_id;
  line.directory = record.directory;
  line.attributes = record.attributes;
  line.size = record.size;
  line.times = &record.times;
  WriteBodyLine(out, line);
  line.suffix = " ($FILE_NAME)";
  line.inode.type = AttrType::kFileName;
  line.inode.id = name.attribute_id;
  line.times = &scan.TimesOf(name);
  WriteBodyLine(out, line);
  line.suffix = "";
  line.times = &record.times;
  line.inode.type = AttrType::kData;
  for (const ScannedStream& stream : streams) {
    line.stream = scan.Text(stream.text);
    line.inode.id = stream.attribute_id;
    line.size = stream.size;
    WriteBodyLine(out, line);
  }
  return 2 + streams.size();
}

void AppendTimes(json::Line& line, std::string_view key, const FileTimes& times) {
  line.Object(key).FileTimes(times.created, times.modified, times.record_changed, times.accessed).End();
}

// Timestamp indicators: evidence that a program may have set the times,
// never a verdict (docs/json.md lists what else explains each).
//  si_created_before_fn_created  setting times touches $STANDARD_INFORMATION
//      only; $FILE_NAME keeps what the file system wrote
//  si_whole_seconds  tools that set times often give whole seconds, where
//      the file system's own $FILE_NAME times carry a fraction
//  created_after_modified  a copy keeps the source's modification time and
//      gets a new creation time; so does any file extracted from an archive
//  si_changed_in_log  the log holds an update that rewrote the record's
//      $STANDARD_INFORMATION times: who set them, and to what, is in
//      si_changes_in_log beside it
void AppendIndicators(json::Line& line, const FileTimes& si, const FileTimes& fn,
                      std::span<const LoggedTimeChange> logged) {
  const auto whole = [](uint64_t t) { return t % kTicksPerSecond == 0; };
  line.Array("indicators");
  if (si.created < fn.created) line.String("", "si_created_before_fn_created");
  const bool si_whole = whole(si.created) && whole(si.modified) && whole(si.record_changed) && whole(si.accessed);
  const bool fn_whole = whole(fn.created) && whole(fn.modified) && whole(fn.record_changed) && whole(fn.accessed);
  if (si_whole && !fn_whole && si.created != 0) line.String("", "si_whole_seconds");
  if (si.created > si.modified) line.String("", "created_after_modified");
  if (!logged.empty()) line.String("", "si_changed_in_log");
  line.End();
  if (logged.empty()) return;
  line.Array("si_changes_in_log");
  for (const LoggedTimeChange& change : logged) {
    for (size_t f = 0; f < change.times.size(); ++f) {
      const TimeChange& time = change.times[f];
      if (!time.present) continue;
      line.Object("").Wide("lsn", change.lsn).Number("transaction", change.transaction);
      line.String("field", TimeFieldName(static_cast<TimeField>(f)));
      line.Time("old", time.before).Time("new", time.after).End();
    }
  }
  line.End();
}

// One JSON object a name, on one line.
uint64_t WriteJsonLine(LineBuffer& out, const MftScan& scan, const ScannedName& name, const MftScan::Path& path,
                       std::span<const ScannedStream> streams, const DeletedClusters& deleted,
                       const LoggedTimeChanges* logged) {
  const ScannedRecord& record = scan.records()[name.record];
  json::Line line("timeline");
  line.String("path", path.text)
      .String("source", "file_record")
      .Reference("file", FileReference::Of(name.record, record.sequence))
      .Reference("parent", name.parent)
      .Bool("parent_matched", path.parent_matched)
      .Bool("deleted", !record.in_use)
      .Bool("orphan", path.orphan)
      .Bool("directory", record.directory)
      .Number("attributes", record.attributes)
      .Number("name_space", name.name_space)
      .Wide("size", record.size);
  if (!record.in_use) {
    if (const auto counted = deleted.Of(scan, name.record))
      line.Number("data_clusters", counted->clusters).Number("clusters_reallocated", counted->reallocated);
  }
  AppendTimes(line, "standard_information", record.times);
  AppendTimes(line, "file_name", scan.TimesOf(name));
  AppendIndicators(line, record.times, scan.TimesOf(name),
                   logged ? logged->Of(name.record) : std::span<const LoggedTimeChange>());
  line.Array("streams");
  for (const ScannedStream& stream : streams)
    line.Object("").String("name", scan.Text(stream.text)).Wide("size", stream.size).End();
  line.End();
  out.Append(line.Finish());
  return 1;
}

// Names a file record keeps past its used size, each with its record.
struct RecordSlackName {
  uint64_t record;    // the base record
  uint64_t found_in;  // the record whose slack holds it
  uint32_t offset;
  CarvedName name;
};

// Collects the older names each record keeps past its used size, from
// every lane of the scan; names() gives them in record order.
class RecordSlackCollector {
 public:
  void operator()(const FileRecord& record, unsigned lane) {
    const FileReference base(record.RefToBase());
    const uint64_t number = record.Number().value;
    const uint64_t owner = base.value != 0 ? base.Number() : number;
    CarveRecordSlack(record, [&](uint32_t offset, uint16_t, CarvedName name) {
      lanes_[lane].push_back(RecordSlackName{owner, number, offset, std::move(name)});
    });
  }
  std::vector<RecordSlackName> names() && {
    std::vector<RecordSlackName> all;
    for (auto& lane : lanes_) {
      const auto middle = static_cast<ptrdiff_t>(all.size());
      std::move(lane.begin(), lane.end(), std::back_inserter(all));
      std::inplace_merge(all.begin(), all.begin() + middle, all.end(),
                         [](const RecordSlackName& a, const RecordSlackName& b) { return a.found_in < b.found_in; });
    }
    return all;
  }

 private:
  std::array<std::vector<RecordSlackName>, kLanes> lanes_;
};

// One name found in slack: its line, in either format.
struct SlackLine {
  std::string_view source;  // "index_slack" or "record_slack"
  const MftScan::Path& path;
  FileReference file;
  const CarvedName& name;
  bool deleted;
  const SlackEntry* entry;  // index slack: where it was found and its record's state
  uint32_t offset;          // in the index block, the root value or the file record
};

uint64_t WriteSlackLine(LineBuffer& out, TimelineFormat format, const SlackLine& slack) {
  const CarvedName& name = slack.name;
  const bool directory = name.flags & kFileNameDirectoryFlag;
  if (format == TimelineFormat::kBodyFile) {
    BodyLine line;
    line.path = slack.path.text;
    line.suffix = slack.entry ? " (slack)" : " (record slack)";
    line.unallocated = true;
    line.inode.record = slack.file.Number();
    line.directory = directory;
    line.size = name.real_size;
    line.times = &name.times;
    WriteBodyLine(out, line);
    return 1;
  }
  json::Line line("timeline");
  line.String("path", slack.path.text)
      .String("source", slack.source)
      .Reference("file", slack.file)
      .Reference("parent", name.parent)
      .Bool("parent_matched", slack.path.parent_matched)
      .Bool("deleted", slack.deleted)
      .Bool("orphan", slack.path.orphan)
      .Bool("directory", directory)
      .Number("name_space", name.name_space)
      .Wide("size", name.real_size);
  AppendTimes(line, "file_name", name.times);
  if (const SlackEntry* entry = slack.entry) {
    line.String("record_state", RecordStateName(entry->state)).String("found_in", SlackSourceName(entry->source));
    if (entry->block) line.Wide("block_vcn", entry->block->value);
  }
  line.Number("offset", slack.offset);
  out.Append(line.Finish());
  return 1;
}

}  // namespace

namespace {

// --deleted: the names index slack and record slack hold, after the rest.
uint64_t WriteSlackLines(ReportContext& context, const MftScan& scan, std::vector<RecordSlackName> record_slack,
                         FileReference subtree_root, TimelineFormat format, LineBuffer& out) {
  uint64_t lines = 0;
  auto flush = [&] {
    if (out.size() < kFlushBytes) return;
    context.console.out().WriteNarrow(out.view());
    out.clear();
  };
  const auto& records = scan.records();
  for (const RecordSlackName& slack : record_slack) {
    if (slack.record >= records.size() || !records[slack.record].valid) continue;
    const MftScan::Path path = scan.PathUnder(slack.name.parent, slack.record, Utf16ToUtf8(slack.name.name), subtree_root);
    if (!path.within) continue;
    const ScannedRecord& record = records[slack.record];
    lines += WriteSlackLine(out, format, {"record_slack", path, FileReference::Of(slack.record, record.sequence),
                                          slack.name, !record.in_use, nullptr, slack.offset});
    flush();
  }
  context.console.out().WriteNarrow(out.view());
  out.clear();
  // Each directory's index is read and carved in lanes, a few directories
  // a chunk; the lines are written in record order.
  std::vector<uint64_t> directories;
  for (uint64_t number = 0; number < records.size(); ++number)
    if (records[number].valid && records[number].directory) directories.push_back(number);
  struct Lane {
    LineBuffer out;
    uint64_t lines = 0, unreadable = 0;
  };
  std::array<Lane, kLanes> lanes;
  const auto carve = [&](uint64_t begin, uint64_t end, unsigned lane_index) {
    Lane& lane = lanes[lane_index];
    for (uint64_t d = begin; d < end; ++d) {
      auto slack = ReadIndexSlack(context.volume, FileReference(directories[d]));
      if (!slack) {
        ++lane.unreadable;
        continue;
      }
      for (const SlackEntry& entry : slack->entries) {
        const MftScan::Path path =
            scan.PathUnder(entry.key.parent, entry.file.Number(), Utf16ToUtf8(entry.key.name), subtree_root);
        if (!path.within) continue;
        const bool deleted = entry.state == RecordState::kFree || entry.state == RecordState::kReused;
        lane.lines +=
            WriteSlackLine(lane.out, format, {"index_slack", path, entry.file, entry.key, deleted, &entry, entry.offset});
      }
    }
  };
  constexpr uint64_t kDirectoriesPerChunk = 16;
  RunInLanes(directories.size(), kDirectoriesPerChunk, carve, [&](unsigned lane) {
    context.console.out().WriteNarrow(lanes[lane].out.view());
    lanes[lane].out.clear();
  });
  uint64_t unreadable = 0;
  for (const Lane& lane : lanes) {
    lines += lane.lines;
    unreadable += lane.unreadable;
  }
  if (unreadable) context.console.Diagnostic("timeline: %u directories' index slack not read\n", unreadable);
  return lines;
}

}  // namespace

bool ReportTimeline(ReportContext& context, FileReference subtree_root, TimelineFormat format,
                    std::optional<std::u16string_view> journal, const LoggedTimeChanges* logged) {
  // JSON tells, for each deleted record, how much of its data the volume
  // has given away since: the scan then keeps the free records' runs.
  std::vector<uint8_t> mft_bitmap;
  std::optional<history::ClusterBitmap> bitmap;
  if (format == TimelineFormat::kJsonLines) {
    auto mft = history::ReadMftBitmap(context.volume);
    auto clusters = mft ? history::ClusterBitmap::Open(context.volume) : Expected<history::ClusterBitmap>(mft.error());
    if (clusters) {
      mft_bitmap = std::move(*mft);
      bitmap.emplace(std::move(*clusters));
    } else {
      context.console.Diagnostic("timeline: deleted files' clusters not counted: %s\n", clusters.error().Line());
    }
  }
  ScanOptions options = bitmap ? history::FreeRecordScanOptions(mft_bitmap) : ScanOptions{};
  // --deleted: names past each record's used size, seen as the scan parses.
  RecordSlackCollector record_slack;
  if (context.deleted)
    options.also = [&record_slack](const FileRecord& record, unsigned lane) { record_slack(record, lane); };
  std::optional<MftScan> scan = ScanMft(context.volume, options);
  if (!scan) {
    context.console.Diagnostic("timeline: the MFT cannot be read\n");
    return false;
  }
  const DeletedClusters deleted(*scan, bitmap ? &*bitmap : nullptr);
  const auto& names = scan->names();
  const std::span<const ScannedStream> streams(scan->streams());
  const auto write = format == TimelineFormat::kJsonLines ? WriteJsonLine : WriteBodyLines;
  // Names become lines in chunks, in lanes; the chunks are written in
  // order. Building paths and lines costs as much as the scan.
  struct Lane {
    LineBuffer out;
    MftScan::Path path;
    uint64_t lines = 0;
  };
  std::array<Lane, kLanes> lanes;
  const auto write_chunk = [&](uint64_t begin, uint64_t end, unsigned lane_index) {
    Lane& lane = lanes[lane_index];
    const uint32_t first_record = names[begin].record;
    size_t first_stream = static_cast<size_t>(
        std::lower_bound(streams.begin(), streams.end(), first_record,
                         [](const ScannedStream& s, uint32_t r) { return s.record < r; }) -
        streams.begin());
    for (size_t i = begin; i < end; ++i) {
      const ScannedName& name = names[i];
      while (first_stream < streams.size() && streams[first_stream].record < name.record) ++first_stream;
      if (!scan->Listed(name)) continue;
      scan->PathUnder(name.parent, name.record, scan->Text(name.text), subtree_root, lane.path);
      if (!lane.path.within) continue;
      size_t end_stream = first_stream;
      while (end_stream < streams.size() && streams[end_stream].record == name.record) ++end_stream;
      lane.lines += write(lane.out, *scan, name, lane.path, streams.subspan(first_stream, end_stream - first_stream),
                          deleted, logged);
    }
  };
  constexpr size_t kNamesPerChunk = 8192;
  RunInLanes(names.size(), kNamesPerChunk, write_chunk, [&](unsigned lane) {
    context.console.out().WriteNarrow(lanes[lane].out.view());
    lanes[lane].out.clear();
  });
  uint64_t lines = 0;
  for (const Lane& lane : lanes) lines += lane.lines;
  LineBuffer out;
  out.Reserve(kFlushBytes + 4096);
  if (context.deleted) lines += WriteSlackLines(context, *scan, std::move(record_slack).names(), subtree_root, format, out);
  if (journal) {
    // The journal's lines go under the same subtree as the names.
    std::string subtree;
    if (subtree_root.Number() != kRootReference.value && subtree_root.Number() < scan->records().size()) {
      const uint32_t primary = scan->records()[subtree_root.Number()].primary_name;
      if (primary != ScannedRecord::kNoName) subtree = scan->PathOf(names[primary], subtree_root).text;
    }
    context.console.out().WriteNarrow(out.view());
    out.clear();
    std::string journal_lines;
    AppendUsnTimeline(context, *scan, *journal, subtree, journal_lines);
    out.Append(journal_lines);
  }
  context.console.out().WriteNarrow(out.view());

  uint64_t skipped = 0;
  for (size_t r = 0; r < static_cast<size_t>(SkipReason::kCount); ++r) skipped += scan->Skipped(SkipReason(r));
  context.console.Diagnostic("timeline: %u records read, %u lines, %u records skipped\n",
                             scan->slots(), lines, skipped);
  static constexpr const char* kWhy[] = {"unreadable", "not a file record", "torn update sequence",
                                         "extension not claimed by its base"};
  for (size_t r = 0; r < static_cast<size_t>(SkipReason::kCount); ++r) {
    if (uint64_t count = scan->Skipped(SkipReason(r)))
      context.console.Diagnostic("timeline: %u skipped: %s\n", count, std::string_view(kWhy[r]));
  }
  return true;
}

}  // namespace velmora
