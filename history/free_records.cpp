#include "history/free_records.h"

#include <algorithm>
#include <bit>

#include "base/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"

namespace velmora::history {

namespace {

constexpr FileReference kVolumeBitmapReference{6};
constexpr CountedName kUnnamed{u""};
// The part of $Bitmap held at a time: 512 Ki clusters.
constexpr uint64_t kWindowBytes = 64u << 10;

}  // namespace

Expected<ClusterBitmap> ClusterBitmap::Open(VolumeContext& volume) {
  auto record = ReadFileRecord(volume, kVolumeBitmapReference.Record());
  if (!record) return record.error();
  if (!FindFileAttribute(volume, *record, AttrType::kData, &kUnnamed))
    return Error{u"$Bitmap", u"the volume's cluster bitmap has no $DATA", ErrorKind::kDamaged};
  return ClusterBitmap(volume, kVolumeBitmapReference);
}

// The window is read again from the record each time it moves: the record
// is not kept, so that a bitmap outlives nothing it borrowed.
bool ClusterBitmap::Load(uint64_t byte) {
  const uint64_t start = byte - byte % kWindowBytes;
  if (!window_.empty() && start == window_start_) return byte - start < window_.size();
  window_.clear();
  auto record = ReadFileRecord(*volume_, file_.Record());
  if (!record) return false;
  HeldAttribute data = FindFileAttribute(*volume_, *record, AttrType::kData, &kUnnamed);
  if (!data) return false;
  AttributeReader reader = AttributeReader::ForFileAttribute(*volume_, *record, data);
  if (byte >= reader.ValueSize()) return false;
  window_.resize(std::min<uint64_t>(kWindowBytes, reader.ValueSize() - start));
  auto got = reader.ReadAttributeRange(start, window_);
  if (!got || *got != window_.size()) {
    window_.clear();
    return false;
  }
  window_start_ = start;
  return true;
}

uint64_t ClusterBitmap::CountAllocated(Lcn lcn, uint64_t count) {
  uint64_t allocated = 0;
  uint64_t bit = lcn.value;
  const uint64_t end = count > UINT64_MAX - bit ? UINT64_MAX : bit + count;
  while (bit < end) {
    if (!Load(bit / 8)) return allocated + (end - bit);
    const LeBytes bytes(window_);
    // Whole bytes inside the window at once, stray bits one by one.
    const uint64_t window_end_bit = (window_start_ + window_.size()) * 8;
    while (bit < end && bit < window_end_bit) {
      const uint8_t byte = bytes.U8(bit / 8 - window_start_);
      if (bit % 8 == 0 && end - bit >= 8) {
        allocated += static_cast<uint64_t>(std::popcount(byte));
        bit += 8;
      } else {
        allocated += (byte >> (bit % 8)) & 1;
        ++bit;
      }
    }
  }
  return allocated;
}

Expected<std::vector<uint8_t>> ReadMftBitmap(VolumeContext& volume) {
  auto mft = ReadFileRecord(volume, kMftReference.Record());
  if (!mft) return mft.error();
  // The MFT's $BITMAP is never moved out of its base record.
  const auto bitmap = FindAttribute(*mft, AttrType::kBitmap, nullptr, nullptr);
  if (!bitmap) return Error{u"$MFT", u"no $BITMAP attribute", ErrorKind::kDamaged};
  AttributeReader reader(volume, *bitmap);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) return Error{u"$MFT", u"its $BITMAP cannot be read whole", ErrorKind::kUnreadable};
  return *value;
}

ScanOptions FreeRecordScanOptions(std::span<const uint8_t> mft_bitmap) {
  ScanOptions options;
  options.free_record_data = true;
  options.mft_bitmap = mft_bitmap;
  return options;
}

ReallocatedClusters CountReallocated(ClusterBitmap& bitmap, std::span<const Run> runs) {
  ReallocatedClusters counted;
  for (const Run& run : runs) {
    if (!run.lcn) continue;
    counted.clusters += run.length;
    counted.reallocated += bitmap.CountAllocated(*run.lcn, run.length);
  }
  return counted;
}

FreeRecords CollectFreeRecords(const MftScan& scan, ClusterBitmap& bitmap, FileReference subtree_root,
                               size_t max_records) {
  FreeRecords found;
  const auto& records = scan.records();
  FreeRecord* current = nullptr;
  for (const ScannedName& name : scan.names()) {
    const ScannedRecord& record = records[name.record];
    if (name.record == subtree_root.Number() && found.subtree_path.empty() && scan.Listed(name)) {
      found.subtree_path = scan.PathOf(name, subtree_root).text;
      if (found.subtree_path == "/") found.subtree_path.clear();
    }
    if (!scan.Listed(name) || (record.in_use && !record.free_in_bitmap)) continue;
    MftScan::Path path = scan.PathOf(name, subtree_root);
    if (!path.within) continue;
    if (!current || current->reference.Number() != name.record) {
      if (found.records.size() >= max_records) {
        ++found.left_out;
        current = nullptr;
        continue;
      }
      FreeRecord& added = found.records.emplace_back();
      added.reference = FileReference::Of(name.record, record.sequence);
      added.directory = record.directory;
      added.times = record.times;
      if (const FreeRecordData* data = scan.FreeDataOf(name.record)) {
        added.has_data = true;
        added.resident = data->resident;
        added.size = data->size;
        const auto runs = scan.RunsOf(*data);
        added.runs.assign(runs.begin(), runs.end());
        added.runs_complete = data->complete;
        const ReallocatedClusters counted = CountReallocated(bitmap, runs);
        added.clusters = counted.clusters;
        added.clusters_reallocated = counted.reallocated;
      }
      current = &added;
    }
    current->names.push_back(FreeRecordName{std::move(path.text), path.orphan, scan.TimesOf(name)});
  }
  return found;
}

Expected<FreeRecords> ReadFreeRecords(VolumeContext& volume, FileReference subtree_root) {
  auto mft_bitmap = ReadMftBitmap(volume);
  if (!mft_bitmap) return mft_bitmap.error();
  auto bitmap = ClusterBitmap::Open(volume);
  if (!bitmap) return bitmap.error();
  std::optional<MftScan> scan = ScanMft(volume, FreeRecordScanOptions(*mft_bitmap));
  if (!scan) return Error{u"$MFT", u"the MFT cannot be read", ErrorKind::kUnreadable};
  return CollectFreeRecords(*scan, *bitmap, subtree_root);
}

}  // namespace velmora::history
