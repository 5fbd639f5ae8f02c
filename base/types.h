// Small strong types for the numbers NTFS mixes up easily: a record's
// number and a reference to one use of it, a cluster counted within a value
// and one counted on the volume.
#pragma once

#include <compare>
#include <cstdint>

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

}  // namespace velmora
