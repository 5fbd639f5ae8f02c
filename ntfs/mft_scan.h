// One sequential pass over the whole MFT: what a timeline needs of every
// file record (names, times, sizes, named streams), kept compactly, and the
// full path of each name built from parent references afterwards.
//
// The pass reads the MFT through its runs in large blocks, in record order;
// no directory index is read. Extension records (those with a base
// reference) add their names and streams to their base record. A record
// that cannot be read or undone is counted by reason and left out.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/types.h"

namespace velmora {

class FileRecord;
class VolumeContext;

// FILETIMEs (100 ns since 1601-01-01 UTC), in on-disk order.
struct FileTimes {
  uint64_t created = 0;
  uint64_t modified = 0;         // the data
  uint64_t record_changed = 0;   // the file record
  uint64_t accessed = 0;
};

// Text held in a scan's name pool (UTF-8).
struct PooledText {
  uint32_t offset = 0;
  uint32_t length = 0;
};

// Where a record's size and inode id come from, weakest first.
enum class SizeSource : uint8_t { kNone, kIndexRoot, kData };

// A file's size: its unnamed $DATA's, else its $I30 root's (a directory's).
struct FileSize {
  uint64_t bytes = 0;
  uint16_t attribute_id = 0;
  SizeSource source = SizeSource::kNone;
  // Takes the attribute's value size when kind is stronger than the source held.
  void Offer(uint64_t value_bytes, uint16_t id, SizeSource kind) {
    if (kind <= source) return;
    bytes = value_bytes;
    attribute_id = id;
    source = kind;
  }
};

// Kept for every record of the MFT: 56 bytes, so the fields are ordered
// and the flags are bits.
struct ScannedRecord {
  static constexpr uint32_t kNoName = 0xFFFFFFFF;
  FileTimes times;  // $STANDARD_INFORMATION
  uint64_t size = 0;  // the value size of size_attribute_id (see FileSize)
  uint32_t primary_name = kNoName;  // the name that links it into the tree (an index into names)
  uint32_t attributes = 0;  // file attribute flags of $STANDARD_INFORMATION (read-only 0x1, system 0x4...)
  uint16_t sequence = 0;
  uint16_t size_attribute_id = 0;
  SizeSource size_source = SizeSource::kNone;
  bool valid : 1 = false;  // a base record: read, signature and update sequence good
  bool in_use : 1 = false;
  bool directory : 1 = false;
  bool free_in_bitmap : 1 = false;  // the MFT bitmap given to the scan has its bit clear

  void OfferSize(const FileSize& offered) {
    if (offered.source <= size_source) return;
    size = offered.bytes;
    size_attribute_id = offered.attribute_id;
    size_source = offered.source;
  }
};

// The unnamed $DATA of a free base record (one the MFT bitmap marks free or
// whose in-use flag is clear), as its record still describes it: what a
// recovery needs to find the clusters again.
struct FreeRecordData {
  uint64_t record = 0;
  uint64_t size = 0;
  bool resident = false;
  // The runs of the extent in the base record, in runs() of the scan from
  // first_run; complete when they reach the value's last VCN (a value whose
  // later extents lay in extension records is not complete).
  uint32_t first_run = 0;
  uint32_t run_count = 0;
  bool complete = false;
};

// What a scan keeps beyond the timeline's needs.
struct ScanOptions {
  // Keep FreeRecordData of free base records, and mark free_in_bitmap from
  // this bitmap (bit n, byte n / 8 least significant first: record n in use).
  bool free_record_data = false;
  std::span<const uint8_t> mft_bitmap;
  // When given, sees every record the scan parses (update sequence undone),
  // base and extension alike, for what the tables do not keep. The scan
  // parses on kLanes threads at once (base/lanes.h): `lane` tells which one
  // calls, and each lane's calls come in record order.
  std::function<void(const FileRecord&, unsigned lane)> also;
  // Records a lane parses at a time; 0 lets the scan choose (about 1 MiB of
  // records). Small blocks make tests cross many lanes on small volumes.
  uint64_t records_per_block = 0;
};

// Runs kept for free records, all together (32 bytes each); past this the
// records' data is kept without runs, as not complete.
inline constexpr size_t kMaxFreeRecordRuns = size_t{1} << 20;

// NTFS numbers at most 2^32 file records, so a record number held by the
// scan is 32 bits (a longer MFT is read up to there).
inline constexpr uint64_t kMaxScannedRecords = uint64_t{1} << 32;

// Kept for every name: 32 bytes. Its times (MftScan::TimesOf) are most
// often its record's $STANDARD_INFORMATION times to the tick (NTFS writes
// both when it makes the file), and are then not kept twice.
struct ScannedName {
  static constexpr uint32_t kRecordTimes = 0xFFFFFFFF;
  FileReference parent;  // with its sequence number
  PooledText text;
  uint32_t record = 0;  // the base record's number: an index into records()
  uint32_t times = kRecordTimes;  // an index into the scan's name times, or kRecordTimes
  uint16_t attribute_id = 0;
  uint8_t name_space = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 both
};

struct ScannedStream {
  uint64_t size = 0;
  PooledText text;
  uint32_t record = 0;  // as ScannedName's
  uint16_t attribute_id = 0;
};

enum class SkipReason : uint8_t {
  kUnreadable,         // the MFT's runs do not map it, or the device read failed
  kNotFileRecord,      // neither "FILE" nor zero-filled
  kTornUpdateSequence, // the update sequence array is damaged or a sector is torn
  kStrayExtension,     // an extension record whose base does not claim it
  kCount,
};

// The longest parent chain followed; deeper names count as orphans. A path
// of 32,767 UTF-16 units has at most this many components.
inline constexpr unsigned kMaxPathDepth = 16384;

class MftScan {
 public:
  const std::vector<ScannedRecord>& records() const { return records_; }
  // Sorted by record, each record's in on-disk order.
  const std::vector<ScannedName>& names() const { return names_; }
  const std::vector<ScannedStream>& streams() const { return streams_; }
  // With ScanOptions::free_record_data: sorted by record.
  const std::vector<FreeRecordData>& free_data() const { return free_data_; }
  std::span<const Run> RunsOf(const FreeRecordData& data) const {
    return std::span<const Run>(free_runs_).subspan(data.first_run, data.run_count);
  }
  // The free record data of a record, or null.
  const FreeRecordData* FreeDataOf(uint64_t record) const;
  std::string_view Text(PooledText text) const { return std::string_view(pool_).substr(text.offset, text.length); }
  // A name's own $FILE_NAME times.
  const FileTimes& TimesOf(const ScannedName& name) const {
    return name.times == ScannedName::kRecordTimes ? records_[name.record].times : name_times_[name.times];
  }

  uint64_t slots() const { return slots_; }  // records of the MFT visited
  uint64_t Skipped(SkipReason reason) const { return skipped_[static_cast<size_t>(reason)]; }

  // Whether name (of a base record) is printed at all: its record was read
  // and it is not the root's own entry.
  bool Listed(const ScannedName& name) const;

  struct Path {
    std::string text;     // "/dir/name", or "/$OrphanFiles/dir/name" when orphaned
    bool orphan = false;  // the parent chain is broken, reused, cyclic or too deep
    bool within = false;  // the chain passes through the subtree root (or is it)
    bool parent_matched = false;  // the name's own parent reference was accepted
  };
  // The full path of a name. A parent counts only while it is a directory
  // read from the MFT whose sequence number matches the reference (or is
  // one above it when parent and child were both deleted: NTFS bumps the
  // sequence when it frees a record). The first directory whose link fails
  // starts the path under /$OrphanFiles, and so does a cycle.
  Path PathOf(const ScannedName& name, FileReference subtree_root) const;
  // The same for a name the records no longer hold (found in slack):
  // `leaf` of record `record` under parent.
  Path PathUnder(FileReference parent, uint64_t record, std::string_view leaf, FileReference subtree_root) const;
  // The same into path, whose text keeps its buffer: for a caller building
  // many. Safe on several threads at once.
  void PathUnder(FileReference parent, uint64_t record, std::string_view leaf, FileReference subtree_root,
                 Path& path) const;

  friend std::optional<MftScan> ScanMft(VolumeContext& volume, const ScanOptions& options);

 private:
  enum class Link : uint8_t { kUnknown, kOnChain, kLinked, kCut };
  bool ParentAccepted(FileReference parent) const;
  Link ResolveLink(uint64_t directory);
  Link LinkOf(uint64_t directory) const;
  void ParseRecord(uint64_t number, const FileRecord& record, const ScanOptions& options);
  void KeepFreeData(uint64_t number, const AttributeRecord& data);
  // Appends a block's tables (parsed into a scan of its own, from record
  // first_) and empties it, keeping its buffers for the next block.
  void Absorb(MftScan& block);
  void Finish();

  uint64_t first_ = 0;  // the record records_[0] is (a block's first)
  std::vector<ScannedRecord> records_;
  std::vector<ScannedName> names_;
  std::vector<FileTimes> name_times_;  // of names whose times are not their record's
  std::vector<ScannedStream> streams_;
  std::string pool_;
  std::vector<FreeRecordData> free_data_;
  std::vector<Run> free_runs_;
  // Extension contributions wait here until every base record is known.
  struct Claim {
    FileReference base;
    bool in_use = false;
    size_t first_name = 0, end_name = 0, first_stream = 0, end_stream = 0;
    FileSize size;
  };
  std::vector<Claim> claims_;
  std::vector<Link> links_;  // every directory's, resolved by Finish
  uint64_t slots_ = 0;
  std::array<uint64_t, static_cast<size_t>(SkipReason::kCount)> skipped_{};
};

// nullopt when the MFT cannot be located (record 0 or its runs unreadable).
std::optional<MftScan> ScanMft(VolumeContext& volume, const ScanOptions& options = {});

// True when a reference's sequence number names this record: equal, or one
// below for a record no longer in use. A reference without one (0, which
// NTFS never gives a record) is taken as it stands.
bool SequenceMatches(FileReference reference, const ScannedRecord& record);

}  // namespace velmora
