// Names a directory's $I30 index no longer holds but whose entry bytes
// survive: past each index block's used size, in blocks the index's
// $BITMAP has freed, in the resident root past its used size, and in the
// directory's record past its used size (a root shrinks with its
// attribute, leaving its old tail there).
//
// NTFS deletes an entry by moving the entries behind it down over it, so
// the bytes past a node's used size are the old tail of the node: often the
// last entries shifted down (copies of entries still live) and, where the
// deleted entry was the last one, or a node was split or freed, the
// deleted entries themselves. Every candidate is carved at each 8-byte
// boundary of those regions and kept only when it reads as an $I30 entry
// of this directory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/error.h"
#include "history/carved_name.h"
#include "ntfs/types.h"

namespace velmora {

class VolumeContext;

enum class SlackSource : uint8_t {
  kPastUsedSize,  // an index block in use, past its used size
  kFreedBlock,    // an index block the $I30 $BITMAP marks free
  kRootSlack,     // the $INDEX_ROOT value past its used size
  kRecordSlack,   // the directory's file record past its used size: a root that shrank
};
const char* SlackSourceName(SlackSource source);

// What the record an entry names says now.
enum class RecordState : uint8_t {
  kFree,          // not in use: the file was deleted
  kSameSequence,  // in use with the entry's sequence number: renamed, moved or a link removed
  kReused,        // in use with another sequence number: deleted, and the record given to another file
  kUnreadable,
};
const char* RecordStateName(RecordState state);

struct SlackEntry {
  FileReference file;       // as the entry holds it, sequence number included
  CarvedName key;
  SlackSource source = SlackSource::kPastUsedSize;
  std::optional<Vcn> block;  // none in the root
  uint32_t offset = 0;       // of the entry, from the block, $INDEX_ROOT value or file record start
  RecordState state = RecordState::kUnreadable;
  uint16_t record_sequence = 0;  // the record's sequence number now, when it reads
};

// The directory an entry must belong to: its $FILE_NAME's parent reference
// names this record, with its sequence number or, once the directory itself
// was deleted, the one below it (NTFS bumps the number on free).
struct SlackOwner {
  FileReference directory;  // with the sequence number the record has now
  bool in_use = true;
  bool Owns(FileReference parent) const;
};

// Every entry that validates in [begin, end) of node (a block or the root
// value), tried at each 8-byte boundary from the node's start: the entry
// and key lengths inside the region, no flag but the sub-node one, a key
// exactly as long as its $FILE_NAME, the name and times as
// ReadCarvedFileName wants them, a parent reference owner owns and a
// reference with a sequence number. Bounded by the region's size.
// A filter, when given, sees each entry that validates (its key's bytes)
// before it is decoded, and returns false to pass over it.
using CarvedEntryVisitor = std::function<void(uint64_t offset, FileReference file, CarvedName key)>;
using CarvedEntryFilter = std::function<bool(LeBytes key, FileReference file)>;
void CarveIndexRegion(LeBytes node, uint64_t begin, uint64_t end, const SlackOwner& owner,
                      const CarvedEntryVisitor& visitor, const CarvedEntryFilter* filter = nullptr);

// The most entries one directory's slack yields; past it the read stops.
inline constexpr size_t kMaxSlackEntries = 1u << 20;
// Index blocks of one directory held between finding its live entries and
// carving its slack; past this they are read a second time.
inline constexpr uint64_t kMaxKeptSlackBytes = uint64_t{64} << 20;

struct IndexSlack {
  std::vector<SlackEntry> entries;  // root first, then blocks by VCN; each distinct entry once
  uint64_t live_copies = 0;  // candidates equal to a live entry of the directory, left out
  uint64_t blocks_in_use = 0;
  uint64_t blocks_free = 0;
  std::vector<Error> problems;  // blocks that could not be read, a missing $BITMAP, a bound reached
};

// The slack of the directory's $I30. An error when the record or its index
// root cannot be read at all.
Expected<IndexSlack> ReadIndexSlack(VolumeContext& volume, FileReference directory);

// The state of the record file names, and its sequence number now.
std::pair<RecordState, uint16_t> StateOfRecord(VolumeContext& volume, FileReference file);

}  // namespace velmora
