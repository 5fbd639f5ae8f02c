#include "reports/list_directory.h"

#include <optional>

#include "ntfs/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/lookup.h"
#include "ntfs/volume.h"

namespace velmora {

namespace {

// $FILE_NAME namespaces: bit 0 marks a Win32 name (1, and 3 for a name that
// is Win32 and DOS at once); 0 is POSIX. Only 2, the separate 8.3 alias of a
// file that also has a long name, is left out.
constexpr uint8_t kNameSpaceWin32Bit = 0x01;
constexpr uint8_t kNameSpacePosix = 0x00;

// The volume's answer where the system has none: the record says it holds an
// index of file names, or one of its names says it is a directory.
bool RecordIsDirectory(VolumeContext& volume, FileReference target) {
  auto record = ReadFileRecord(volume, target);
  if (!record) return false;
  if (record->Flags() & record::kFlagDirectory) return true;
  AttributeListCursor cursor;
  std::optional<AttributeRecord> name =
      FindFileAttribute(volume, *record, AttrType::kFileName, cursor, nullptr, nullptr);
  while (name) {
    if (!name->NonResident() && (LeBytes(name->ResidentValue()).U32(file_name::kFlags) & file_name::kFlagDirectory))
      return true;
    const AttributeRecord previous = *name;
    name = FindFileAttribute(volume, *record, AttrType::kFileName, cursor, nullptr, &previous);
  }
  return false;
}

// The text stops at an embedded NUL, as a terminated name buffer would.
std::u16string UpToNul(std::u16string text) {
  if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
  return text;
}

}  // namespace

int ListingVisitor(ReportContext& context, std::span<const uint8_t> key, uint32_t record_low,
                   uint32_t record_high, uint32_t& counter) {
  LeBytes value(key);
  if (!value.Fits(0, file_name::kName)) return 1;
  const uint8_t name_space = value.U8(file_name::kNameSpace);
  if (!(name_space & kNameSpaceWin32Bit) && name_space != kNameSpacePosix) return 1;

  const bool directory = value.U32(file_name::kFlags) & file_name::kFlagDirectory;
  std::u16string time;
  if (auto local = context.platform.FileTimeToLocal(value.U64(file_name::kAccessTime))) {
    time = Format("%02d/%02d/%02d  %02d:%02d", {local->month, local->day, local->year, local->hour, local->minute});
  } else {
    time = Format("%s", {kUnconvertibleTimeText});
  }
  // A name running past the key is cut at the key's end.
  const uint64_t room = (value.size() - file_name::kName) / 2;
  const uint64_t units = value.U8(file_name::kNameLength) < room ? value.U8(file_name::kNameLength) : room;
  const std::u16string name = UpToNul(value.Utf16(file_name::kName, units));

  const uint64_t record_number = (uint64_t{record_high} << 32) | record_low;
  context.console.Print("%016I64X\t%s\t%s\t%s\n",
                        {record_number, time, directory ? "<DIR>" : "<FILE>", name});
  ++counter;
  return 1;
}

void ListDirectory(ReportContext& context, FileReference target, std::u16string_view target_path) {
  uint32_t counter = 0;
  // The system decides for a path it can see; a drive bound to an image is
  // seen only by the volume.
  std::optional<bool> system_view = context.platform.PathIsDirectory(target_path);
  const bool directory = system_view ? *system_view : RecordIsDirectory(context.volume, target);
  if (!directory) {
    context.console.Print("Target file is not a directory. (%s)\n", {target_path});
    return;
  }
  const IndexWalkResult walk = IndexWalker(context.volume, target, kI30Name,
                                           [&](std::span<const uint8_t> key, uint32_t low, uint32_t high) {
                                             return ListingVisitor(context, key, low, high, counter);
                                           });
  context.console.Print("-----------------\n");
  context.console.Print("Number of files : %u\n", {counter});
  // An unreadable index must not pass for an empty or short directory.
  if (walk.stopped) {
    context.console.Diagnostic("%s (record 0x%I64X): listing ends early: %s\n",
                               {target_path, target.value, walk.stopped->Line()});
  }
}

}  // namespace velmora
