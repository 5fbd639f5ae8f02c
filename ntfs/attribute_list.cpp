#include "ntfs/attribute_list.h"

#include <algorithm>
#include <string>

#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
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
  auto list = FindAttribute(base, AttrType::kAttributeList, nullptr, nullptr);
  if (!list || list->ValueSize() > kMaxAttributeListBytes) return std::nullopt;
  AttributeReader reader(volume, *list);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) return std::nullopt;
  return *value;
}

RunList GatherExtentRuns(std::span<const uint8_t> list_value, const AttributeRecord& first,
                         const ExtentRecordReader& read_record) {
  RunList runs;
  runs.AppendExtent(first);
  const uint32_t type = first.TypeCode();
  const std::u16string name_units = first.Name();  // the view below must not outlive it
  const CountedName name{name_units};
  std::vector<AttributeListEntry> extents;
  for (const AttributeListEntry& entry : AttributeListEntries(list_value)) {
    if (entry.TypeCode() == type && entry.StartVcn() != 0 && entry.NameEquals(name)) extents.push_back(entry);
  }
  std::stable_sort(extents.begin(), extents.end(),
                   [](const AttributeListEntry& a, const AttributeListEntry& b) { return a.StartVcn() < b.StartVcn(); });
  for (const AttributeListEntry& entry : extents) {
    const std::optional<FileRecord> holder = read_record(entry.Reference().RecordNumber(), runs);
    if (!holder) continue;
    const auto extent = FindAttributeByInstance(*holder, entry.Instance());
    if (extent && extent->TypeCode() == type && extent->NonResident() && extent->StartVcn() == entry.StartVcn() &&
        !runs.AppendExtent(*extent))
      break;
  }
  return runs;
}

}  // namespace velmora
