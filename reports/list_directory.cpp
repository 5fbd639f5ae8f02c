#include "reports/list_directory.h"

#include <optional>

#include "base/bytes.h"
#include "history/index_slack.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/attribute_set.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "output/text.h"

namespace velmora {

namespace {

// $FILE_NAME namespaces: bit 0 marks a Win32 name (1, and 3 for a name that
// is Win32 and DOS at once); 0 is POSIX. Only 2, the separate 8.3 alias of a
// file that also has a long name, is left out.
constexpr uint8_t kNameSpaceWin32Bit = 0x01;
constexpr uint8_t kNameSpacePosix = 0x00;

// The volume's answer where the system has none: the record says it holds an
// index of file names, or one of its names says it is a directory.
bool RecordIsDirectory(ReportContext& context, FileReference target) {
  auto record = ReadFileRecord(context.volume, target.Record());
  if (!record) return false;
  if (record->Flags() & record::kFlagDirectory) return true;
  FileAttributes file = FileAttributes::Open(context.volume, std::move(*record));
  bool directory = false;
  for (const HeldAttribute& name : file.Find(AttrType::kFileName, nullptr)) {
    if (!name->NonResident() && (LeBytes(name->ResidentValue()).U32(file_name::kFlags) & file_name::kFlagDirectory)) {
      directory = true;
      break;
    }
  }
  ReportProblems(context, file);
  return directory;
}

// The words of the text section; JSON carries the names of index_slack.h.
const char* StateText(RecordState state) {
  switch (state) {
    case RecordState::kFree: return "free";
    case RecordState::kSameSequence: return "in use, same sequence";
    case RecordState::kReused: return "reused";
    case RecordState::kUnreadable: return "unreadable";
  }
  return "";
}

// Where an entry was found, in text: "root +0x1A8", "VCN 0x3 +0x1A8 freed".
std::u16string PlaceText(const SlackEntry& entry) {
  if (entry.source == SlackSource::kRecordSlack) return Format("record +0x%X", entry.offset);
  if (!entry.block) return Format("root +0x%X", entry.offset);
  return Format("VCN 0x%I64X +0x%X%s", entry.block->value, entry.offset,
                entry.source == SlackSource::kFreedBlock ? " freed" : "");
}

// --deleted: after the listing, the entries the index's slack still holds.
void ListSlackEntries(ReportContext& context, FileReference target, std::u16string_view target_path) {
  auto slack = ReadIndexSlack(context.volume, target);
  if (!slack) {
    context.console.Diagnostic("%s (record 0x%I64X): index slack not read: %s\n", target_path, target.value,
                               slack.error().Line());
    return;
  }
  for (const Error& problem : slack->problems)
    context.console.Diagnostic("%s (record 0x%I64X): index slack: %s\n", target_path, target.value, problem.Line());
  if (context.json) {
    for (const SlackEntry& entry : slack->entries) {
      const CarvedName& key = entry.key;
      json::Line line("slack_entry");
      line.Reference("file", entry.file).String("record_state", RecordStateName(entry.state));
      line.Number("record_sequence", entry.record_sequence).String("source", SlackSourceName(entry.source));
      if (entry.block) line.Wide("block_vcn", entry.block->value);
      line.Number("offset", entry.offset).Reference("parent", key.parent);
      line.Object("file_name").FileTimes(key.times.created, key.times.modified, key.times.record_changed,
                                         key.times.accessed).End();
      line.Wide("allocated_size", key.allocated_size).Wide("real_size", key.real_size);
      line.Bool("directory", key.flags & file_name::kFlagDirectory).Number("name_space", key.name_space);
      json::Emit(context.console, line.Text("name", key.name));
    }
    json::Line end("slack_end");
    end.Number("entries", slack->entries.size()).Number("live_copies", slack->live_copies);
    json::Emit(context.console, end.Number("blocks_in_use", slack->blocks_in_use).Number("blocks_free", slack->blocks_free));
    return;
  }
  context.console.Print("Deleted entries (index slack) :\n");
  context.console.Print("File Reference\t\tRecord state\tFound at\tCreated\tModified\tChanged\tAccessed\tSize\tFile name\n");
  context.console.Print(kDashLine);
  for (const SlackEntry& entry : slack->entries) {
    const FileTimes& t = entry.key.times;
    context.console.Print("%016I64X\t%s\t%s\t%s\t%s\t%s\t%s\t%I64u\t%s\n", entry.file.value,
                          std::string_view(StateText(entry.state)), PlaceText(entry), IsoFileTime(t.created),
                          IsoFileTime(t.modified), IsoFileTime(t.record_changed), IsoFileTime(t.accessed),
                          entry.key.real_size, entry.key.name);
  }
  context.console.Print(kDashLine);
  context.console.Print("Number of deleted entries : %u\n", static_cast<uint64_t>(slack->entries.size()));
  context.console.Print("Copies of live entries left out : %u\n", slack->live_copies);
}

}  // namespace

Walk ListingVisitor(ReportContext& context, std::span<const uint8_t> key, FileReference file, uint32_t& counter) {
  LeBytes value(key);
  if (!value.Fits(0, file_name::kName)) return Walk::kContinue;
  const uint8_t name_space = value.U8(file_name::kNameSpace);
  if (!(name_space & kNameSpaceWin32Bit) && name_space != kNameSpacePosix) return Walk::kContinue;

  // A name running past the key is cut at the key's end.
  const uint64_t room = (value.size() - file_name::kName) / 2;
  const uint64_t units = value.U8(file_name::kNameLength) < room ? value.U8(file_name::kNameLength) : room;
  const ListingEntry entry{file, value.U64(file_name::kAccessTime),
                           static_cast<bool>(value.U32(file_name::kFlags) & file_name::kFlagDirectory), name_space,
                           UpToNul(value.Utf16(file_name::kName, units))};
  if (context.json) {
    json::Line line("listing");
    line.Reference("file", entry.reference).Time("accessed", entry.access_time);
    line.Bool("directory", entry.directory).Number("name_space", entry.name_space).Text("name", entry.name);
    json::Emit(context.console, line);
  } else {
    std::u16string time;
    if (auto local = context.platform.FileTimeToLocal(entry.access_time)) {
      time = Format("%02d/%02d/%02d  %02d:%02d", local->month, local->day, local->year, local->hour, local->minute);
    } else {
      time = Format("%s", kUnconvertibleTimeText);
    }
    context.console.Print("%016I64X\t%s\t%s\t%s\n",
                          entry.reference.Number(), time, entry.directory ? "<DIR>" : "<FILE>", entry.name);
  }
  ++counter;
  return Walk::kContinue;
}

void ListDirectory(ReportContext& context, FileReference target, std::u16string_view target_path) {
  uint32_t counter = 0;
  // A deleted directory's index still reads: say what it is, and list it.
  if (auto record = ReadFileRecord(context.volume, target.Record()); record && !(record->Flags() & record::kFlagInUse))
    context.console.Diagnostic("%s (record 0x%I64X): the record is not in use: a deleted file; its index is listed as "
                               "it stands\n", target_path, target.value);
  // The system decides for a path it can see; a drive bound to an image is
  // seen only by the volume.
  std::optional<bool> system_view = context.platform.PathIsDirectory(target_path);
  const bool directory = system_view ? *system_view : RecordIsDirectory(context, target);
  if (!directory) {
    if (context.json) {
      json::Line line("error");
      json::Emit(context.console, line.String("error", "not_a_directory").Text("path", target_path));
    } else {
      context.console.Print("Target file is not a directory. (%s)\n", target_path);
    }
    return;
  }
  const auto visit = [&](std::span<const uint8_t> entry, std::span<const uint8_t> key) {
    return ListingVisitor(context, key, FileReference(LeBytes(entry).U64(index_entry::kData)), counter);
  };
  const IndexWalkResult walk = IndexEntryWalker(context.volume, target, kI30Name, visit);
  if (context.json) {
    json::Line line("listing_end");
    json::Emit(context.console, line.Number("entries", counter).Bool("complete", !walk.stopped && walk.blocks_not_read == 0));
  } else {
    context.console.Print(kDashLine);
    context.console.Print("Number of files : %u\n", counter);
  }
  // Nor must a listing of the root node alone pass for the whole directory.
  if (walk.blocks_not_read) {
    context.console.Diagnostic("%s (record 0x%I64X): listed from $INDEX_ROOT only: %I64u index blocks in "
                               "$INDEX_ALLOCATION are not in the collection, which holds only the MFT\n",
                               target_path, target.value, walk.blocks_not_read);
  }
  // An unreadable index must not pass for an empty or short directory.
  if (walk.stopped) {
    context.console.Diagnostic("%s (record 0x%I64X): listing ends early: %s\n",
                               target_path, target.value, walk.stopped->Line());
  }
  if (context.deleted) ListSlackEntries(context, target, target_path);
}

}  // namespace velmora
