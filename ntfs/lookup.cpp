#include "ntfs/lookup.h"

#include <set>

#include "ntfs/attribute_list.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"

namespace velmora {

std::optional<AttributeRecord> FindAttribute(const FileRecord& record, AttrType type, const CountedName* name,
                                             const AttributeRecord* after) {
  AttributeWalk walk(record);
  while (auto a = walk.Next()) {
    if (type != AttrType::kAny && a->Type() != type) continue;
    if (name && !a->NameEquals(*name)) continue;
    if (after && a->offset() <= after->offset()) continue;
    return a;
  }
  return std::nullopt;
}

std::optional<AttributeRecord> FindAttributeByInstance(const FileRecord& record, uint32_t instance) {
  AttributeWalk walk(record);
  while (auto a = walk.Next()) {
    if (a->Id() == instance) return a;
  }
  return std::nullopt;
}

std::optional<AttributeRecord> FindFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type,
                                                 AttributeListCursor& list_cursor, const CountedName* name,
                                                 const AttributeRecord* after) {
  auto list_attribute = FindAttribute(base, AttrType::kAttributeList, nullptr, nullptr);
  if (!list_attribute) return FindAttribute(base, type, name, after);
  if (list_attribute->ValueSize() > kMaxAttributeListBytes) return std::nullopt;

  AttributeReader reader(volume, *list_attribute);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) return std::nullopt;

  const bool have_loaded = list_cursor.record.has_value();
  const uint64_t loaded_number = have_loaded ? list_cursor.record->OwnNumber() : 0;
  bool passed_after = after == nullptr;
  for (const AttributeListEntry& entry : AttributeListEntries(*value)) {
    if (entry.Type() != type || type == AttrType::kAny) continue;
    if (name && !entry.NameEquals(*name)) continue;
    const uint64_t number = entry.Reference().RecordNumber();
    const bool in_loaded = have_loaded && number == loaded_number;
    if (!passed_after) {
      if (in_loaded && entry.Instance() == after->Id()) passed_after = true;
      continue;
    }
    if (in_loaded && !FindAttributeByInstance(*list_cursor.record, entry.Instance())) continue;
    if (entry.StartVcn() != 0) continue;

    if (in_loaded) return FindAttributeByInstance(*list_cursor.record, entry.Instance());
    auto holder = ReadFileRecord(volume, FileReference(number));
    if (!holder) return std::nullopt;
    list_cursor.record = std::move(*holder);
    return FindAttributeByInstance(*list_cursor.record, entry.Instance());
  }
  return std::nullopt;
}

void ForEachFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type, const CountedName* name,
                          const FileAttributeVisitor& visitor) {
  AttributeListCursor cursor;
  std::set<std::pair<uint64_t, uint16_t>> seen;
  for (auto a = FindFileAttribute(volume, base, type, cursor, name, nullptr); a;
       a = FindFileAttribute(volume, base, type, cursor, name, &*a)) {
    const uint64_t holder = cursor.record ? cursor.record->OwnNumber() : base.OwnNumber();
    if (!seen.emplace(holder, a->Id()).second) return;
    if (!visitor(*a)) return;
  }
}

}  // namespace velmora
