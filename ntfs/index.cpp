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
  // root_only: the index blocks are not there to read (an extracted $MFT):
  // a listing leaves out the lower nodes and counts them, a lookup that
  // must descend stops.
  TreeWalk(const EntryDataVisitor& visitor, const EntryComparator& comparator, IndexBlockReader* blocks,
           bool root_only)
      : visitor_(visitor), comparator_(comparator), blocks_(blocks), root_only_(root_only) {}

  // The node whose index header is at header_offset of node: a listing
  // without a comparator, a lookup with one.
  Walk Node(LeBytes node, uint64_t header_offset, unsigned depth) {
    return comparator_ ? Search(node, header_offset, depth) : Enumerate(node, header_offset, depth);
  }

  // Why the walk stopped early, the first time it did.
  const std::optional<Error>& stopped() const { return stopped_; }
  uint64_t blocks_not_read() const { return blocks_not_read_; }

 private:
  // One entry as the node holds it, checked against the node's end.
  struct NodeEntry {
    std::span<const uint8_t> bytes;  // entry-length bytes, the sub-node VCN included
    std::span<const uint8_t> key;    // empty in the end entry
    std::optional<Vcn> sub_node;
    bool last = false;
  };

  // Where a node's entries lie: [first, end) of node. Invariant checked
  // here once: first entry < index length <= node size.
  std::optional<std::pair<uint64_t, uint64_t>> EntryRange(LeBytes node, uint64_t header_offset) {
    if (!node.Fits(header_offset, index_header::kSize)) {
      Stop(u"damaged node: its index header does not fit");
      return std::nullopt;
    }
    const uint64_t first = node.U32(header_offset + index_header::kFirstEntry);
    const uint64_t length = node.U32(header_offset + index_header::kIndexLength);
    if (first >= length || !node.Fits(header_offset, length)) {
      Stop(u"damaged node: its index header's entry offsets lie outside it");
      return std::nullopt;
    }
    return std::pair{header_offset + first, header_offset + length};
  }

  // Reads the entry at pos into entry; false when it does not lie wholly
  // before end. Filled in place rather than returned: a lookup parses every
  // entry it passes, and copying a returned one cost a fifth of its time.
  static bool EntryAt(LeBytes node, uint64_t pos, uint64_t end, NodeEntry& entry) {
    if (end - pos < index_entry::kKey) return false;
    const uint64_t entry_length = node.U16(pos + index_entry::kLength);
    const uint64_t key_length = node.U16(pos + index_entry::kKeyLength);
    const uint8_t flags = node.U8(pos + index_entry::kFlags);
    const bool has_sub_node = flags & index_entry::kFlagSubNode;
    entry.last = flags & index_entry::kFlagLast;
    if (entry_length < index_entry::kKey || entry_length > end - pos) return false;
    if (has_sub_node && entry_length < index_entry::kKey + 8) return false;
    const uint64_t key_room = entry_length - index_entry::kKey - (has_sub_node ? 8 : 0);
    if (!entry.last && key_length > key_room) return false;
    entry.key = entry.last ? std::span<const uint8_t>() : node.Sub(pos + index_entry::kKey, key_length);
    entry.bytes = node.Sub(pos, entry_length);
    entry.sub_node = has_sub_node ? std::optional<Vcn>(Vcn(node.U64(pos + entry_length - 8))) : std::nullopt;
    return true;
  }
  Walk DamagedEntry(uint64_t pos) { return Stop(Format("damaged index entry at offset 0x%X", pos)); }

  // Every entry in key order: an entry's sub-node before the entry, the end
  // entry's sub-node last. A node that visits nothing (an empty leaf, which
  // deletions leave behind) lets the walk go on.
  Walk Enumerate(LeBytes node, uint64_t header_offset, unsigned depth) {
    const auto range = EntryRange(node, header_offset);
    if (!range) return Walk::kStop;
    Walk result = Walk::kContinue;
    NodeEntry entry;
    for (uint64_t pos = range->first; pos < range->second;) {
      if (!EntryAt(node, pos, range->second, entry)) return DamagedEntry(pos);
      if (entry.sub_node) {
        result = WalkIndexBlock(*entry.sub_node, depth + 1);
        if (result == Walk::kStop) return Walk::kStop;
      }
      if (entry.last) return result;
      result = visitor_(entry.bytes, entry.key);
      if (result == Walk::kStop) return Walk::kStop;
      pos += entry.bytes.size();
    }
    return result;
  }

  // A node's entries are sorted, and an entry's sub-node holds exactly the
  // keys between the entry before it and itself. So the first entry that
  // does not sort before the key sought either is that key (the visitor
  // answers for it) or is the one entry whose sub-node could hold it (the
  // end entry's, past every key); when that sub-node does not, nothing to
  // its right can. A miss thus reads one path from the root to a leaf, as a
  // hit does.
  Walk Search(LeBytes node, uint64_t header_offset, unsigned depth) {
    const auto range = EntryRange(node, header_offset);
    if (!range) return Walk::kStop;
    NodeEntry entry;
    for (uint64_t pos = range->first; pos < range->second;) {
      if (!EntryAt(node, pos, range->second, entry)) return DamagedEntry(pos);
      if (!entry.last) {
        const std::strong_ordering order = comparator_(entry.key);
        if (std::is_eq(order)) return visitor_(entry.bytes, entry.key);
        if (std::is_lt(order)) {
          pos += entry.bytes.size();
          continue;
        }
      }
      if (!entry.sub_node) return Walk::kContinue;  // a leaf: the key is absent
      return WalkIndexBlock(*entry.sub_node, depth + 1);
    }
    return Walk::kContinue;
  }

  Walk Stop(Error error) {
    if (!stopped_) stopped_ = std::move(error);
    return Walk::kStop;
  }
  Walk Stop(std::u16string why, ErrorKind kind = ErrorKind::kDamaged) {
    return Stop(Error{node_ ? BlockName(*node_) : std::u16string(u"index root"), std::move(why), kind});
  }

  Walk WalkIndexBlock(Vcn vcn, unsigned depth) {
    if (root_only_) {
      if (comparator_)
        return Stop(Format("the name may lie in the index block at VCN 0x%I64X, which is not in the collection: "
                           "it holds only the MFT", vcn.value),
                    ErrorKind::kUnreadable);
      ++blocks_not_read_;
      return Walk::kContinue;
    }
    // No allocation (root not flagged large), too deep, a block seen before
    // in this walk (a cycle), or too many blocks: the sub-walk ends.
    if (!blocks_) return Stop(u"an entry points to a lower node, but the index has no allocation");
    if (depth > kMaxIndexDepth)
      return Stop(Format("deeper than %u levels: bound reached", kMaxIndexDepth), ErrorKind::kLimit);
    if (visited_.size() >= kMaxIndexBlocksPerWalk)
      return Stop(Format("more than %I64u index blocks: bound reached", kMaxIndexBlocksPerWalk), ErrorKind::kLimit);
    if (!visited_.insert(vcn.value).second)
      return Stop(Format("index block at VCN 0x%I64X reached twice: the index has a cycle", vcn.value));
    auto block = blocks_->ReadIndexBlock(vcn);
    if (!block) return Stop(block.error());
    const std::optional<Vcn> parent = node_;
    node_ = vcn;
    const Walk result = Node(LeBytes(*block), index_block::kHeader, depth);
    node_ = parent;
    return result;
  }

  const EntryDataVisitor& visitor_;
  const EntryComparator& comparator_;
  IndexBlockReader* blocks_;
  std::unordered_set<uint64_t> visited_;  // VCNs of the blocks walked
  std::optional<Vcn> node_;  // VCN of the block being walked; none in the root
  std::optional<Error> stopped_;
  bool root_only_ = false;
  uint64_t blocks_not_read_ = 0;
};

}  // namespace

bool UsableIndexBlockSize(uint32_t bytes) {
  return std::has_single_bit(bytes) && bytes >= kMinIndexBlockBytes && bytes <= kMaxIndexBlockBytes;
}

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
  if (value.U8(index_root::kHeader + index_header::kFlags) != 0 && !volume.MftOnly()) {
    const HeldAttribute allocation = attributes.First(AttrType::kIndexAllocation, &index_name);
    if (!allocation || !allocation->NonResident())
      return missing(u"damaged: its root has lower nodes but there is no usable $INDEX_ALLOCATION");
    uint32_t block_bytes = value.U32(index_root::kBytesPerBlock);
    if (!UsableIndexBlockSize(block_bytes))
      return missing(Format("damaged: its $INDEX_ROOT gives %u-byte index blocks", block_bytes));
    blocks.emplace(volume, attributes.Reader(allocation), block_bytes);
  }
  TreeWalk walk(visitor, comparator, blocks ? &*blocks : nullptr, volume.MftOnly());
  const Walk last = walk.Node(value, index_root::kHeader, 0);
  if (walk.stopped()) return {last, walk.stopped()->Within(name + u" index"), walk.blocks_not_read()};
  return {last, std::nullopt, walk.blocks_not_read()};
}

}  // namespace velmora
