// $ATTRIBUTE_LIST: where each attribute (or extent of one) of a file lives
// when its attributes do not fit in the base record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "ntfs/data_runs.h"
#include "ntfs/types.h"

namespace velmora {

class AttributeRecord;
class FileRecord;
class VolumeContext;

// Attribute list entry; offsets in bytes from the start of the entry.
namespace list_entry {
inline constexpr uint64_t kType = 0x00;        // u32
inline constexpr uint64_t kLength = 0x04;      // u16, bytes of this entry
inline constexpr uint64_t kNameLength = 0x06;  // u8, UTF-16 units
inline constexpr uint64_t kNameOffset = 0x07;  // u8, from the entry start
inline constexpr uint64_t kStartVcn = 0x08;    // u64; 0 for resident values and first extents
inline constexpr uint64_t kReference = 0x10;   // u64, file reference of the holding record
inline constexpr uint64_t kInstance = 0x18;    // u16, attribute Id in that record
inline constexpr uint64_t kMinSize = 0x1A;
}  // namespace list_entry

// A validated entry: its length and name lie within the list value.
class AttributeListEntry {
 public:
  explicit AttributeListEntry(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  LeBytes bytes() const { return LeBytes(bytes_); }
  uint32_t TypeCode() const { return bytes().U32(list_entry::kType); }
  AttrType Type() const { return static_cast<AttrType>(TypeCode()); }
  uint16_t Length() const { return bytes().U16(list_entry::kLength); }
  uint8_t NameLength() const { return bytes().U8(list_entry::kNameLength); }
  uint8_t NameOffset() const { return bytes().U8(list_entry::kNameOffset); }
  std::u16string Name() const { return bytes().Utf16(NameOffset(), NameLength()); }
  bool NameEquals(const CountedName& name) const;
  uint64_t StartVcn() const { return bytes().U64(list_entry::kStartVcn); }
  FileReference Reference() const { return FileReference(bytes().U64(list_entry::kReference)); }
  uint16_t Instance() const { return bytes().U16(list_entry::kInstance); }

 private:
  std::span<const uint8_t> bytes_;
};

// One entry of an attribute list as it stands on disk, copied out of the
// list value.
struct ListedAttribute {
  uint32_t type_code = 0;
  FileReference holder;  // as written: the sequence number included
  uint16_t instance = 0;
  Vcn start_vcn;
  std::u16string name;

  AttrType Type() const { return static_cast<AttrType>(type_code); }
  bool NameEquals(const CountedName& other) const { return name == other.units; }
};

// The largest list value read. NTFS itself keeps an attribute list within
// 256 KiB (a file needing more fails to grow), so a larger one is damage;
// it bounds the entries any lookup follows (at most ~10,000 of 26 bytes).
inline constexpr uint64_t kMaxAttributeListBytes = 256u << 10;

// The entries of a list value in order. Ends at the end of the value, or at
// the first damaged entry (length below the entry header or reaching past
// the value, a name outside the entry).
std::vector<AttributeListEntry> AttributeListEntries(std::span<const uint8_t> value);
// The same entries copied out, so that they may outlive the value.
std::vector<ListedAttribute> ListAttributes(std::span<const uint8_t> value);

// The whole value of the base record's first $ATTRIBUTE_LIST; nullopt when
// there is none, it cannot be read, or it is larger than kMaxAttributeListBytes.
std::optional<std::vector<uint8_t>> ReadAttributeListValue(VolumeContext& volume, const FileRecord& base);

// Reads the record of the given number that holds a later extent; `gathered`
// holds the runs found so far (the MFT's own extents are read through them).
// Null when it cannot be read.
using ExtentRecordReader =
    std::function<std::shared_ptr<const FileRecord>(uint64_t number, const RunList& gathered)>;

// The runs of a whole non-resident value: those of `first`, its extent at
// VCN 0, then those of the later extents that the list names with the same
// type and name, in VCN order. Each later extent is the attribute whose Id is
// the entry's instance in the record read_record returns, taken only when it
// is non-resident of that type and starts at the entry's VCN; extents that
// do not continue the runs so far are skipped (RunList::AppendExtent), and
// the gathering ends at the run bound.
RunList GatherExtentRuns(const std::vector<ListedAttribute>& list, const AttributeRecord& first,
                         const ExtentRecordReader& read_record);

}  // namespace velmora
