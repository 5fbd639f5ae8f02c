#include "ntfs/file_record.h"

#include "ntfs/attribute_list.h"
#include "ntfs/volume.h"

namespace velmora {

std::optional<AttributeRecord> AttributeWalk::Next() {
  if (next_ >= record_.ScanBound()) return std::nullopt;
  auto attribute = AttributeRecord::Open(record_.span(), static_cast<uint32_t>(next_), record_.ScanBound());
  if (!attribute) {
    next_ = record_.ScanBound();
    return std::nullopt;
  }
  next_ += attribute->TotalSize();
  return attribute;
}

bool ApplyUpdateSequence(std::span<uint8_t> block, uint32_t stride) {
  LeBytes bytes(block);
  if (!bytes.Fits(0, 8) || stride < 2) return false;
  uint64_t array = bytes.U16(record::kOffsetOfUS);
  uint64_t count = bytes.U16(record::kSizeOfUS);
  if (count == 0 || !bytes.Fits(array, count * 2)) return false;
  if ((count - 1) * stride > block.size()) return false;
  const uint16_t usn = bytes.U16(array);
  for (uint64_t i = 1; i < count; ++i) {
    uint64_t protected_word = i * stride - 2;
    if (bytes.U16(protected_word) != usn) return false;
    StoreLe16(block, protected_word, bytes.U16(array + 2 * i));
  }
  return true;
}

namespace {

bool RecordGeometryUsable(const VolumeContext& volume) {
  uint32_t size = volume.BytesPerFileRecord();
  return volume.BytesPerCluster() != 0 && size >= record::kHeaderSize && size <= kMaxFileRecordBytes;
}

std::optional<FileRecord> CheckRecord(std::vector<uint8_t> bytes) {
  if (LeBytes(bytes).U32(record::kSignature) != record::kFileSignature) return std::nullopt;
  if (!ApplyUpdateSequence(bytes, kUpdateSequenceStride)) return std::nullopt;
  return FileRecord(std::move(bytes));
}

std::optional<FileRecord> ReadDirect(VolumeContext& volume, uint64_t number) {
  uint64_t offset = 0;
  uint64_t within = 0;
  if (!CheckedMul(volume.MftLcn(), volume.BytesPerCluster(), offset) ||
      !CheckedMul(number, volume.BytesPerFileRecord(), within) || !CheckedAdd(offset, within, offset))
    return std::nullopt;
  std::vector<uint8_t> bytes(volume.BytesPerFileRecord());
  if (!ReadVolumeBytes(volume, offset, bytes)) return std::nullopt;
  return CheckRecord(std::move(bytes));
}

std::optional<FileRecord> ReadThroughRuns(VolumeContext& volume, const RunList& runs, uint64_t number) {
  uint64_t position = 0;
  if (!CheckedMul(number, volume.BytesPerFileRecord(), position)) return std::nullopt;
  std::vector<uint8_t> bytes(volume.BytesPerFileRecord());
  if (!ReadRunBytes(volume, runs, position, bytes, /*require_mapped=*/true)) return std::nullopt;
  return CheckRecord(std::move(bytes));
}

// The MFT's runs: its first $DATA extent in record 0 and, when record 0 has
// an attribute list, the later extents it names. The records holding those
// extents lie within the runs already known (NTFS keeps them there, or the
// MFT could not be read at all), so they are read through the runs so far.
std::optional<RunList> LoadMftRuns(VolumeContext& volume) {
  auto mft = ReadDirect(volume, 0);
  if (!mft) return std::nullopt;
  std::optional<AttributeRecord> data;
  AttributeWalk walk(*mft);
  while (auto a = walk.Next()) {
    if (a->Type() == AttrType::kData) {
      data = a;
      break;
    }
  }
  if (!data || !data->NonResident()) return std::nullopt;
  RunList runs;
  runs.AppendExtent(*data);
  if (runs.empty()) return std::nullopt;

  auto list_value = ReadAttributeListValue(volume, *mft);
  if (!list_value) return runs;
  for (const AttributeListEntry& entry : AttributeListEntries(*list_value)) {
    if (entry.Type() != AttrType::kData || entry.StartVcn() == 0 || !entry.NameEquals(CountedName{data->Name()}))
      continue;
    uint64_t number = entry.Reference().RecordNumber();
    std::optional<FileRecord> holder =
        number == mft->OwnNumber() ? std::nullopt : ReadThroughRuns(volume, runs, number);
    const FileRecord& in = holder ? *holder : *mft;
    if (!holder && number != mft->OwnNumber()) continue;
    AttributeWalk extent_walk(in);
    while (auto a = extent_walk.Next()) {
      if (a->Id() == entry.Instance()) {
        if (a->Type() == AttrType::kData && a->NonResident() && !runs.AppendExtent(*a)) return runs;
        break;
      }
    }
  }
  return runs;
}

}  // namespace

const RunList* MftRunList(VolumeContext& volume) {
  if (!RecordGeometryUsable(volume)) return nullptr;
  if (!volume.mft_runs()) volume.mft_runs() = LoadMftRuns(volume);
  return volume.mft_runs() ? &*volume.mft_runs() : nullptr;
}

std::optional<FileRecord> ReadFileRecord(VolumeContext& volume, FileReference reference) {
  if (!RecordGeometryUsable(volume)) return std::nullopt;
  if (reference.value < record::kDirectRecords) return ReadDirect(volume, reference.value);
  const RunList* runs = MftRunList(volume);
  if (!runs) return std::nullopt;
  return ReadThroughRuns(volume, *runs, reference.value);
}

}  // namespace velmora
