#include "ntfs/index.h"

#include <bit>

#include "ntfs/file_record.h"
#include "ntfs/attribute_set.h"
#include "ntfs/volume.h"
#include "base/format.h"

namespace velmora {

IndexBlockReader::IndexBlockReader(VolumeContext& volume, AttributeReader allocation, uint32_t block_bytes)
    : volume_(volume),
      allocation_(std::move(allocation)),
      block_bytes_(block_bytes),
      vcn_unit_(volume.geometry().IndexVcnUnit(block_bytes)) {}

namespace {

std::u16string BlockName(Vcn vcn) { return Format("index block at VCN 0x%I64X", vcn.value); }

}  // namespace

Expected<std::vector<uint8_t>> IndexBlockReader::ReadIndexBlock(Vcn vcn) {
  auto fail = [vcn](const char16_t* why) { return Error{BlockName(vcn), why}; };
  uint64_t offset = 0;
  if (!CheckedMul(vcn.value, vcn_unit_, offset)) return fail(u"lies beyond any byte offset");
  std::vector<uint8_t> block(block_bytes_);
  if (!allocation_.ReadMapped(offset, block))
    return fail(u"cannot be read (unmapped by $INDEX_ALLOCATION, or past the end of the source)");
  if (LeBytes(block).U32(index_block::kSignature) != index_block::kIndxSignature)
    return fail(u"damaged block: no INDX signature");
  if (!ApplyUpdateSequence(block, kUpdateSequenceStride)) return fail(u"damaged block: failed its update sequence check");
  return block;
}

namespace {

class TreeWalk {
 public:
  TreeWalk(const EntryDataVisitor& visitor, const EntryComparator& comparator, IndexBlockReader* blocks)
      : visitor_(visitor), comparator_(comparator), blocks_(blocks) {}

  // The entries of one node, whose index header is at header_offset of node.
  // Invariant checked here once: first entry < index length <= node size.
  // A node that visits nothing (an empty leaf, which deletions leave behind)
  // lets the walk go on; a lookup that meets its key answers what the
  // visitor says of that entry.
  Walk NodeLoop(LeBytes node, uint64_t header_offset, unsigned depth) {
    if (!node.Fits(header_offset, index_header::kSize)) return Stop(u"damaged node: its index header does not fit");
    uint64_t first = node.U32(header_offset + index_header::kFirstEntry);
    uint64_t length = node.U32(header_offset + index_header::kIndexLength);
    if (first >= length || !node.Fits(header_offset, length))
      return Stop(u"damaged node: its index header's entry offsets lie outside it");
    const uint64_t end = header_offset + length;

    Walk result = Walk::kContinue;
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
        const std::strong_ordering order = comparator_(key);
        if (std::is_eq(order)) return visitor_(entry, key);
        if (std::is_lt(order)) {
          pos += entry_length;
          continue;
        }
      }
      if (has_sub_node) {
        result = WalkIndexBlock(Vcn(node.U64(pos + entry_length - 8)), depth + 1);
        if (result == Walk::kStop) return Walk::kStop;
      }
      if (last) return result;
      result = visitor_(entry, key);
      if (result == Walk::kStop) return Walk::kStop;
      pos += entry_length;
    }
    return result;
  }

  // Why the walk stopped early, the first time it did.
  const std::optional<Error>& stopped() const { return stopped_; }

 private:
  Walk Stop(Error error) {
    if (!stopped_) stopped_ = std::move(error);
    return Walk::kStop;
  }
  Walk Stop(std::u16string why) {
    return Stop(Error{node_ ? BlockName(*node_) : std::u16string(u"index root"), std::move(why)});
  }
  std::u16string DamagedEntry(uint64_t pos) { return Format("damaged index entry at offset 0x%X", pos); }

  Walk WalkIndexBlock(Vcn vcn, unsigned depth) {
    // No allocation (root not flagged large), too deep, a block seen before
    // in this walk (a cycle), or too many blocks: the sub-walk ends.
    if (!blocks_) return Stop(u"an entry points to a lower node, but the index has no allocation");
    if (depth > kMaxIndexDepth) return Stop(Format("deeper than %u levels: bound reached", kMaxIndexDepth));
    if (visited_.size() >= kMaxIndexBlocksPerWalk)
      return Stop(Format("more than %I64u index blocks: bound reached", kMaxIndexBlocksPerWalk));
    if (!visited_.insert(vcn.value).second)
      return Stop(Format("index block at VCN 0x%I64X reached twice: the index has a cycle", vcn.value));
    auto block = blocks_->ReadIndexBlock(vcn);
    if (!block) return Stop(block.error());
    const std::optional<Vcn> parent = node_;
    node_ = vcn;
    const Walk result = NodeLoop(LeBytes(*block), index_block::kHeader, depth);
    node_ = parent;
    return result;
  }

  const EntryDataVisitor& visitor_;
  const EntryComparator& comparator_;
  IndexBlockReader* blocks_;
  std::unordered_set<uint64_t> visited_;  // VCNs of the blocks walked
  std::optional<Vcn> node_;  // VCN of the block being walked; none in the root
  std::optional<Error> stopped_;
};

bool UsableBlockSize(uint32_t bytes) {
  return std::has_single_bit(bytes) && bytes >= kMinIndexBlockBytes && bytes <= kMaxIndexBlockBytes;
}

}  // namespace

IndexWalkResult IndexWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                            const EntryVisitor& visitor, const EntryComparator& comparator) {
  const EntryDataVisitor by_entry = [&visitor](std::span<const uint8_t> entry, std::span<const uint8_t> key) {
    return visitor(key, FileReference(LeBytes(entry).U64(index_entry::kData)).WithoutSequence());
  };
  return IndexEntryWalker(volume, file, index_name, by_entry, comparator);
}

IndexWalkResult IndexEntryWalker(VolumeContext& volume, FileReference file, const CountedName& index_name,
                                 const EntryDataVisitor& visitor, const EntryComparator& comparator) {
  auto base = ReadFileRecord(volume, file.Record());
  if (!base) return {Walk::kStop, base.error()};
  const std::u16string name(index_name.units);
  auto missing = [&](std::u16string_view why) {
    return IndexWalkResult{Walk::kStop, Error{name + u" index", std::u16string(why)}};
  };
  FileAttributes attributes = FileAttributes::Open(volume, std::move(*base));
  const HeldAttribute root = attributes.First(AttrType::kIndexRoot, &index_name);
  if (!root) return missing(u"there is no $INDEX_ROOT attribute of that name (not a directory?)");
  if (root->NonResident()) return missing(u"damaged: its $INDEX_ROOT is non-resident");
  LeBytes value(root->ResidentValue());
  if (!value.Fits(index_root::kHeader, index_header::kSize)) return missing(u"damaged: its $INDEX_ROOT is too short");

  std::optional<IndexBlockReader> blocks;
  if (value.U8(index_root::kHeader + index_header::kFlags) != 0) {
    const HeldAttribute allocation = attributes.First(AttrType::kIndexAllocation, &index_name);
    if (!allocation || !allocation->NonResident())
      return missing(u"damaged: its root has lower nodes but there is no usable $INDEX_ALLOCATION");
    uint32_t block_bytes = value.U32(index_root::kBytesPerBlock);
    if (!UsableBlockSize(block_bytes))
      return missing(Format("damaged: its $INDEX_ROOT gives %u-byte index blocks", block_bytes));
    blocks.emplace(volume, attributes.Reader(allocation), block_bytes);
  }
  TreeWalk walk(visitor, comparator, blocks ? &*blocks : nullptr);
  const Walk last = walk.NodeLoop(value, index_root::kHeader, 0);
  if (walk.stopped()) return {last, walk.stopped()->Within(name + u" index")};
  return {last, std::nullopt};
}

}  // namespace velmora
