// Small strong types for the numbers NTFS mixes up easily.
#pragma once

#include <compare>
#include <cstdint>
#include <string_view>

namespace velmora {

// A record's place in the MFT: the 48-bit number a file reference's low bits
// give. Records are read by number; a reference adds the sequence number the
// record had when the reference was written, which the reader checks apart.
struct RecordNumber {
  uint64_t value = 0;

  constexpr RecordNumber() = default;
  constexpr explicit RecordNumber(uint64_t v) : value(v) {}
  constexpr auto operator<=>(const RecordNumber&) const = default;
};

// A file reference: record number in the low 48 bits, sequence number in the
// high 16 (0 where the writer did not say which use of the record it meant).
struct FileReference {
  uint64_t value = 0;

  constexpr FileReference() = default;
  constexpr explicit FileReference(uint64_t v) : value(v) {}
  constexpr uint64_t Number() const { return value & 0x0000FFFFFFFFFFFFull; }
  constexpr RecordNumber Record() const { return RecordNumber(Number()); }
  constexpr uint16_t Sequence() const { return static_cast<uint16_t>(value >> 48); }
  constexpr FileReference WithoutSequence() const { return FileReference(Number()); }
  // The reference to a record as it is now, from its number and sequence number.
  static constexpr FileReference Of(uint64_t record_number, uint16_t sequence) {
    return FileReference((uint64_t{sequence} << 48) | (record_number & 0x0000FFFFFFFFFFFFull));
  }
  constexpr bool operator==(const FileReference&) const = default;
};

inline constexpr FileReference kMftReference{0};
inline constexpr FileReference kLogFileReference{2};
inline constexpr FileReference kAttrDefReference{4};
inline constexpr FileReference kRootReference{5};
inline constexpr FileReference kSecureReference{9};
inline constexpr FileReference kUpcaseReference{10};

// Virtual cluster number: a cluster counted from the start of one value
// (in an index allocation, the unit a sub-node link counts). A VCN and an
// LCN never convert into each other, nor from a bare integer implicitly.
struct Vcn {
  uint64_t value = 0;

  constexpr Vcn() = default;
  constexpr explicit Vcn(uint64_t v) : value(v) {}
  constexpr auto operator<=>(const Vcn&) const = default;
  constexpr Vcn operator+(uint64_t clusters) const { return Vcn(value + clusters); }
  // Clusters from `from` up to this VCN.
  constexpr uint64_t operator-(Vcn from) const { return value - from.value; }
};

// Logical cluster number: a cluster counted from the start of the volume.
struct Lcn {
  uint64_t value = 0;

  constexpr Lcn() = default;
  constexpr explicit Lcn(uint64_t v) : value(v) {}
  constexpr auto operator<=>(const Lcn&) const = default;
  constexpr Lcn operator+(uint64_t clusters) const { return Lcn(value + clusters); }
};

// What a visitor tells the walk that called it.
enum class Walk { kContinue, kStop };

// Attribute type codes.
enum class AttrType : uint32_t {
  kAny = 0x00,  // lookups: any type
  kStandardInformation = 0x10,
  kAttributeList = 0x20,
  kFileName = 0x30,
  kObjectId = 0x40,
  kSecurityDescriptor = 0x50,
  kVolumeName = 0x60,
  kVolumeInformation = 0x70,
  kData = 0x80,
  kIndexRoot = 0x90,
  kIndexAllocation = 0xA0,
  kBitmap = 0xB0,
  kReparsePoint = 0xC0,
  kEaInformation = 0xD0,
  kEa = 0xE0,
  kLoggedUtilityStream = 0x100,
  kEnd = 0xFFFFFFFF,  // marks the end of a record's attributes
};

constexpr uint32_t ToU32(AttrType type) { return static_cast<uint32_t>(type); }

// An attribute or index name as the lookups take it (the on-disk counted
// name: a length byte and that many UTF-16 units). Compared unit for unit.
struct CountedName {
  std::u16string_view units;
};

inline constexpr CountedName kI30Name{u"$I30"};
inline constexpr CountedName kSiiName{u"$SII"};

}  // namespace velmora
