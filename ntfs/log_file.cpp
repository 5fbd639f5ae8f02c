#include "ntfs/log_file.h"

#include <bit>

#include "ntfs/volume.h"
#include "base/format.h"

namespace velmora {

Expected<LsnPlacement> PlaceLsn(uint64_t lsn, uint32_t sequence_bits, uint32_t page_size) {
  if (sequence_bits < 3 || sequence_bits > 63)
    return Error{{}, Format("%u sequence number bits, outside 3 to 63", sequence_bits)};
  if (!std::has_single_bit(page_size)) return Error{{}, Format("log page size 0x%X, not a power of two", page_size)};
  const uint32_t mask = page_size - 1;
  LsnPlacement placement;
  placement.file_offset = (lsn << sequence_bits) >> (sequence_bits - 3);
  placement.page_offset = placement.file_offset & ~uint64_t{mask};
  placement.in_page = (static_cast<uint32_t>(lsn) * 8u) & mask;
  return placement;
}

std::string_view logfile::LogOperationName(uint16_t code) {
  static constexpr std::string_view kNames[logfile::kOperationCount] = {
      "Noop",
      "CompensationLogRecord",
      "InitializeFileRecordSegment",
      "DeallocateFileRecordSegment",
      "WriteEndOfFileRecordSegment",
      "CreateAttribute",
      "DeleteAttribute",
      "UpdateResidentValue",
      "UpdateNonresidentValue",
      "UpdateMappingPairs",
      "DeleteDirtyClusters",
      "SetNewAttributeSizes",
      "AddIndexEntryRoot",
      "DeleteIndexEntryRoot",
      "AddIndexEntryAllocation",
      "DeleteIndexEntryAllocation",
      "WriteEndOfIndexBuffer",
      "SetIndexEntryVcnRoot",
      "SetIndexEntryVcnAllocation",
      "UpdateFileNameRoot",
      "UpdateFileNameAllocation",
      "SetBitsInNonresidentBitMap",
      "ClearBitsInNonresidentBitMap",
      "HotFix",
      "EndTopLevelAction",
      "PrepareTransaction",
      "CommitTransaction",
      "ForgetTransaction",
      "OpenNonresidentAttribute",
      "OpenAttributeTableDump",
      "AttributeNamesDump",
      "DirtyPageTableDump",
      "TransactionTableDump",
      "UpdateRecordDataRoot",
      "UpdateRecordDataAllocation",
  };
  return code < logfile::kOperationCount ? kNames[code] : std::string_view();
}

bool logfile::OperationTargetsFileRecord(uint16_t code) {
  using enum logfile::LogOperation;
  switch (static_cast<logfile::LogOperation>(code)) {
    case kInitializeFileRecordSegment:
    case kDeallocateFileRecordSegment:
    case kWriteEndOfFileRecordSegment:
    case kCreateAttribute:
    case kDeleteAttribute:
    case kUpdateResidentValue:
    case kUpdateMappingPairs:
    case kSetNewAttributeSizes:
    case kAddIndexEntryRoot:
    case kDeleteIndexEntryRoot:
    case kSetIndexEntryVcnRoot:
    case kUpdateFileNameRoot:
    case kUpdateRecordDataRoot:
      return true;
    default:
      return false;
  }
}

std::optional<uint32_t> LogPageBufferSize(LeBytes boot) {
  const auto per_index_block = static_cast<int8_t>(boot.U8(boot::kClustersPerIndexBlock));
  uint64_t bytes = 0;
  if (per_index_block < 0) {
    const int shift = -per_index_block;
    if (shift > 31) return std::nullopt;
    bytes = uint64_t{1} << shift;
  } else if (!CheckedMul(boot.U8(boot::kSectorsPerCluster), boot.U32(boot::kClustersPerIndexBlock), bytes) ||
             !CheckedMul(bytes, boot.U16(boot::kBytesPerSector), bytes)) {
    return std::nullopt;
  }
  if (bytes == 0 || bytes > logfile::kMaxPageBuffer) return std::nullopt;
  return static_cast<uint32_t>(bytes);
}

}  // namespace velmora
