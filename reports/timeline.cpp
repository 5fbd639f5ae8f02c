#include "reports/timeline.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <span>

#include "history/free_records.h"
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

void AppendNumber(std::string& line, uint64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  line.append(digits, end);
}

// Sleuth Kit's inode column: record-type-id, the attribute the line describes.
void AppendInode(std::string& line, uint64_t record, AttrType type, uint16_t id) {
  AppendNumber(line, record);
  line += '-';
  AppendNumber(line, ToU32(type));
  line += '-';
  AppendNumber(line, id);
}

// One body file line: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime.
// No hash is computed and NTFS keeps no POSIX owner: those columns are 0.
struct LineWriter {
  std::string& out;

  void Write(std::string_view path, std::string_view suffix, bool deleted, const std::string& inode,
             const ScannedRecord& record, uint64_t size, const FileTimes& times) {
    out += "0|";
    AppendEscapedName(out, path);
    out += suffix;
    if (deleted) out += " (deleted)";
    out += '|';
    out += inode;
    out += '|';
    // Name type / metadata type and permission bits, as Sleuth Kit spells them.
    out += deleted ? '-' : (record.directory ? 'd' : 'r');
    out += '/';
    out += record.directory ? 'd' : 'r';
    namespace si = standard_information;
    out += (record.attributes & (si::kReadOnly | si::kSystem)) ? "r-xr-xr-x" : "rwxrwxrwx";
    out += "|0|0|";
    AppendNumber(out, size);
    for (uint64_t time : {times.accessed, times.modified, times.record_changed, times.created}) {
      out += '|';
      AppendNumber(out, static_cast<uint64_t>(BodyFileSeconds(time)));
    }
    out += '\n';
  }
};

}  // namespace

int64_t BodyFileSeconds(uint64_t filetime) {
  if (filetime < kTicksFrom1601To1970) return 0;
  return static_cast<int64_t>((filetime - kTicksFrom1601To1970) / kTicksPerSecond);
}

void AppendEscapedName(std::string& line, std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto plain = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte != 0x7F && byte != '|' && byte != '\\';
  };
  if (std::all_of(name.begin(), name.end(), plain)) {  // nearly every name
    line += name;
    return;
  }
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      line += "\\\\";
    } else if (byte == '|' || byte < 0x20 || byte == 0x7F) {
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    } else {
      line += c;
    }
  }
}

namespace {

// How many of a deleted record's data clusters $Bitmap now gives to
// something else, counted once per record (its names arrive together).
// Nothing when the allocation could not be read or the runs in the base
// record do not reach the value's end.
class DeletedClusters {
 public:
  explicit DeletedClusters(history::ClusterBitmap* bitmap) : bitmap_(bitmap) {}
  const std::optional<history::ReallocatedClusters>& Of(const MftScan& scan, uint64_t record) {
    if (record == record_) return counted_;
    record_ = record;
    counted_.reset();
    if (!bitmap_) return counted_;
    const FreeRecordData* data = scan.FreeDataOf(record);
    if (!data) {
      counted_ = history::ReallocatedClusters{};
    } else if (data->complete) {
      counted_ = history::CountReallocated(*bitmap_, scan.RunsOf(*data));
    }
    return counted_;
  }

 private:
  history::ClusterBitmap* bitmap_;
  uint64_t record_ = ~uint64_t{0};
  std::optional<history::ReallocatedClusters> counted_;
};

// The body file lines of one name: the name, its $FILE_NAME, its streams.
uint64_t WriteBodyLines(std::string& out, const MftScan& scan, const ScannedName& name, const MftScan::Path& path,
                        std::span<const ScannedStream> streams, DeletedClusters&) {
  const ScannedRecord& record = scan.records()[name.record];
  const bool deleted = !record.in_use;
  LineWriter writer{out};
  std::string inode;
  switch (record.size.source) {
    case SizeSource::kData:
      AppendInode(inode, name.record, AttrType::kData, record.size.attribute_id);
      break;
    case SizeSource::kIndexRoot:
      AppendInode(inode, name.record, AttrType::kIndexRoot, record.size.attribute_id);
      break;
    case SizeSource::kNone:
      AppendNumber(inode, name.record);
      break;
  }
  writer.Write(path.text, "", deleted, inode, record, record.size.bytes, record.times);
  inode.clear();
  AppendInode(inode, name.record, AttrType::kFileName, name.attribute_id);
  writer.Write(path.text, " ($FILE_NAME)", deleted, inode, record, record.size.bytes, name.times);
  for (const ScannedStream& stream : streams) {
    std::string stream_path = path.text + ":";
    stream_path += scan.Text(stream.text);
    inode.clear();
    AppendInode(inode, name.record, AttrType::kData, stream.attribute_id);
    writer.Write(stream_path, "", deleted, inode, record, stream.size, record.times);
  }
  return 2 + streams.size();
}

void AppendTimes(json::Line& line, std::string_view key, const FileTimes& times) {
  line.Object(key).FileTimes(times.created, times.modified, times.record_changed, times.accessed).End();
}

// One JSON object a name, on one line.
uint64_t WriteJsonLine(std::string& out, const MftScan& scan, const ScannedName& name, const MftScan::Path& path,
                       std::span<const ScannedStream> streams, DeletedClusters& deleted) {
  const ScannedRecord& record = scan.records()[name.record];
  json::Line line("timeline");
  line.String("path", path.text)
      .Reference("file", FileReference::Of(name.record, record.sequence))
      .Reference("parent", name.parent)
      .Bool("parent_matched", path.parent_matched)
      .Bool("deleted", !record.in_use)
      .Bool("orphan", path.orphan)
      .Bool("directory", record.directory)
      .Number("attributes", record.attributes)
      .Number("name_space", name.name_space)
      .Wide("size", record.size.bytes);
  if (!record.in_use) {
    if (const auto& counted = deleted.Of(scan, name.record))
      line.Number("data_clusters", counted->clusters).Number("clusters_reallocated", counted->reallocated);
  }
  AppendTimes(line, "standard_information", record.times);
  AppendTimes(line, "file_name", name.times);
  line.Array("streams");
  for (const ScannedStream& stream : streams)
    line.Object("").String("name", scan.Text(stream.text)).Wide("size", stream.size).End();
  line.End();
  out += line.Finish();
  return 1;
}

}  // namespace

bool ReportTimeline(ReportContext& context, FileReference subtree_root, TimelineFormat format,
                    std::optional<std::u16string_view> journal) {
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
  const ScanOptions options = bitmap ? history::FreeRecordScanOptions(mft_bitmap) : ScanOptions{};
  std::optional<MftScan> scan = ScanMft(context.volume, options);
  DeletedClusters deleted(bitmap ? &*bitmap : nullptr);
  if (!scan) {
    context.console.Diagnostic("timeline: the MFT cannot be read\n");
    return false;
  }
  const auto& names = scan->names();
  const std::span<const ScannedStream> streams(scan->streams());
  const auto write = format == TimelineFormat::kJsonLines ? WriteJsonLine : WriteBodyLines;
  std::string out;
  out.reserve(kFlushBytes + 4096);
  uint64_t lines = 0;
  size_t first_stream = 0;
  for (const ScannedName& name : names) {
    while (first_stream < streams.size() && streams[first_stream].record < name.record) ++first_stream;
    if (!scan->Listed(name)) continue;
    MftScan::Path path = scan->PathOf(name, subtree_root);
    if (!path.within) continue;
    size_t end_stream = first_stream;
    while (end_stream < streams.size() && streams[end_stream].record == name.record) ++end_stream;
    lines += write(out, *scan, name, path, streams.subspan(first_stream, end_stream - first_stream), deleted);
    if (out.size() >= kFlushBytes) {
      context.console.out().WriteNarrow(out);
      out.clear();
    }
  }
  if (journal) {
    // The journal's lines go under the same subtree as the names.
    std::string subtree;
    if (subtree_root.Number() != kRootReference.value && subtree_root.Number() < scan->records().size()) {
      const uint32_t primary = scan->records()[subtree_root.Number()].primary_name;
      if (primary != ScannedRecord::kNoName) subtree = scan->PathOf(names[primary], subtree_root).text;
    }
    AppendUsnTimeline(context, *scan, *journal, subtree, out);
  }
  context.console.out().WriteNarrow(out);

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
