// $LogFile's layout: the two restart pages and their restart areas with
// the client records, the record pages, the log record header and the
// NTFS client's operation header inside a log record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/error.h"

namespace velmora {

namespace logfile {
// Log file offset of the second restart page (the first is at 0).
inline constexpr uint64_t kSecondRestartPage = 0x1000;

// Restart page, offsets from the page start.
inline constexpr uint64_t kPageSignature = 0x00;      // "RSTR" or "RCRD"
inline constexpr uint64_t kChkDskLsn = 0x08;          // u64
inline constexpr uint64_t kSystemPageSize = 0x10;     // u32, bytes of each restart page
inline constexpr uint64_t kLogPageSize = 0x14;        // u32
inline constexpr uint64_t kRestartAreaOffset = 0x18;  // u16
inline constexpr uint64_t kMinorVersion = 0x1A;       // s16
inline constexpr uint64_t kMajorVersion = 0x1C;       // s16
inline constexpr uint32_t kRestartSignature = 0x52545352;  // "RSTR"
inline constexpr uint32_t kRecordSignature = 0x44524352;   // "RCRD"

// Restart area, offsets from its start.
inline constexpr uint64_t kCurrentLsn = 0x00;           // u64, the newest record when the area was written
inline constexpr uint64_t kLogClients = 0x08;           // u16
inline constexpr uint64_t kClientFreeList = 0x0A;       // u16, 0xFFFF: none
inline constexpr uint64_t kClientInUseList = 0x0C;      // u16
inline constexpr uint64_t kRestartFlags = 0x0E;         // u16; 0x0002 clean shutdown
inline constexpr uint64_t kSequenceNumberBits = 0x10;   // u32
inline constexpr uint64_t kRestartAreaLength = 0x14;    // u16
inline constexpr uint64_t kClientArrayOffset = 0x16;    // u16, from the area start
inline constexpr uint64_t kFileSize = 0x18;             // u64, bytes of the log
inline constexpr uint64_t kLastLsnDataLength = 0x20;    // u32
inline constexpr uint64_t kRecordHeaderLength = 0x24;   // u16
inline constexpr uint64_t kLogPageDataOffset = 0x26;    // u16, first record byte of a record page
inline constexpr uint64_t kRestartOpenCount = 0x28;     // u32
inline constexpr uint64_t kRestartAreaBytes = 0x30;

// Client record, one per log client in the restart area's client array.
inline constexpr uint64_t kClientOldestLsn = 0x00;      // u64
inline constexpr uint64_t kClientRestartLsn = 0x08;     // u64
inline constexpr uint64_t kClientPrevious = 0x10;       // u16
inline constexpr uint64_t kClientNext = 0x12;           // u16
inline constexpr uint64_t kClientSequence = 0x14;       // u16
inline constexpr uint64_t kClientNameLength = 0x1C;     // u32, bytes
inline constexpr uint64_t kClientName = 0x20;           // UTF-16, 64 units at most
inline constexpr uint64_t kClientRecordBytes = 0xA0;
inline constexpr uint16_t kNoClient = 0xFFFF;

// Record page header, offsets from the page start.
inline constexpr uint64_t kPageLastLsn = 0x08;          // u64, the last record that starts on the page
inline constexpr uint64_t kPageFlags = 0x10;            // u32; 0x1 a record ends on the page
inline constexpr uint64_t kPageCount = 0x14;            // u16, pages of the write this one belongs to
inline constexpr uint64_t kPagePosition = 0x16;         // u16, its place in that write, from 1
inline constexpr uint64_t kPageNextRecordOffset = 0x18; // u16
inline constexpr uint64_t kPageLastEndLsn = 0x20;       // u64, the last record that ends on the page
inline constexpr uint64_t kRecordPageHeaderBytes = 0x28;

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
inline constexpr uint64_t kClientData = 0x30;         // the client's bytes follow the header
inline constexpr uint16_t kRecordMultiPage = 0x0001;  // the record continues on the next page
// Record types.
inline constexpr uint32_t kClientRecord = 1;
inline constexpr uint32_t kClientRestart = 2;

// NTFS's operation header at the start of a client record's data; the
// redo and undo offsets count from its start.
inline constexpr uint64_t kRedoOperation = 0x00;       // u16
inline constexpr uint64_t kUndoOperation = 0x02;       // u16
inline constexpr uint64_t kRedoOffset = 0x04;          // u16
inline constexpr uint64_t kRedoLength = 0x06;          // u16
inline constexpr uint64_t kUndoOffset = 0x08;          // u16
inline constexpr uint64_t kUndoLength = 0x0A;          // u16
inline constexpr uint64_t kTargetAttribute = 0x0C;     // u16, index into the open attribute table
inline constexpr uint64_t kLcnsToFollow = 0x0E;        // u16
inline constexpr uint64_t kRecordOffset = 0x10;        // u16, of the attribute in its file record
inline constexpr uint64_t kAttributeOffset = 0x12;     // u16, of the change in the attribute
inline constexpr uint64_t kClusterBlockOffset = 0x14;  // u16, 512-byte blocks into the target cluster
inline constexpr uint64_t kTargetVcn = 0x18;           // u64
inline constexpr uint64_t kLcnList = 0x20;             // u64 each, kLcnsToFollow of them
inline constexpr uint64_t kClusterBlockBytes = 512;

// The operation codes NTFS writes as redo and undo operations.
enum class LogOperation : uint16_t {
  kNoop = 0x00,
  kCompensationLogRecord = 0x01,
  kInitializeFileRecordSegment = 0x02,
  kDeallocateFileRecordSegment = 0x03,
  kWriteEndOfFileRecordSegment = 0x04,
  kCreateAttribute = 0x05,
  kDeleteAttribute = 0x06,
  kUpdateResidentValue = 0x07,
  kUpdateNonresidentValue = 0x08,
  kUpdateMappingPairs = 0x09,
  kDeleteDirtyClusters = 0x0A,
  kSetNewAttributeSizes = 0x0B,
  kAddIndexEntryRoot = 0x0C,
  kDeleteIndexEntryRoot = 0x0D,
  kAddIndexEntryAllocation = 0x0E,
  kDeleteIndexEntryAllocation = 0x0F,
  kWriteEndOfIndexBuffer = 0x10,
  kSetIndexEntryVcnRoot = 0x11,
  kSetIndexEntryVcnAllocation = 0x12,
  kUpdateFileNameRoot = 0x13,
  kUpdateFileNameAllocation = 0x14,
  kSetBitsInNonresidentBitMap = 0x15,
  kClearBitsInNonresidentBitMap = 0x16,
  kHotFix = 0x17,
  kEndTopLevelAction = 0x18,
  kPrepareTransaction = 0x19,
  kCommitTransaction = 0x1A,
  kForgetTransaction = 0x1B,
  kOpenNonresidentAttribute = 0x1C,
  kOpenAttributeTableDump = 0x1D,
  kAttributeNamesDump = 0x1E,
  kDirtyPageTableDump = 0x1F,
  kTransactionTableDump = 0x20,
  kUpdateRecordDataRoot = 0x21,
  kUpdateRecordDataAllocation = 0x22,
};
inline constexpr uint16_t kOperationCount = 0x23;

// The operation's name, or an empty view for a code outside the table.
std::string_view LogOperationName(uint16_t code);
// Whether the operation's target is a file record of the MFT (its VCN and
// cluster block offset then name the record).
bool OperationTargetsFileRecord(uint16_t code);

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
