#include "history/record_slack.h"

#include <algorithm>

#include "ntfs/attribute.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"

namespace velmora {

namespace {

constexpr uint64_t kAlignment = 8;

bool LiveName(const FileRecord& record, const CarvedName& carved) {
  AttributeWalk walk(record);
  while (auto a = walk.Next()) {
    if (a->Type() != AttrType::kFileName || a->NonResident()) continue;
    const LeBytes value(a->ResidentValue());
    if (FileReference(value.U64(file_name::kParentRef)) == carved.parent &&
        value.Utf16(file_name::kName, value.U8(file_name::kNameLength)) == carved.name)
      return true;
  }
  return false;
}

}  // namespace

void CarveRecordSlack(const FileRecord& file, const RecordSlackVisitor& visitor) {
  const LeBytes record = file.bytes();
  const uint64_t end = std::min<uint64_t>(record.U32(record::kAllocSize), record.size());
  const uint64_t used = record.U32(record::kFirstFreeByte);
  for (uint64_t pos = (used + kAlignment - 1) / kAlignment * kAlignment;
       pos < end && end - pos >= attr::kResidentSize + file_name::kName; pos += kAlignment) {
    // The type first: nearly every boundary fails there, and this loop
    // runs over every record of a timeline.
    pos = record.NextAligned32(pos + attr::kType, end, kAlignment, ToU32(AttrType::kFileName)) - attr::kType;
    if (pos >= end || end - pos < attr::kResidentSize + file_name::kName) break;
    const uint64_t length = record.U32(pos + attr::kTotalSize);
    const uint64_t value_length = record.U32(pos + attr::kAttrSize);
    const uint64_t value_offset = record.U16(pos + attr::kAttrOffset);
    if (length % kAlignment != 0 || length > end - pos || record.U8(pos + attr::kNonResident) != 0 ||
        record.U8(pos + attr::kNameLength) != 0 || value_offset < attr::kResidentSize ||
        value_offset + value_length > length ||
        value_length != file_name::kName + 2 * uint64_t{record.U8(pos + value_offset + file_name::kNameLength)})
      continue;
    std::optional<CarvedName> name = ReadCarvedFileName(record, pos + value_offset, value_length);
    if (!name || LiveName(file, *name)) continue;
    visitor(static_cast<uint32_t>(pos), record.U16(pos + attr::kId), std::move(*name));
    pos += length - kAlignment;
  }
}

}  // namespace velmora
