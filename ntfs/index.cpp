#include "ntfs/index.h"

#include <bit>

#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/volume.h"

namespace velmora {

IndexBlockReader::IndexBlockReader(VolumeContext& volume, AttributeReader allocation, uint32_t block_bytes)
    : volume_(volume),
      allocation_(std::move(allocation)),
      block_bytes_(block_bytes),
      // Sub-node VCNs count clusters when a block spans whole clusters, and
      // 512-byte units when blocks are smaller than a cluster.
      vcn_unit_(block_bytes >= volume.BytesPerCluster() ? volume.BytesPerCluster() : 512) {}

std::optional<std::vector<uint8_t>> IndexBlockReader::ReadIndexBlock(uint64_t vcn) {
  uint64_t offset = 0;
  if (vcn_unit_ == 0 || !CheckedMul(vcn, vcn_unit_, offset)) return std::nullopt;
  std::vector<uint8_t> block(block_bytes_);
  ++blocks_read_;
  if (!allocation_.ReadMapped(offset, block)) return std::nullopt;
  if (LeBytes(block).U32(index_block::kSignature) != index_block::kIndxSignature) return std::nullopt;
  if (!ApplyUpdateSequence(block, kUpdateSequenceStride)) return std::nullopt;
  return block;
}

namespace {

class Walk {
 public:
  Walk(const EntryDataVisitor& visitor, const EntryComparator& comparator, IndexBlockReader* blocks)
      : visitor_(visitor), comparator_(comparator), blocks_(blocks) {}

  // The entries of one node, whose index header is at header_offset of node.
  // Invariant checked here once: first entry < index length <= node size.
  int NodeLoop(LeBytes node, uint64_t header_offset, unsigned depth) {
    if (!node.Fits(header_offset, index_header::kSize)) return 0;
    uint64_t first = node.U32(header_offset + index_header::kFirstEntry);
    uint64_t length = node.U32(header_offset + index_header::kIndexLength);
    if (first >= length || !node.Fits(header_offset, length)) return 0;
    const uint64_t end = header_offset + length;

    int result = 0;
    for (uint64_t pos = header_offset + first; pos < end;) {
      if (end - pos < index_entry::kKey) return 0;
      const uint64_t entry_length = node.U16(pos + index_entry::kLength);
      const uint64_t key_length = node.U16(pos + index_entry::kKeyLength);
      const uint8_t flags = node.U8(pos + index_entry::kFlags);
      const bool has_sub_node = flags & index_entry::kFlagSubNode;
      const bool last = flags & index_entry::kFlagLast;
      if (entry_length < index_entry::kKey || entry_length > end - pos) return 0;
      const uint64_t key_room = entry_length - index_entry::kKey - (has_sub_node ? 8 : 0);
      if (has_sub_node && entry_length < index_entry::kKey + 8) return 0;
      if (!last && key_length > key_room) return 0;
      std::span<const uint8_t> key = last ? std::span<const uint8_t>() : node.Sub(pos + index_entry::kKey, key_length);
      std::span<const uint8_t> entry = node.Sub(pos, entry_length);

      if (comparator_ && has_sub_node && !last) {
        int32_t order = comparator_(key);
        if (order == 0) {
          visitor_(entry, key);
          return result;
        }
        if (order < 0) {
          pos += entry_length;
          continue;
        }
      }
      if (has_sub_node) {
        result = WalkIndexBlock(node.U64(pos + entry_length - 8), depth + 1);
        if (result == 0) return 0;
      }
      if (last) return result;
      result = visitor_(entry, key);
      if (result == 0) return 0;
      pos += entry_length;
    }
    return result;
  }

 private:
  int WalkIndexBlock(uint64_t vcn, unsigned depth) {
    // No allocation (root not flagged large), too deep, a block seen before
    // in this walk (a cycle), or too many blocks: the sub-walk ends.
    if (!blocks_ || depth > kMaxIndexDepth || visited_.size() >= kMaxIndexBlocksPerWalk) return 0;
    if (!visited_.insert(vcn).second) return 0;
    auto block = blocks_->ReadIndexBlock(vcn);
    if (!block) return 0;
    return NodeLoop(LeBytes(*block), index_block::kHeader, depth);
  }

  const EntryDataVisitor& visitor_;
  const EntryComparator& comparator_;
  IndexBlockReader* blocks_;
  std::unordered_set<uint64_t> visited_;
};

bool UsableBlockSize(uint32_t bytes) {
  return std::has_single_bit(bytes) && bytes >= kMinIndexBlockBytes && bytes <= kMaxIndexBlockBytes;
}

}  // namespace

int IndexWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                const EntryVisitor& visitor, const EntryComparator& comparator) {
  const EntryDataVisitor by_entry = [&visitor](std::span<const uint8_t> entry, std::span<const uint8_t> key) {
    LeBytes bytes(entry);
    return visitor(key, bytes.U32(index_entry::kData), bytes.U16(index_entry::kData + 4));
  };
  return IndexEntryWalker(volume, file, index_name, by_entry, comparator);
}

int IndexEntryWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                     const EntryDataVisitor& visitor, const EntryComparator& comparator) {
  auto base = ReadFileRecord(volume, file);
  if (!base) return 0;
  AttributeListCursor root_cursor;
  auto root = FindFileAttribute(volume, *base, AttrType::kIndexRoot, root_cursor, &index_name, nullptr);
  if (!root || root->NonResident()) return 0;
  LeBytes value(root->ResidentValue());
  if (!value.Fits(index_root::kHeader, index_header::kSize)) return 0;

  AttributeListCursor allocation_cursor;
  std::optional<IndexBlockReader> blocks;
  if (value.U8(index_root::kHeader + index_header::kFlags) != 0) {
    auto allocation =
        FindFileAttribute(volume, *base, AttrType::kIndexAllocation, allocation_cursor, &index_name, nullptr);
    if (!allocation || !allocation->NonResident()) return 0;
    uint32_t block_bytes = value.U32(index_root::kBytesPerBlock);
    if (!UsableBlockSize(block_bytes)) return 0;
    blocks.emplace(volume, AttributeReader::ForFileAttribute(volume, *base, *allocation), block_bytes);
  }
  Walk walk(visitor, comparator, blocks ? &*blocks : nullptr);
  return walk.NodeLoop(value, index_root::kHeader, 0);
}

}  // namespace velmora
