#include "ntfs/value_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/volume.h"

namespace velmora {

uint32_t CopyResidentRange(const AttributeRecord& attribute, uint64_t offset, std::span<uint8_t> dest) {
  std::span<const uint8_t> value = attribute.ResidentValue();
  if (offset >= value.size()) return 0;
  uint64_t count = std::min<uint64_t>(dest.size(), value.size() - offset);
  std::memcpy(dest.data(), value.data() + offset, count);
  return static_cast<uint32_t>(count);
}

AttributeReader::AttributeReader(VolumeContext& volume, const AttributeRecord& attribute)
    : volume_(volume), attribute_(attribute) {
  if (attribute.NonResident()) runs_.AppendExtent(attribute);
}

AttributeReader::AttributeReader(VolumeContext& volume, const AttributeRecord& attribute, RunList runs)
    : volume_(volume), attribute_(attribute), runs_(std::move(runs)) {}

AttributeReader AttributeReader::ForFileAttribute(VolumeContext& volume, const FileRecord& base,
                                                  const AttributeRecord& attribute) {
  if (!attribute.NonResident() || attribute.StartVcn() != 0) return AttributeReader(volume, attribute);
  return FileAttributes::Open(volume, base).Reader(attribute);
}

AttributeReader AttributeReader::ForFileAttribute(VolumeContext& volume, const FileRecord& base,
                                                  const HeldAttribute& attribute) {
  return FileAttributes::Open(volume, base).Reader(attribute);
}

std::optional<uint32_t> AttributeReader::ReadNonResidentRange(uint64_t offset, std::span<uint8_t> dest) {
  uint64_t size = attribute_.RealSize();
  if (offset >= size || dest.empty() || runs_.empty()) return std::nullopt;
  uint64_t count = std::min<uint64_t>(dest.size(), size - offset);
  if (!ReadRunBytes(volume_, runs_, offset, dest.first(count), /*require_mapped=*/false)) return std::nullopt;
  return static_cast<uint32_t>(count);
}

std::optional<uint32_t> AttributeReader::ReadAttributeRange(uint64_t offset, std::span<uint8_t> dest) {
  if (attribute_.NonResident()) return ReadNonResidentRange(offset, dest);
  return CopyResidentRange(attribute_, offset, dest);
}

const std::vector<uint8_t>* AttributeReader::ReadAttributeValue() {
  value_.reset();
  uint64_t size = attribute_.ValueSize();
  if (size > kMaxWholeValueBytes) return nullptr;
  std::vector<uint8_t> buffer(size);
  if (attribute_.NonResident()) {
    if (!ReadNonResidentRange(0, buffer)) return nullptr;
  } else {
    CopyResidentRange(attribute_, 0, buffer);
  }
  value_ = std::move(buffer);
  return &*value_;
}

bool AttributeReader::ReadMapped(uint64_t offset, std::span<uint8_t> dest) {
  if (!attribute_.NonResident()) return false;
  return ReadRunBytes(volume_, runs_, offset, dest, /*require_mapped=*/true);
}

}  // namespace velmora
