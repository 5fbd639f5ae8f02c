#include "ntfs/index.h"

#include <bit>

#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/volume.h"
#include "output/format.h"

namespace velmora {

IndexBlockReader::IndexBlockReader(VolumeContext& volume, AttributeReader allocation, uint32_t block_bytes)
    : volume_(volume),
      allocation_(std::move(allocation)),
      block_bytes_(block_bytes),
      // Sub-node VCNs count clusters when a block spans whole clusters, and
      // 512-byte units when blocks are smaller than a cluster.
      vcn_unit_(block_bytes >= volume.BytesPerCluster() ? volume.BytesPerCluster() : 512) {}

namespace {

std::u16string BlockName(uint64_t vcn) { return Format("index block at VCN 0x%I64X", vcn); }

}  // namespace

Expected<std::vector<uint8_t>> IndexBlockReader::ReadIndexBlock(uint64_t vcn) {
  auto fail = [vcn](const char16_t* why) { return Error{BlockName(vcn), why}; };
  uint64_t offset = 0;
  if (vcn_unit_ == 0 || !CheckedMul(vcn, vcn_unit_, offset)) return fail(u"lies beyond any byte offset");
  std::vector<uint8_t> block(block_bytes_);
  ++blocks_read_;
  if (!allocation_.ReadMapped(offset, block))
    return fail(u"cannot be read (unmapped by $INDEX_ALLOCATION, or past the end of the source)");
  if (LeBytes(block).U32(index_block::kSignature) != index_block::kIndxSignature)
    return fail(u"damaged block: no INDX signature");
  if (!ApplyUpdateSequence(block, kUpdateSequenceStride)) return fail(u"damaged block: failed its update sequence check");
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
    if (!node.Fits(header_offset, index_header::kSize)) return Stop(u"damaged node: its index header does not fit");
    uint64_t first = node.U32(header_offset + index_header::kFirstEntry);
    uint64_t length = node.U32(header_offset + index_header::kIndexLength);
    if (first >= length || !node.Fits(header_offset, length))
      return Stop(u"damaged node: its index header's entry offsets lie outside it");
    const uint64_t end = header_offset + length;

    int result = 0;
    for (uint64_t pos = header_offset + first; pos < end;) {
      if (end - pos < index_entry::kKey) return Stop(DamagedEntry(pos));
      const uint64_t entry_length = node.U16(pos + index_entry::kLength);
      const uint64_t key_length = node.U16(pos + index_entry::kKeyLength);
      const uint8_t flags = node.U8(pos + index_entry::kFlags);
      const bool has_sub_node = flags & index_entry::kFlagSubNode;
      const bool last = flags & index_entry::kFlagLast;
      if (entry_length < index_entry::kKey || entry_length > end - pos) return Stop(DamagedEntry(pos));
      if (has_sub_node && entry_length < index_entry::kKey + 8) return Stop(DamagedEntry(pos));
      const uint64_t key_room = entry_length - index_entry::kKey - (has_sub_node ? 8 : 0);
      if (!last && key_length > key_room) return Stop(DamagedEntry(pos));
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

  // Why the walk stopped early, the first time it did.
  const std::optional<Error>& stopped() const { return stopped_; }

 private:
  int Stop(Error error) {
    if (!stopped_) stopped_ = std::move(error);
    return 0;
  }
  int Stop(std::u16string why) {
    return Stop(Error{node_ ? BlockName(*node_) : std::u16string(u"index root"), std::move(why)});
  }
  std::u16string DamagedEntry(uint64_t pos) { return Format("damaged index entry at offset 0x%X", pos); }

  int WalkIndexBlock(uint64_t vcn, unsigned depth) {
    // No allocation (root not flagged large), too deep, a block seen before
    // in this walk (a cycle), or too many blocks: the sub-walk ends.
    if (!blocks_) return Stop(u"an entry points to a lower node, but the index has no allocation");
    if (depth > kMaxIndexDepth) return Stop(Format("deeper than %u levels: bound reached", kMaxIndexDepth));
    if (visited_.size() >= kMaxIndexBlocksPerWalk)
      return Stop(Format("more than %I64u index blocks: bound reached", kMaxIndexBlocksPerWalk));
    if (!visited_.insert(vcn).second)
      return Stop(Format("index block at VCN 0x%I64X reached twice: the index has a cycle", vcn));
    auto block = blocks_->ReadIndexBlock(vcn);
    if (!block) return Stop(block.error());
    const std::optional<uint64_t> parent = node_;
    node_ = vcn;
    const int result = NodeLoop(LeBytes(*block), index_block::kHeader, depth);
    node_ = parent;
    return result;
  }

  const EntryDataVisitor& visitor_;
  const EntryComparator& comparator_;
  IndexBlockReader* blocks_;
  std::unordered_set<uint64_t> visited_;
  std::optional<uint64_t> node_;  // VCN of the block being walked; none in the root
  std::optional<Error> stopped_;
};

bool UsableBlockSize(uint32_t bytes) {
  return std::has_single_bit(bytes) && bytes >= kMinIndexBlockBytes && bytes <= kMaxIndexBlockBytes;
}

}  // namespace

IndexWalkResult IndexWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                            const EntryVisitor& visitor, const EntryComparator& comparator) {
  const EntryDataVisitor by_entry = [&visitor](std::span<const uint8_t> entry, std::span<const uint8_t> key) {
    LeBytes bytes(entry);
    return visitor(key, bytes.U32(index_entry::kData), bytes.U16(index_entry::kData + 4));
  };
  return IndexEntryWalker(volume, file, index_name, by_entry, comparator);
}

IndexWalkResult IndexEntryWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                                 const EntryDataVisitor& visitor, const EntryComparator& comparator) {
  auto base = ReadFileRecord(volume, file);
  if (!base) return {0, base.error()};
  const std::u16string name(index_name.units);
  auto missing = [&](std::u16string_view why) { return IndexWalkResult{0, Error{name + u" index", std::u16string(why)}}; };
  AttributeListCursor root_cursor;
  auto root = FindFileAttribute(volume, *base, AttrType::kIndexRoot, root_cursor, &index_name, nullptr);
  if (!root) return missing(u"there is no $INDEX_ROOT attribute of that name (not a directory?)");
  if (root->NonResident()) return missing(u"damaged: its $INDEX_ROOT is non-resident");
  LeBytes value(root->ResidentValue());
  if (!value.Fits(index_root::kHeader, index_header::kSize)) return missing(u"damaged: its $INDEX_ROOT is too short");

  AttributeListCursor allocation_cursor;
  std::optional<IndexBlockReader> blocks;
  if (value.U8(index_root::kHeader + index_header::kFlags) != 0) {
    auto allocation =
        FindFileAttribute(volume, *base, AttrType::kIndexAllocation, allocation_cursor, &index_name, nullptr);
    if (!allocation || !allocation->NonResident())
      return missing(u"damaged: its root has lower nodes but there is no usable $INDEX_ALLOCATION");
    uint32_t block_bytes = value.U32(index_root::kBytesPerBlock);
    if (!UsableBlockSize(block_bytes))
      return missing(Format("damaged: its $INDEX_ROOT gives %u-byte index blocks", block_bytes));
    blocks.emplace(volume, AttributeReader::ForFileAttribute(volume, *base, *allocation), block_bytes);
  }
  Walk walk(visitor, comparator, blocks ? &*blocks : nullptr);
  const int last = walk.NodeLoop(value, index_root::kHeader, 0);
  if (walk.stopped()) return {last, walk.stopped()->Within(name + u" index")};
  return {last, std::nullopt};
}

}  // namespace velmora
