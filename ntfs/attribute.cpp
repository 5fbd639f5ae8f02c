#include "ntfs/attribute.h"

namespace velmora {

std::optional<AttributeRecord> AttributeRecord::Open(std::span<const uint8_t> record, uint32_t offset,
                                                     uint32_t bound) {
  LeBytes whole(record);
  if (bound > record.size()) bound = static_cast<uint32_t>(record.size());
  if (offset >= bound || !whole.Fits(offset, 4)) return std::nullopt;
  if (whole.U32(offset + attr::kType) == ToU32(AttrType::kEnd)) return std::nullopt;
  if (!whole.Fits(offset, attr::kCommonSize) || offset + attr::kCommonSize > bound) return std::nullopt;
  uint32_t total = whole.U32(offset + attr::kTotalSize);
  if (total < attr::kResidentSize || total > bound - offset) return std::nullopt;

  AttributeRecord a(record.subspan(offset, total), offset);
  LeBytes bytes = a.bytes();
  if (a.NameLength() != 0 && !bytes.Fits(a.NameOffset(), uint64_t{a.NameLength()} * 2)) return std::nullopt;
  if (a.NonResident()) {
    if (total < attr::kNonResidentSize || a.DataRunOffset() > total) return std::nullopt;
  } else if (!bytes.Fits(a.AttrOffset(), a.AttrSize())) {
    return std::nullopt;
  }
  return a;
}

bool AttributeRecord::NameEquals(const CountedName& name) const {
  if (NameLength() != name.units.size()) return false;
  LeBytes b = bytes();
  for (size_t i = 0; i < name.units.size(); ++i) {
    if (b.U16(NameOffset() + 2 * i) != name.units[i]) return false;
  }
  return true;
}

}  // namespace velmora
