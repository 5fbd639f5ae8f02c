// $LogFile's layout as far as -n reads it: the second restart page, its
// restart area, and the header of one log record inside a record page.
#pragma once

#include <cstdint>
#include <optional>

#include "base/bytes.h"
#include "base/error.h"

namespace velmora {

namespace logfile {
// Log file offset of the second restart page (the first is at 0).
inline constexpr uint64_t kSecondRestartPage = 0x1000;

// Restart page, offsets from the page start.
inline constexpr uint64_t kPageSignature = 0x00;      // "RSTR" or "RCRD"
inline constexpr uint64_t kLogPageSize = 0x14;        // u32
inline constexpr uint64_t kRestartAreaOffset = 0x18;  // u16
inline constexpr uint32_t kRestartSignature = 0x52545352;  // "RSTR"
inline constexpr uint32_t kRecordSignature = 0x44524352;   // "RCRD"

// Restart area, offsets from its start.
inline constexpr uint64_t kSequenceNumberBits = 0x10;  // u32

// Log record header, offsets from the record start.
inline constexpr uint64_t kThisLsn = 0x00;            // u64
inline constexpr uint64_t kClientPreviousLsn = 0x08;  // u64
inline constexpr uint64_t kClientUndoNextLsn = 0x10;  // u64
inline constexpr uint64_t kClientDataLength = 0x18;   // u32
inline constexpr uint64_t kSeqNumber = 0x1C;          // u16
inline constexpr uint64_t kClientIndex = 0x1E;        // u16
inline constexpr uint64_t kRecordType = 0x20;         // u32
inline constexpr uint64_t kTransactionId = 0x24;      // u32
inline constexpr uint64_t kFlags = 0x28;              // u16
inline constexpr uint64_t kRecordHeaderBytes = 0x2A;  // through Flags

// A page buffer larger than this comes from a boot sector no real volume
// has (log pages are 4 KiB in practice).
inline constexpr uint32_t kMaxPageBuffer = 64u << 10;
}  // namespace logfile

// Where an LSN's record lies in the log file.
struct LsnPlacement {
  uint64_t file_offset = 0;  // the LSN's low 64 - S bits, times 8
  uint64_t page_offset = 0;  // file_offset rounded down to its log page
  uint32_t in_page = 0;      // the record's position within that page
};

// The placement of lsn under S sequence number bits and log pages of
// page_size bytes. Refused, saying which: S outside 3..63 (the shifts would
// be meaningless), or a page size that is not a power of two (its mask
// would not round an offset down to a page).
Expected<LsnPlacement> PlaceLsn(uint64_t lsn, uint32_t sequence_bits, uint32_t page_size);

// Bytes of the buffer one log page is read into, from the boot sector:
// sectors per cluster x the u32 at 0x44 x bytes per sector; when the byte at
// 0x44 is negative (clusters larger than an index block) the index block
// size it encodes, 2^-byte. nullopt when 0 or above kMaxPageBuffer.
std::optional<uint32_t> LogPageBufferSize(LeBytes boot);

}  // namespace velmora
