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

HeldAttribute FindFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type,
                                const CountedName* name, const HeldAttribute* after) {
  if (after && !*after) return {};
  auto list_attribute = FindAttribute(base, AttrType::kAttributeList, nullptr, nullptr);
  if (!list_attribute) {
    auto holder = std::make_shared<const FileRecord>(base);
    auto found = FindAttribute(*holder, type, name, after ? &**after : nullptr);
    if (!found) return {};
    return HeldAttribute(std::move(holder), *found);
  }
  if (list_attribute->ValueSize() > kMaxAttributeListBytes) return {};

  AttributeReader reader(volume, *list_attribute);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) return {};

  // The record that holds `after` is not read again for the entries it holds.
  const std::shared_ptr<const FileRecord> loaded = after ? after->holder_ : nullptr;
  const uint64_t loaded_number = loaded ? loaded->OwnNumber() : 0;
  bool passed_after = after == nullptr;
  for (const AttributeListEntry& entry : AttributeListEntries(*value)) {
    if (entry.Type() != type || type == AttrType::kAny) continue;
    if (name && !entry.NameEquals(*name)) continue;
    const uint64_t number = entry.Reference().RecordNumber();
    const bool in_loaded = loaded && number == loaded_number;
    if (!passed_after) {
      if (in_loaded && entry.Instance() == (*after)->Id()) passed_after = true;
      continue;
    }
    if (in_loaded && !FindAttributeByInstance(*loaded, entry.Instance())) continue;
    if (entry.StartVcn() != 0) continue;

    std::shared_ptr<const FileRecord> holder = loaded;
    if (!in_loaded) {
      auto read = ReadFileRecord(volume, FileReference(number));
      if (!read) return {};
      holder = std::make_shared<const FileRecord>(std::move(*read));
    }
    auto found = FindAttributeByInstance(*holder, entry.Instance());
    if (!found) return {};
    return HeldAttribute(std::move(holder), *found);
  }
  return {};
}

void ForEachFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type, const CountedName* name,
                          const FileAttributeVisitor& visitor) {
  std::set<std::pair<uint64_t, uint16_t>> seen;
  for (auto a = FindFileAttribute(volume, base, type, name, nullptr); a;
       a = FindFileAttribute(volume, base, type, name, &a)) {
    if (!seen.emplace(a.holder().OwnNumber(), a->Id()).second) return;
    if (visitor(*a) == Walk::kStop) return;
  }
}

}  // namespace velmora
