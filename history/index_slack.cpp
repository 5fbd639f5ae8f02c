#include "history/index_slack.h"

#include <algorithm>
#include <string>
#include <tuple>

#include "base/format.h"
#include "base/hash_set.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/volume.h"

namespace velmora {

namespace {

constexpr uint64_t kEntryAlignment = 8;
// An $I30 key is a $FILE_NAME value: at least its fixed part.
constexpr uint64_t kMinEntryBytes = index_entry::kKey + file_name::kName;
// Where the entries of a block may start: past its header and the shortest
// update sequence array.
constexpr uint64_t kBlockEntriesFloor = index_block::kHeader + index_header::kSize;

uint64_t AlignUp(uint64_t offset) { return (offset + kEntryAlignment - 1) / kEntryAlignment * kEntryAlignment; }

// One entry a live node holds, as the slack is compared with it: a 64-bit
// hash of its reference and its name's UTF-16 units, in a flat set (see
// LiveKey below): a directory's every live entry passes through here, and
// a tree of strings cost more than the carving.

constexpr uint64_t kHashStart = 0xcbf29ce484222325;
constexpr uint64_t kHashMultiplier = 0x9e3779b97f4a7c15;

// Words go in whole, each mixed in with a multiply and a shift: a hash of
// bytes one at a time cost more than the rest of the carving.
uint64_t HashWord(uint64_t hash, uint64_t word) {
  hash = (hash ^ word) * kHashMultiplier;
  return hash ^ (hash >> 29);
}

// A name's UTF-16 units as they lie on disk, four to a word.
uint64_t NameHash(std::span<const uint8_t> name_bytes) {
  const size_t units = name_bytes.size() / 2;
  uint64_t hash = HashWord(kHashStart, units);
  for (size_t i = 0; i < units; i += 4) {
    uint64_t word = 0;
    for (size_t k = 0; k < 4 && i + k < units; ++k)
      word |= uint64_t{name_bytes[2 * (i + k)]} << (16 * k) | uint64_t{name_bytes[2 * (i + k) + 1]} << (16 * k + 8);
    hash = HashWord(hash, word);
  }
  return hash;
}
uint64_t LiveKey(uint64_t reference, uint64_t name_hash) { return HashWord(HashWord(kHashStart, reference), name_hash); }

// The entries in use of a node, in on-disk order, up to the first one that
// does not fit (the walk of the tree says why elsewhere).
void CollectLive(LeBytes node, uint64_t begin, uint64_t end, HashSet64& live) {
  for (uint64_t pos = begin; pos < end && end - pos >= index_entry::kKey;) {
    const uint64_t length = node.U16(pos + index_entry::kLength);
    if (length < index_entry::kKey || length > end - pos) return;
    if (node.U8(pos + index_entry::kFlags) & index_entry::kFlagLast) return;
    const uint64_t key = pos + index_entry::kKey;
    const uint64_t units = node.U8(key + file_name::kNameLength);
    live.Insert(LiveKey(node.U64(pos + index_entry::kData), NameHash(node.Sub(key + file_name::kName, units * 2))));
    pos += length;
  }
}

// [first entry, used end) of the node header at header_offset, when the
// header holds together inside the node.
std::optional<std::pair<uint64_t, uint64_t>> UsedRange(LeBytes node, uint64_t header_offset) {
  if (!node.Fits(header_offset, index_header::kSize)) return std::nullopt;
  const uint64_t first = node.U32(header_offset + index_header::kFirstEntry);
  const uint64_t length = node.U32(header_offset + index_header::kIndexLength);
  if (first >= length || !node.Fits(header_offset, length)) return std::nullopt;
  return std::pair{header_offset + first, header_offset + length};
}

}  // namespace

const char* SlackSourceName(SlackSource source) {
  switch (source) {
    case SlackSource::kPastUsedSize: return "past_used_size";
    case SlackSource::kFreedBlock: return "freed_block";
    case SlackSource::kRootSlack: return "root_slack";
    case SlackSource::kRecordSlack: return "record_slack";
  }
  return "";
}

const char* RecordStateName(RecordState state) {
  switch (state) {
    case RecordState::kFree: return "free";
    case RecordState::kSameSequence: return "same_sequence";
    case RecordState::kReused: return "reused";
    case RecordState::kUnreadable: return "unreadable";
  }
  return "";
}

bool SlackOwner::Owns(FileReference parent) const {
  if (parent.Number() != directory.Number()) return false;
  const uint16_t sequence = parent.Sequence();
  return sequence == directory.Sequence() || (!in_use && static_cast<uint16_t>(sequence + 1) == directory.Sequence());
}

void CarveIndexRegion(LeBytes node, uint64_t begin, uint64_t end, const SlackOwner& owner,
                      const CarvedEntryVisitor& visitor, const CarvedEntryFilter* filter) {
  if (end > node.size()) end = node.size();
  constexpr uint64_t kParentAt = index_entry::kKey + file_name::kParentRef;
  const auto directory_low = static_cast<uint32_t>(owner.directory.Number());
  for (uint64_t pos = AlignUp(begin); pos < end && end - pos >= kMinEntryBytes; pos += kEntryAlignment) {
    // The parent first: nearly every boundary fails there, so the search
    // runs on for the low half of the directory's number.
    pos = node.NextAligned32(pos + kParentAt, end, kEntryAlignment, directory_low) - kParentAt;
    if (pos >= end || end - pos < kMinEntryBytes) break;
    const uint64_t key = pos + index_entry::kKey;
    if (!owner.Owns(FileReference(node.U64(key + file_name::kParentRef)))) continue;
    const uint64_t length = node.U16(pos + index_entry::kLength);
    const uint64_t key_length = node.U16(pos + index_entry::kKeyLength);
    const uint8_t flags = node.U8(pos + index_entry::kFlags);
    const uint64_t sub_node = (flags & index_entry::kFlagSubNode) ? 8 : 0;
    const FileReference file(node.U64(pos + index_entry::kData));
    if ((flags & ~index_entry::kFlagSubNode) != 0 || length % kEntryAlignment != 0 || length > end - pos ||
        key_length < file_name::kName || index_entry::kKey + key_length + sub_node > length ||
        key_length != file_name::kName + 2 * uint64_t{node.U8(key + file_name::kNameLength)} || file.Sequence() == 0)
      continue;
    if (!CarvedFileNameHolds(node, key, key_length)) continue;
    if (!filter || (*filter)(LeBytes(node.Sub(key, key_length)), file)) {
      std::optional<CarvedName> carved = ReadCarvedFileName(node, key, key_length);
      if (carved) visitor(pos, file, std::move(*carved));
    }
    pos += length - kEntryAlignment;
  }
}

std::pair<RecordState, uint16_t> StateOfRecord(VolumeContext& volume, FileReference file) {
  auto record = ReadFileRecord(volume, file.Record());
  if (!record) return {RecordState::kUnreadable, 0};
  const uint16_t sequence = record->Sequence();
  if (!(record->Flags() & record::kFlagInUse)) return {RecordState::kFree, sequence};
  return {sequence == file.Sequence() ? RecordState::kSameSequence : RecordState::kReused, sequence};
}

Expected<IndexSlack> ReadIndexSlack(VolumeContext& volume, FileReference directory) {
  auto base = ReadFileRecord(volume, directory.Record());
  if (!base) return base.error();
  const SlackOwner owner{FileReference::Of(directory.Number(), base->Sequence()),
                         (base->Flags() & record::kFlagInUse) != 0};
  const std::vector<uint8_t> record_bytes(base->span().begin(), base->span().end());
  const uint64_t record_used = base->ScanBound();
  const uint64_t record_end = std::min<uint64_t>(base->AllocSize(), base->size());
  FileAttributes attributes = FileAttributes::Open(volume, std::move(*base));
  const std::u16string where = u"$I30 index";
  const HeldAttribute root = attributes.First(AttrType::kIndexRoot, &kI30Name);
  if (!root || root->NonResident()) return Error{where, u"there is no resident $INDEX_ROOT (not a directory?)"};
  const LeBytes root_value(root->ResidentValue());
  const auto root_used = UsedRange(root_value, index_root::kHeader);
  if (!root_used) return Error{where, u"damaged: its $INDEX_ROOT header lies outside its value"};

  IndexSlack slack;
  // Every live entry is known before any slack is carved, so that a copy
  // of one (the index leaves them behind as it shifts entries: in a
  // directory that has only grown, nearly all its slack) is dropped as it
  // is found rather than kept until the end.
  HashSet64 live;
  CollectLive(root_value, root_used->first, root_used->second, live);
  struct Block {
    Vcn vcn;
    SlackSource source;
    uint64_t carve_from = 0;
    std::vector<uint8_t> bytes;  // empty when not kept: read again to carve
  };
  std::vector<Block> blocks;
  std::optional<IndexBlockReader> reader;
  const HeldAttribute allocation = attributes.First(AttrType::kIndexAllocation, &kI30Name);
  const uint32_t block_bytes = root_value.U32(index_root::kBytesPerBlock);
  if (allocation && allocation->NonResident() && UsableIndexBlockSize(block_bytes)) {
    std::vector<uint8_t> bitmap;
    if (const HeldAttribute held = attributes.First(AttrType::kBitmap, &kI30Name)) {
      AttributeReader bitmap_reader = attributes.Reader(held);
      if (const std::vector<uint8_t>* value = bitmap_reader.ReadAttributeValue()) bitmap = *value;
    }
    // Without the bitmap every block counts as in use: only what lies past
    // a used size is taken, never a whole block that may be live.
    if (bitmap.empty()) slack.problems.push_back(Error{where, u"its $BITMAP cannot be read: every block taken as in use"});
    reader.emplace(volume, attributes.Reader(allocation), block_bytes);
    const uint32_t vcn_unit = volume.geometry().IndexVcnUnit(block_bytes);
    uint64_t count = allocation->ValueSize() / block_bytes;
    if (count > kMaxIndexBlocksPerWalk) {
      slack.problems.push_back(Error{where, Format("more than %I64u index blocks: bound reached", kMaxIndexBlocksPerWalk),
                                     ErrorKind::kLimit});
      count = kMaxIndexBlocksPerWalk;
    }
    uint64_t kept_bytes = 0;
    for (uint64_t i = 0; i < count; ++i) {
      const bool in_use = bitmap.empty() || (i / 8 < bitmap.size() && (bitmap[i / 8] >> (i % 8)) & 1);
      const Vcn vcn(i * block_bytes / vcn_unit);
      auto block = reader->ReadIndexBlock(vcn);
      if (!block) {
        // A freed block never written, or written over, is nothing to carve.
        if (in_use) slack.problems.push_back(block.error().Within(where));
        continue;
      }
      const LeBytes node(*block);
      Block kept{vcn, SlackSource::kFreedBlock, kBlockEntriesFloor, {}};
      if (in_use) {
        ++slack.blocks_in_use;
        const auto used = UsedRange(node, index_block::kHeader);
        if (!used) {
          slack.problems.push_back(Error{where, Format("index block at VCN 0x%I64X: damaged header", vcn.value)});
          continue;
        }
        CollectLive(node, used->first, used->second, live);
        kept.source = SlackSource::kPastUsedSize;
        kept.carve_from = used->second;
      } else {
        ++slack.blocks_free;
      }
      // Blocks are kept up to a bound; past it they are read again.
      if (kept_bytes + block->size() <= kMaxKeptSlackBytes) {
        kept_bytes += block->size();
        kept.bytes = std::move(*block);
      }
      blocks.push_back(std::move(kept));
    }
  }

  // One distinct entry once: its reference, name and times, hashed.
  HashSet64 seen;
  // Repeats and copies of live entries are told from the key's bytes,
  // before anything is decoded: in a directory that has only grown they
  // are nearly all the slack holds.
  const CarvedEntryFilter keep = [&](LeBytes key, FileReference file) {
    if (slack.entries.size() >= kMaxSlackEntries) return false;
    const uint64_t units = key.U8(file_name::kNameLength);
    const uint64_t name_hash = NameHash(key.Sub(file_name::kName, units * 2));
    uint64_t identity = kHashStart;
    for (uint64_t field : {file.value, name_hash, key.U64(file_name::kCreateTime), key.U64(file_name::kModificationTime),
                           key.U64(file_name::kChangeTime), key.U64(file_name::kAccessTime)})
      identity = HashWord(identity, field);
    if (!seen.Insert(identity)) return false;
    if (live.Contains(LiveKey(file.value, name_hash))) {
      ++slack.live_copies;
      return false;
    }
    return true;
  };
  auto carve = [&](LeBytes node, uint64_t begin, uint64_t end, SlackSource source, std::optional<Vcn> block) {
    CarveIndexRegion(node, begin, end, owner, [&](uint64_t offset, FileReference file, CarvedName key) {
      SlackEntry entry;
      entry.file = file;
      entry.key = std::move(key);
      entry.source = source;
      entry.block = block;
      entry.offset = static_cast<uint32_t>(offset);
      std::tie(entry.state, entry.record_sequence) = StateOfRecord(volume, entry.file);
      slack.entries.push_back(std::move(entry));
    }, &keep);
  };
  carve(root_value, root_used->second, root_value.size(), SlackSource::kRootSlack, std::nullopt);
  carve(LeBytes(record_bytes), record_used, record_end, SlackSource::kRecordSlack, std::nullopt);
  for (Block& block : blocks) {
    if (block.bytes.empty()) {
      auto again = reader->ReadIndexBlock(block.vcn);
      if (!again) continue;
      block.bytes = std::move(*again);
    }
    const LeBytes node(block.bytes);
    carve(node, block.carve_from, node.size(), block.source, block.vcn);
    block.bytes = {};
  }
  if (slack.entries.size() >= kMaxSlackEntries)
    slack.problems.push_back(Error{where, Format("more than %I64u slack entries: bound reached", kMaxSlackEntries), ErrorKind::kLimit});
  return slack;
}

}  // namespace velmora
