// B+ tree indexes: $INDEX_ROOT (the top node, resident) and the INDX blocks
// of $INDEX_ALLOCATION (the lower nodes), walked in key order.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "base/bytes.h"
#include "ntfs/types.h"
#include "ntfs/value_reader.h"
#include "base/error.h"

namespace velmora {

class VolumeContext;

// Index header, inside the root value and every index block; offsets from
// the start of the header.
namespace index_header {
inline constexpr uint64_t kFirstEntry = 0x00;   // u32, from the header start
inline constexpr uint64_t kIndexLength = 0x04;  // u32, bytes in use from the header start
inline constexpr uint64_t kAllocated = 0x08;    // u32
inline constexpr uint64_t kFlags = 0x0C;        // u8; in the root, non-zero: lower nodes exist
inline constexpr uint64_t kSize = 0x10;
}  // namespace index_header

// $INDEX_ROOT value; offsets from the value start.
namespace index_root {
inline constexpr uint64_t kIndexedType = 0x00;      // u32
inline constexpr uint64_t kCollation = 0x04;        // u32
inline constexpr uint64_t kBytesPerBlock = 0x08;    // u32, bytes of one INDX block
inline constexpr uint64_t kClustersPerBlock = 0x0C; // u8
inline constexpr uint64_t kHeader = 0x10;           // index header of the top node
}  // namespace index_root

// INDX block; offsets from the block start.
namespace index_block {
inline constexpr uint64_t kSignature = 0x00;  // "INDX"
inline constexpr uint64_t kLsn = 0x08;        // u64
inline constexpr uint64_t kVcn = 0x10;        // u64
inline constexpr uint64_t kHeader = 0x18;     // index header of this node
inline constexpr uint32_t kIndxSignature = 0x58444E49;
}  // namespace index_block

// Index entry; offsets from the entry start.
namespace index_entry {
inline constexpr uint64_t kData = 0x00;        // 8 bytes: file reference in $I30
inline constexpr uint64_t kLength = 0x08;      // u16, bytes of the entry
inline constexpr uint64_t kKeyLength = 0x0A;   // u16
inline constexpr uint64_t kFlags = 0x0C;       // u8
inline constexpr uint64_t kKey = 0x10;
inline constexpr uint8_t kFlagSubNode = 0x01;  // last 8 bytes: sub-node VCN
inline constexpr uint8_t kFlagLast = 0x02;     // ends the node, carries no key
}  // namespace index_entry

// $FILE_NAME value (the key of $I30 entries); offsets from the value start.
namespace file_name {
inline constexpr uint64_t kParentRef = 0x00;         // u64
inline constexpr uint64_t kCreateTime = 0x08;        // u64 FILETIME
inline constexpr uint64_t kModificationTime = 0x10;  // u64
inline constexpr uint64_t kChangeTime = 0x18;        // u64
inline constexpr uint64_t kAccessTime = 0x20;        // u64
inline constexpr uint64_t kAllocSize = 0x28;         // u64
inline constexpr uint64_t kRealSize = 0x30;          // u64
inline constexpr uint64_t kFlags = 0x38;             // u32; 0x10000000 directory
inline constexpr uint64_t kEr = 0x3C;                // u32, EA size or reparse tag
inline constexpr uint64_t kNameLength = 0x40;        // u8, UTF-16 units
inline constexpr uint64_t kNameSpace = 0x41;         // u8: 0 POSIX, 1 Win32, 2 DOS, 3 both
inline constexpr uint64_t kName = 0x42;
inline constexpr uint32_t kFlagDirectory = 0x10000000;
}  // namespace file_name

// Bounds that make every walk end on a damaged index. A real tree of a
// few billion entries is under ten levels deep.
inline constexpr unsigned kMaxIndexDepth = 32;
inline constexpr uint64_t kMaxIndexBlocksPerWalk = 1u << 22;
inline constexpr uint32_t kMinIndexBlockBytes = 512;
inline constexpr uint32_t kMaxIndexBlockBytes = 64u << 10;
// An INDX block size the walk accepts: a power of two in the bounds above.
bool UsableIndexBlockSize(uint32_t bytes);

// Receives one $I30 entry: its key and the file reference it names, with
// the sequence number cleared (the record number alone).
using EntryVisitor = std::function<Walk(std::span<const uint8_t> key, FileReference file)>;
// Receives one whole entry (its entry-length bytes, a sub-node VCN included)
// and its key: for indexes whose entries carry data behind the key, such as
// $Secure's $SII.
using EntryDataVisitor = std::function<Walk(std::span<const uint8_t> entry, std::span<const uint8_t> key)>;
// Where an entry's key sorts against the key sought: equal (found), less
// (the entry sorts before it) or greater (after it).
using EntryComparator = std::function<std::strong_ordering(std::span<const uint8_t> key)>;

// Reads the INDX blocks of one index allocation.
class IndexBlockReader {
 public:
  IndexBlockReader(VolumeContext& volume, AttributeReader allocation, uint32_t block_bytes);
  // The fixed-up block a sub-node VCN names; on failure, why: unmapped or
  // unreadable, not an INDX block, or failed update sequence.
  Expected<std::vector<uint8_t>> ReadIndexBlock(Vcn vcn);

 private:
  VolumeContext& volume_;
  AttributeReader allocation_;
  uint32_t block_bytes_;
  uint32_t vcn_unit_;  // bytes a sub-node VCN counts
};

// How a walk ended: the result of the last visitor call or sub-walk at the
// top level (kStop when none, or when the index cannot be read), and, when
// the walk stopped on damage or a bound rather than at the end or where the
// visitor asked, why.
struct IndexWalkResult {
  Walk last = Walk::kStop;
  std::optional<Error> stopped;
  // Lower nodes a listing left out, their blocks not being in the source
  // (an extracted $MFT holds the $INDEX_ROOT only).
  uint64_t blocks_not_read = 0;
};

// Walks the named index of a file in key order. With a comparator it is a
// lookup instead: it descends along the one path from the root whose nodes
// could hold the key sought and hands the visitor only the entry equal to
// it, if any; a key that is absent costs the same path as one present.
IndexWalkResult IndexWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                            const EntryVisitor& visitor, const EntryComparator& comparator = nullptr);
// The same walk, handing the visitor whole entries.
IndexWalkResult IndexEntryWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                     const EntryDataVisitor& visitor, const EntryComparator& comparator = nullptr);

}  // namespace velmora
