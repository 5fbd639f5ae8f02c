// File records of the master file table, and the update sequence array that
// protects file records, index blocks and log pages alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/attribute.h"
#include "base/bytes.h"
#include "ntfs/data_runs.h"
#include "ntfs/types.h"
#include "base/error.h"

namespace velmora {

class VolumeContext;

// File record header; offsets in bytes from the start of the record.
namespace record {
inline constexpr uint64_t kSignature = 0x00;      // "FILE"
inline constexpr uint64_t kOffsetOfUS = 0x04;     // u16, update sequence array offset
inline constexpr uint64_t kSizeOfUS = 0x06;       // u16, words in the array, the USN included
inline constexpr uint64_t kLogSeqNumber = 0x08;   // u64
inline constexpr uint64_t kSequence = 0x10;       // u16
inline constexpr uint64_t kHardLinks = 0x12;      // u16
inline constexpr uint64_t kOffsetOfAttr = 0x14;   // u16, first attribute record
inline constexpr uint64_t kFlags = 0x16;          // u16; 0x0001 in use, 0x0002 directory
inline constexpr uint64_t kFirstFreeByte = 0x18;  // u32, bytes in use
inline constexpr uint64_t kAllocSize = 0x1C;      // u32, bytes allocated
inline constexpr uint64_t kRefToBase = 0x20;      // u64, base record reference; 0 in a base record
inline constexpr uint64_t kNextAttrId = 0x28;     // u16
inline constexpr uint64_t kNumberHigh = 0x2A;     // u16, bits 32..47 of the record's own number
inline constexpr uint64_t kNumberLow = 0x2C;      // u32, bits 0..31
inline constexpr uint64_t kHeaderSize = 0x30;
inline constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
inline constexpr uint16_t kFlagInUse = 0x0001;
inline constexpr uint16_t kFlagDirectory = 0x0002;
// Records 0 to 23 are read straight from the MFT's first cluster run.
inline constexpr uint64_t kDirectRecords = 24;
}  // namespace record

// One file record with its update sequence undone, and the number it was
// read at: a record's identity. The header's own number field is shown as it
// stands but never trusted for identity: 42-byte headers (older NTFS
// versions) have no such field, their update sequence array lies there.
class FileRecord {
 public:
  FileRecord(std::vector<uint8_t> bytes, RecordNumber number) : bytes_(std::move(bytes)), number_(number) {}

  std::span<const uint8_t> span() const { return bytes_; }
  // The bytes back, for a reader that reuses one buffer record after record.
  std::vector<uint8_t> Release() && { return std::move(bytes_); }
  LeBytes bytes() const { return LeBytes(bytes_); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
  RecordNumber Number() const { return number_; }
  // The reference to this record as it is in use now.
  FileReference Reference() const { return FileReference::Of(number_.value, Sequence()); }
  // A reference names an earlier or later use of this record when it carries
  // a sequence number (0 means "any") other than the record's.
  bool IsStaleFor(FileReference reference) const {
    return reference.Sequence() != 0 && reference.Sequence() != Sequence();
  }

  uint16_t OffsetOfUS() const { return bytes().U16(record::kOffsetOfUS); }
  uint16_t SizeOfUS() const { return bytes().U16(record::kSizeOfUS); }
  uint64_t LogSeqNumber() const { return bytes().U64(record::kLogSeqNumber); }
  uint16_t Sequence() const { return bytes().U16(record::kSequence); }
  uint16_t HardLinks() const { return bytes().U16(record::kHardLinks); }
  uint16_t OffsetOfAttr() const { return bytes().U16(record::kOffsetOfAttr); }
  uint16_t Flags() const { return bytes().U16(record::kFlags); }
  uint32_t FirstFreeByte() const { return bytes().U32(record::kFirstFreeByte); }
  uint32_t AllocSize() const { return bytes().U32(record::kAllocSize); }
  uint64_t RefToBase() const { return bytes().U64(record::kRefToBase); }
  uint16_t NextAttrId() const { return bytes().U16(record::kNextAttrId); }
  // The number the header states, where it has the field: headers of 42
  // bytes (the update sequence array at 0x2A) have none.
  std::optional<uint64_t> HeaderNumber() const {
    if (OffsetOfUS() < record::kHeaderSize) return std::nullopt;
    return (uint64_t{NumberHigh()} << 32) | NumberLow();
  }
  uint16_t NumberHigh() const { return bytes().U16(record::kNumberHigh); }
  uint32_t NumberLow() const { return bytes().U32(record::kNumberLow); }
  // Attribute walks end at the used bytes (never past the buffer).
  uint32_t ScanBound() const { return FirstFreeByte() < size() ? FirstFreeByte() : size(); }

 private:
  std::vector<uint8_t> bytes_;
  RecordNumber number_;
};

// Walks a record's attribute records: from OffsetOfAttr, stepping by each
// TotalSize, ending at the end marker, at the used bytes, or at a damaged
// attribute record.
class AttributeWalk {
 public:
  explicit AttributeWalk(const FileRecord& record) : record_(record), next_(record.OffsetOfAttr()) {}
  std::optional<AttributeRecord> Next();

 private:
  const FileRecord& record_;
  uint64_t next_;
};

// Undoes the update sequence of a protected block in place: word i of the
// array replaces the last word of the i-th 512-byte stride, which must hold
// the update sequence number. False when the array is damaged (SizeOfUS 0,
// array or strides outside the block) or a stride is torn.
bool ApplyUpdateSequence(std::span<uint8_t> block, uint32_t stride);

// Reads a file record by number; records 24 and up are found through the
// MFT's own runs. On failure, which record and why (outside the MFT, bad
// signature, failed update sequence, unreadable).
Expected<FileRecord> ReadFileRecord(VolumeContext& volume, RecordNumber number);

// The MFT's own runs, found from record 0 on first use and kept by the
// volume; null when they cannot be, and for an extracted $MFT (which is
// read by offset, having no runs of its own).
const RunList* MftRunList(VolumeContext& volume);
// The same, or why they cannot be found (loading is tried again next time).
Expected<const RunList*> CachedMftRuns(VolumeContext& volume);

}  // namespace velmora
