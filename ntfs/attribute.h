// The attribute record: the header every attribute of a file record begins
// with, followed by a resident or a non-resident part.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/bytes.h"
#include "ntfs/types.h"

namespace velmora {

// Offsets in bytes from the start of the attribute record.
namespace attr {
// Common part.
inline constexpr uint64_t kType = 0x00;        // u32; 0xFFFFFFFF ends the record's attributes
inline constexpr uint64_t kTotalSize = 0x04;   // u32, bytes of the whole attribute record
inline constexpr uint64_t kNonResident = 0x08; // u8
inline constexpr uint64_t kNameLength = 0x09;  // u8, UTF-16 units
inline constexpr uint64_t kNameOffset = 0x0A;  // u16, from the attribute start
inline constexpr uint64_t kFlags = 0x0C;       // u16
inline constexpr uint64_t kId = 0x0E;          // u16, instance number within the record
inline constexpr uint64_t kCommonSize = 0x10;
// Resident part.
inline constexpr uint64_t kAttrSize = 0x10;    // u32, value bytes
inline constexpr uint64_t kAttrOffset = 0x14;  // u16, value offset from the attribute start
inline constexpr uint64_t kIndexedFlag = 0x16; // u8
inline constexpr uint64_t kResidentSize = 0x18;
// Non-resident part.
inline constexpr uint64_t kStartVcn = 0x10;       // u64, first VCN these mapping pairs describe
inline constexpr uint64_t kLastVcn = 0x18;        // u64, last VCN they describe
inline constexpr uint64_t kDataRunOffset = 0x20;  // u16, mapping pairs from the attribute start
inline constexpr uint64_t kCompUnitSize = 0x22;   // u16
inline constexpr uint64_t kAllocSize = 0x28;      // u64, bytes
inline constexpr uint64_t kRealSize = 0x30;       // u64, bytes of the value
inline constexpr uint64_t kIniSize = 0x38;        // u64, bytes initialised
inline constexpr uint64_t kNonResidentSize = 0x40;

// Flags (kFlags). The low byte names the compression: 1 is LZNT1, the only
// one NTFS defines.
inline constexpr uint16_t kFlagCompressionMask = 0x00FF;
inline constexpr uint16_t kFlagLznt1 = 0x0001;
inline constexpr uint16_t kFlagEncrypted = 0x4000;
inline constexpr uint16_t kFlagSparse = 0x8000;
}  // namespace attr

// A validated view of one attribute record inside a file record buffer.
// Opening checks that the record, its name and its resident value or mapping
// pairs lie within the record's used bytes; after that no accessor can
// reach outside it. Valid while the buffer it was opened on lives.
class AttributeRecord {
 public:
  // The attribute at offset of record, which may extend to bound; nullopt at
  // the end marker or when the record there is damaged.
  static std::optional<AttributeRecord> Open(std::span<const uint8_t> record, uint32_t offset, uint32_t bound);

  uint32_t offset() const { return offset_; }  // within its file record; its identity there
  LeBytes bytes() const { return LeBytes(bytes_); }

  uint32_t TypeCode() const { return bytes().U32(attr::kType); }
  AttrType Type() const { return static_cast<AttrType>(TypeCode()); }
  uint32_t TotalSize() const { return bytes().U32(attr::kTotalSize); }
  uint8_t NonResidentByte() const { return bytes().U8(attr::kNonResident); }
  bool NonResident() const { return NonResidentByte() != 0; }
  uint8_t NameLength() const { return bytes().U8(attr::kNameLength); }
  uint16_t NameOffset() const { return bytes().U16(attr::kNameOffset); }
  uint16_t Flags() const { return bytes().U16(attr::kFlags); }
  uint16_t Id() const { return bytes().U16(attr::kId); }
  std::u16string Name() const { return bytes().Utf16(NameOffset(), NameLength()); }
  bool NameEquals(const CountedName& name) const;

  // Resident part.
  uint32_t AttrSize() const { return bytes().U32(attr::kAttrSize); }
  uint16_t AttrOffset() const { return bytes().U16(attr::kAttrOffset); }
  uint8_t IndexedFlag() const { return bytes().U8(attr::kIndexedFlag); }
  std::span<const uint8_t> ResidentValue() const { return bytes().Sub(AttrOffset(), AttrSize()); }

  // Non-resident part.
  uint64_t StartVcn() const { return bytes().U64(attr::kStartVcn); }
  uint64_t LastVcn() const { return bytes().U64(attr::kLastVcn); }
  uint16_t DataRunOffset() const { return bytes().U16(attr::kDataRunOffset); }
  uint16_t CompUnitSize() const { return bytes().U16(attr::kCompUnitSize); }
  uint64_t AllocSize() const { return bytes().U64(attr::kAllocSize); }
  uint64_t RealSize() const { return bytes().U64(attr::kRealSize); }
  uint64_t IniSize() const { return bytes().U64(attr::kIniSize); }
  std::span<const uint8_t> MappingPairs() const {
    return bytes().Sub(DataRunOffset(), TotalSize() - DataRunOffset());
  }

  // RealSize of a non-resident value, AttrSize of a resident one.
  uint64_t ValueSize() const { return NonResident() ? RealSize() : AttrSize(); }

 private:
  AttributeRecord(std::span<const uint8_t> bytes, uint32_t offset) : bytes_(bytes), offset_(offset) {}
  std::span<const uint8_t> bytes_;
  uint32_t offset_;
};

}  // namespace velmora
