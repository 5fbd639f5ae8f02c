#include "ntfs/attribute_list.h"

#include "ntfs/file_record.h"
#include "ntfs/value_reader.h"

namespace velmora {

bool AttributeListEntry::NameEquals(const CountedName& name) const {
  if (NameLength() != name.units.size()) return false;
  for (size_t i = 0; i < name.units.size(); ++i) {
    if (bytes().U16(NameOffset() + 2 * i) != name.units[i]) return false;
  }
  return true;
}

std::vector<AttributeListEntry> AttributeListEntries(std::span<const uint8_t> value) {
  std::vector<AttributeListEntry> entries;
  LeBytes list(value);
  uint64_t position = 0;
  while (list.Fits(position, list_entry::kMinSize)) {
    uint16_t length = list.U16(position + list_entry::kLength);
    if (length < list_entry::kMinSize || !list.Fits(position, length)) break;
    AttributeListEntry entry(list.Sub(position, length));
    if (entry.NameLength() != 0 && !entry.bytes().Fits(entry.NameOffset(), uint64_t{entry.NameLength()} * 2)) break;
    entries.push_back(entry);
    position += length;
  }
  return entries;
}

std::optional<std::vector<uint8_t>> ReadAttributeListValue(VolumeContext& volume, const FileRecord& base) {
  AttributeWalk walk(base);
  while (auto a = walk.Next()) {
    if (a->Type() != AttrType::kAttributeList) continue;
    if (a->ValueSize() > kMaxAttributeListBytes) return std::nullopt;
    AttributeReader reader(volume, *a);
    const std::vector<uint8_t>* value = reader.ReadAttributeValue();
    if (!value) return std::nullopt;
    return *value;
  }
  return std::nullopt;
}

}  // namespace velmora
