#include "ntfs/lookup.h"

#include "ntfs/attribute_set.h"

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
                                const CountedName* name) {
  return FileAttributes::Open(volume, base).First(type, name);
}

}  // namespace velmora
