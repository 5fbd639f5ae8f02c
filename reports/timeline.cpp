#include "reports/timeline.h"

#include <algorithm>
#include <charconv>

#include "ntfs/mft_scan.h"
#include "ntfs/types.h"
#include "ntfs/volume.h"

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
    out += record.read_only ? "r-xr-xr-x" : "rwxrwxrwx";
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

bool ReportTimeline(ReportContext& context, FileReference subtree_root) {
  std::optional<MftScan> scan = ScanMft(context.volume);
  if (!scan) {
    context.console.Diagnostic("timeline: the MFT cannot be read\n");
    return false;
  }
  const auto& records = scan->records();
  const auto& names = scan->names();
  const auto& streams = scan->streams();
  std::string out;
  out.reserve(kFlushBytes + 4096);
  LineWriter writer{out};
  std::string inode;
  uint64_t lines = 0;
  size_t stream = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const ScannedName& name = names[i];
    while (stream < streams.size() && streams[stream].record < name.record) ++stream;
    if (!scan->Listed(name)) continue;
    MftScan::Path path = scan->PathOf(name, subtree_root.RecordNumber());
    if (!path.within) continue;
    const ScannedRecord& record = records[name.record];
    const bool deleted = !record.in_use;

    inode.clear();
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
    lines += 2;
    for (size_t s = stream; s < streams.size() && streams[s].record == name.record; ++s) {
      std::string stream_path = path.text + ":";
      stream_path += scan->Text(streams[s].text);
      inode.clear();
      AppendInode(inode, name.record, AttrType::kData, streams[s].attribute_id);
      writer.Write(stream_path, "", deleted, inode, record, streams[s].size, record.times);
      ++lines;
    }
    if (out.size() >= kFlushBytes) {
      context.console.out().WriteNarrow(out);
      out.clear();
    }
  }
  context.console.out().WriteNarrow(out);

  uint64_t skipped = 0;
  for (size_t r = 0; r < static_cast<size_t>(SkipReason::kCount); ++r) skipped += scan->Skipped(SkipReason(r));
  context.console.Diagnostic("timeline: %u records read, %u lines, %u records skipped\n",
                             {scan->slots(), lines, skipped});
  static constexpr const char* kWhy[] = {"unreadable", "not a file record", "torn update sequence",
                                         "extension not claimed by its base"};
  for (size_t r = 0; r < static_cast<size_t>(SkipReason::kCount); ++r) {
    if (uint64_t count = scan->Skipped(SkipReason(r)))
      context.console.Diagnostic("timeline: %u skipped: %s\n", {count, std::string_view(kWhy[r])});
  }
  return true;
}

}  // namespace velmora
