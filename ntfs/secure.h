// $Secure's descriptor store: the $SII index maps a security id to the
// position of the descriptor's entry in the $SDS stream.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

#include "ntfs/types.h"
#include "base/error.h"

namespace velmora {

class VolumeContext;

// $SII index entry; offsets from the entry start. Its data is a copy of the
// $SDS entry header.
namespace sii_entry {
inline constexpr uint64_t kKey = 0x10;           // u32, the security id
inline constexpr uint64_t kHash = 0x14;          // u32, hash of the descriptor
inline constexpr uint64_t kSecurityId = 0x18;    // u32
inline constexpr uint64_t kSdsOffset = 0x1C;     // u64, of the $SDS entry in the stream
inline constexpr uint64_t kSdsLength = 0x24;     // u32, of the $SDS entry, header included
inline constexpr uint64_t kSize = 0x28;
}  // namespace sii_entry

// $SDS entry; offsets from the entry start.
namespace sds_entry {
inline constexpr uint64_t kHash = 0x00;          // u32
inline constexpr uint64_t kSecurityId = 0x04;    // u32
inline constexpr uint64_t kOffset = 0x08;        // u64, of this entry in the stream
inline constexpr uint64_t kLength = 0x10;        // u32, header included
inline constexpr uint64_t kDescriptor = 0x14;    // the self-relative security descriptor
}  // namespace sds_entry

// Ids below this are never assigned; NTFS numbers descriptors from 0x100.
inline constexpr uint32_t kFirstSecurityId = 0x100;
// $SDS is written in 256 KiB blocks and an entry never crosses one; a
// longer length is damage and is not allocated.
inline constexpr uint32_t kMaxSdsEntryBytes = 0x40000;

// What the $SII search looks for and what it found.
struct SecurityIdQuery {
  bool found = false;
  uint32_t security_id = 0;
  uint64_t sds_offset = 0;
  uint32_t entry_length = 0;
};

// Where the entry's key sorts against the id sought: the sign of the key
// minus the id with 32-bit wrap-around, read as a signed number (exact for
// ids less than 2^31 apart). A key shorter than 4 bytes counts as 0.
std::strong_ordering CompareSecurityId(std::span<const uint8_t> key, const SecurityIdQuery& query);

// Visitor of the $SII walk over whole entries: on the id sought, records
// the $SDS offset and length, sets found and stops the walk. An entry too
// short to hold the $SDS position is passed over.
Walk MatchSecurityId(std::span<const uint8_t> entry, SecurityIdQuery& query);

// The $SDS entry (header and descriptor) stored under a security id. Only
// the index is consulted: the stream is read where the $SII entry says,
// never scanned. On failure, why: the id is not in $SII (kind kAbsent), the
// index could not be walked to it, the $SII entry gives a length below the
// entry header or above kMaxSdsEntryBytes, the stream is missing or the
// entry cannot be read whole, or the entry's own header does not name the
// id and the offset the $SII entry gave (the index and the stream disagree:
// the bytes there are another descriptor's, or none).
Expected<std::vector<uint8_t>> ReadSdsEntry(VolumeContext& volume, uint32_t security_id);

}  // namespace velmora
