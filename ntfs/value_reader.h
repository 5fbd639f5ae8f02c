// Reading attribute values: copied out of the record when resident,
// gathered through the runs when not.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/attribute.h"
#include "ntfs/data_runs.h"

namespace velmora {

class FileRecord;
class HeldAttribute;
class VolumeContext;

// The largest value read whole into memory (attribute lists, the MFT
// bitmap, $AttrDef, $UpCase). The MFT bitmap of a volume with 500 million
// records is 64 MiB; anything claiming more is not read rather than allocated.
inline constexpr uint64_t kMaxWholeValueBytes = 64u << 20;

// Copies up to dest.size() bytes of a resident value from offset; returns
// the count copied (0 at or past the end).
uint32_t CopyResidentRange(const AttributeRecord& attribute, uint64_t offset, std::span<uint8_t> dest);

class AttributeReader {
 public:
  // Reads through this attribute record's own runs only.
  AttributeReader(VolumeContext& volume, const AttributeRecord& attribute);
  // Reads through the runs of every extent of the attribute: the record
  // found by a lookup plus the later extents that base's attribute list
  // names (FileAttributes::Reader, for a caller that reads one value).
  static AttributeReader ForFileAttribute(VolumeContext& volume, const FileRecord& base,
                                          const AttributeRecord& attribute);
  // The same for an attribute a lookup found: the reader shares the record
  // that holds it, so it may outlive the handle.
  static AttributeReader ForFileAttribute(VolumeContext& volume, const FileRecord& base,
                                          const HeldAttribute& attribute);

  const AttributeRecord& attribute() const { return attribute_; }
  bool NonResident() const { return attribute_.NonResident(); }
  uint64_t ValueSize() const { return attribute_.ValueSize(); }
  // The runs of every extent read through (empty for a resident value).
  const RunList& runs() const { return runs_; }
  VolumeContext& volume() const { return volume_; }

  // Up to dest.size() bytes from offset of a non-resident value, clamped to
  // RealSize; bytes no run maps read as zeros. nullopt when nothing can be
  // read (offset at or past the end, an empty request, no run, a device
  // failure); else the count copied.
  std::optional<uint32_t> ReadNonResidentRange(uint64_t offset, std::span<uint8_t> dest);
  // Either kind; a resident range past the end copies nothing and succeeds.
  std::optional<uint32_t> ReadAttributeRange(uint64_t offset, std::span<uint8_t> dest);
  // The whole value, held by the reader; null on failure or when larger than
  // kMaxWholeValueBytes.
  const std::vector<uint8_t>* ReadAttributeValue();
  // Exactly dest.size() bytes at a byte offset of a non-resident value,
  // every byte from a mapped cluster (index blocks): false otherwise.
  bool ReadMapped(uint64_t offset, std::span<uint8_t> dest);

 private:
  friend class FileAttributes;
  AttributeReader(VolumeContext& volume, const AttributeRecord& attribute, RunList runs);
  VolumeContext& volume_;
  std::shared_ptr<const FileRecord> holder_;  // when set, the record attribute_ lies in
  AttributeRecord attribute_;
  RunList runs_;
  std::optional<std::vector<uint8_t>> value_;
};

}  // namespace velmora
