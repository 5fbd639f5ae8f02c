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

std::vector<ListedAttribute> ListAttributes(std::span<const uint8_t> value) {
  std::vector<ListedAttribute> listed;
  for (const AttributeListEntry& entry : AttributeListEntries(value)) {
    listed.push_back(ListedAttribute{entry.TypeCode(), entry.Reference(), entry.Instance(), Vcn(entry.StartVcn()),
                                     entry.Name()});
  }
  return listed;
}

std::optional<std::vector<uint8_t>> ReadAttributeListValue(VolumeContext& volume, const FileRecord& base) {
  auto list = FindAttribute(base, AttrType::kAttributeList, nullptr, nullptr);
  if (!list || list->ValueSize() > kMaxAttributeListBytes) return std::nullopt;
  AttributeReader reader(volume, *list);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) return std::nullopt;
  return *value;
}

RunList GatherExtentRuns(const std::vector<ListedAttribute>& list, const AttributeRecord& first,
                         const ExtentRecordReader& read_record) {
  RunList runs;
  runs.AppendExtent(first);
  const uint32_t type = first.TypeCode();
  const std::u16string name = first.Name();
  std::vector<const ListedAttribute*> extents;
  for (const ListedAttribute& entry : list) {
    if (entry.type_code == type && entry.start_vcn.value != 0 && entry.name == name) extents.push_back(&entry);
  }
  std::stable_sort(extents.begin(), extents.end(),
                   [](const ListedAttribute* a, const ListedAttribute* b) { return a->start_vcn < b->start_vcn; });
  for (const ListedAttribute* entry : extents) {
    const std::shared_ptr<const FileRecord> holder = read_record(entry->holder.Number(), runs);
    if (!holder) continue;
    const auto extent = FindAttributeByInstance(*holder, entry->instance);
    if (extent && extent->TypeCode() == type && extent->NonResident() && extent->StartVcn() == entry->start_vcn.value &&
        !runs.AppendExtent(*extent))
      break;
  }
  return runs;
}

}  // namespace velmora
