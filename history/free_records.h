// Free file records whose names still parse: what the volume held before
// the files were deleted, and how much of their data is still there.
//
// A record is free when the MFT bitmap has its bit clear or its header's
// in-use flag is clear. Its $FILE_NAMEs, times and the runs of its unnamed
// $DATA stay until the record is reused; the clusters those runs name are
// free too unless $Bitmap has given them to another file since.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"
#include "ntfs/types.h"

namespace velmora {
class VolumeContext;
}

namespace velmora::history {

// Bit n of the volume's $Bitmap (byte n / 8, least significant bit first)
// is set when cluster n is allocated. Read through a window of the value,
// so memory stays the same whatever the volume's size.
class ClusterBitmap {
 public:
  static Expected<ClusterBitmap> Open(VolumeContext& volume);
  // How many of the clusters [lcn, lcn + count) are allocated. A cluster
  // past the bitmap's end, or one whose bits cannot be read, counts as
  // allocated: nothing can be recovered from it.
  uint64_t CountAllocated(Lcn lcn, uint64_t count);

 private:
  ClusterBitmap(VolumeContext& volume, FileReference file) : volume_(&volume), file_(file) {}
  bool Load(uint64_t byte);

  VolumeContext* volume_;
  FileReference file_;
  uint64_t window_start_ = 0;
  std::vector<uint8_t> window_;
};

struct FreeRecordName {
  std::string path;  // as the timeline names it: "/dir/name" or "/$OrphanFiles/..."
  bool orphan = false;
  FileTimes times;   // this $FILE_NAME's
};

struct FreeRecord {
  FileReference reference;  // the record and the sequence number it holds now
  bool directory = false;
  FileTimes times;  // $STANDARD_INFORMATION
  std::vector<FreeRecordName> names;
  // The unnamed $DATA, when the record has one.
  bool has_data = false;
  bool resident = false;
  uint64_t size = 0;
  std::vector<Run> runs;  // the base record's extent
  bool runs_complete = false;  // the runs reach the value's end (always for a resident value)
  uint64_t clusters = 0;              // clusters the runs name (holes are none)
  uint64_t clusters_reallocated = 0;  // of those, how many $Bitmap gives to something now
  // 0: every cluster still free (or no cluster at all); 1: none is.
  double ReallocatedShare() const {
    return clusters == 0 ? 0.0 : static_cast<double>(clusters_reallocated) / static_cast<double>(clusters);
  }
};

// The MFT's own $BITMAP value (held in record 0), read whole (bounded by
// kMaxWholeValueBytes).
Expected<std::vector<uint8_t>> ReadMftBitmap(VolumeContext& volume);

// The scan options that keep what FreeRecords needs.
ScanOptions FreeRecordScanOptions(std::span<const uint8_t> mft_bitmap);

// Clusters of the runs, and how many of them $Bitmap marks allocated.
struct ReallocatedClusters {
  uint64_t clusters = 0;
  uint64_t reallocated = 0;
};
ReallocatedClusters CountReallocated(ClusterBitmap& bitmap, std::span<const Run> runs);

// Every free base record with at least one name the timeline lists, under
// subtree_root (the root: all, orphans included), in record order: at most
// max_records of them. One pass over a scan made with FreeRecordScanOptions.
struct FreeRecords {
  std::vector<FreeRecord> records;
  uint64_t left_out = 0;  // beyond max_records
  // subtree_root's own path as the names' paths spell it ("/dir"); empty for
  // the root, so a name's path below it is what follows.
  std::string subtree_path;
};
FreeRecords CollectFreeRecords(const MftScan& scan, ClusterBitmap& bitmap, FileReference subtree_root,
                               size_t max_records = size_t{1} << 20);

// The scan and the collection in one call: the MFT read once.
Expected<FreeRecords> ReadFreeRecords(VolumeContext& volume, FileReference subtree_root);

}  // namespace velmora::history
