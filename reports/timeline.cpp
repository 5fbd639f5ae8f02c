#include "reports/timeline.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <span>

#include "ntfs/mft_scan.h"
#include "ntfs/standard_information.h"
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

// The body file lines of one name: the name, its $FILE_NAME, its streams.
uint64_t WriteBodyLines(std::string& out, const MftScan& scan, const ScannedName& name, const MftScan::Path& path,
                        std::span<const ScannedStream> streams) {
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

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendReference(std::string& out, FileReference reference) {
  out += "{\"record\":";
  AppendNumber(out, reference.RecordNumber());
  out += ",\"sequence\":";
  AppendNumber(out, reference.Sequence());
}

void AppendTimes(std::string& out, const FileTimes& times) {
  const std::pair<const char*, uint64_t> fields[] = {
      {"{\"created\":", times.created},
      {",\"modified\":", times.modified},
      {",\"record_changed\":", times.record_changed},
      {",\"accessed\":", times.accessed}};
  for (const auto& [key, time] : fields) {
    out += key;
    out += '"';
    out += IsoFileTime(time);
    out += '"';
  }
  out += '}';
}

// One JSON object a name, on one line.
uint64_t WriteJsonLine(std::string& out, const MftScan& scan, const ScannedName& name, const MftScan::Path& path,
                       std::span<const ScannedStream> streams) {
  const ScannedRecord& record = scan.records()[name.record];
  out += "{\"path\":";
  AppendJsonString(out, path.text);
  out += ",\"file\":";
  AppendReference(out, FileReference((uint64_t{record.sequence} << 48) | name.record));
  out += "},\"parent\":";
  AppendReference(out, name.parent);
  out += path.parent_matched ? ",\"matched\":true}" : ",\"matched\":false}";
  out += record.in_use ? ",\"deleted\":false" : ",\"deleted\":true";
  out += path.orphan ? ",\"orphan\":true" : ",\"orphan\":false";
  out += record.directory ? ",\"directory\":true" : ",\"directory\":false";
  out += ",\"attributes\":";
  AppendNumber(out, record.attributes);
  out += ",\"name_space\":";
  AppendNumber(out, name.name_space);
  out += ",\"size\":";
  AppendNumber(out, record.size.bytes);
  out += ",\"standard_information\":";
  AppendTimes(out, record.times);
  out += ",\"file_name\":";
  AppendTimes(out, name.times);
  out += ",\"streams\":[";
  for (const ScannedStream& stream : streams) {
    if (&stream != streams.data()) out += ',';
    out += "{\"name\":";
    AppendJsonString(out, scan.Text(stream.text));
    out += ",\"size\":";
    AppendNumber(out, stream.size);
    out += '}';
  }
  out += "]}\n";
  return 1;
}

}  // namespace

std::string IsoFileTime(uint64_t filetime) {
  // The civil date of a day count, by 400-year eras of 146,097 days that
  // begin on 1 March (so that leap days end a year); 0000-03-01 is day 0,
  // 1601-01-01 day 584,694.
  constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;
  const uint64_t ticks = filetime % kTicksPerDay;
  const int64_t days = static_cast<int64_t>(filetime / kTicksPerDay) + 584694;
  const int64_t era = days / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  const uint64_t seconds = ticks / kTicksPerSecond;
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02llu:%02llu:%02llu.%07lluZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day),
                static_cast<unsigned long long>(seconds / 3600), static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60),
                static_cast<unsigned long long>(ticks % kTicksPerSecond));
  return text;
}

bool ReportTimeline(ReportContext& context, FileReference subtree_root, TimelineFormat format) {
  std::optional<MftScan> scan = ScanMft(context.volume);
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
    MftScan::Path path = scan->PathOf(name, subtree_root.RecordNumber());
    if (!path.within) continue;
    size_t end_stream = first_stream;
    while (end_stream < streams.size() && streams[end_stream].record == name.record) ++end_stream;
    lines += write(out, *scan, name, path, streams.subspan(first_stream, end_stream - first_stream));
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
