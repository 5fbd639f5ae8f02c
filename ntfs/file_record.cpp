#include "ntfs/file_record.h"

#include "ntfs/attribute_list.h"
#include "ntfs/lookup.h"
#include "ntfs/volume.h"
#include "base/format.h"

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

Error RecordError(uint64_t number, std::string_view why, ErrorKind kind = ErrorKind::kDamaged) {
  return Error{Format("record 0x%I64X", number), Utf8ToUtf16(why), kind};
}

Expected<FileRecord> CheckRecord(uint64_t number, std::vector<uint8_t> bytes) {
  const uint32_t signature = LeBytes(bytes).U32(record::kSignature);
  if (signature != record::kFileSignature) {
    if (signature == 0) return RecordError(number, "not a file record: no FILE signature, the slot was never used",
                                               ErrorKind::kAbsent);
    return RecordError(number, "not a file record: bad signature 0x" + Utf16ToUtf8(Format("%08X", signature)) +
                                   " where FILE was expected");
  }
  if (!ApplyUpdateSequence(bytes, kUpdateSequenceStride))
    return RecordError(number, "failed its update sequence check (a torn write or damage)");
  return FileRecord(std::move(bytes), RecordNumber(number));
}

Expected<FileRecord> ReadDirect(VolumeContext& volume, uint64_t number) {
  uint64_t offset = 0;
  uint64_t within = 0;
  if (!CheckedMul(number, volume.BytesPerFileRecord(), within) ||
      !CheckedAdd(volume.geometry().MftOffset(), within, offset))
    return RecordError(number, "lies beyond any byte offset (the boot sector's MFT cluster is out of range)");
  std::vector<uint8_t> bytes(volume.BytesPerFileRecord());
  if (!ReadVolumeBytes(volume, offset, bytes))
    return RecordError(number,
                       "cannot be read at byte offset " + std::to_string(offset) +
                           " of the volume (past the end of the source?)",
                       ErrorKind::kUnreadable);
  return CheckRecord(number, std::move(bytes));
}

Expected<FileRecord> ReadThroughRuns(VolumeContext& volume, const RunList& runs, uint64_t number) {
  uint64_t position = 0;
  uint64_t end = 0;
  if (!CheckedMul(number, volume.BytesPerFileRecord(), position) ||
      !CheckedMul(runs.EndVcn().value, volume.BytesPerCluster(), end) || position >= end)
    return RecordError(number,
                       "lies outside the MFT, which holds " + std::to_string(end / volume.BytesPerFileRecord()) +
                           " records",
                       ErrorKind::kAbsent);
  std::vector<uint8_t> bytes(volume.BytesPerFileRecord());
  if (!ReadRunBytes(volume, runs, position, bytes, /*require_mapped=*/true))
    return RecordError(number, "cannot be read through the MFT's runs (unmapped, or past the end of the source)",
                       ErrorKind::kUnreadable);
  return CheckRecord(number, std::move(bytes));
}

// An extracted $MFT is the MFT's bytes alone: record N at N times the record
// size, up to the source's end.
Expected<FileRecord> ReadFromMftFile(VolumeContext& volume, uint64_t number) {
  const uint64_t record_bytes = volume.BytesPerFileRecord();
  const std::optional<uint64_t> source_bytes = volume.device()->Size();
  uint64_t offset = 0;
  if (!CheckedMul(number, record_bytes, offset) || (source_bytes && offset >= *source_bytes))
    return RecordError(number,
                       "lies outside the MFT, which holds " + std::to_string(source_bytes.value_or(0) / record_bytes) +
                           " records",
                       ErrorKind::kAbsent);
  std::vector<uint8_t> bytes(record_bytes);
  if (!ReadMftFileBytes(volume, offset, bytes))
    return RecordError(number, "cannot be read at byte offset " + std::to_string(offset) + " of the MFT file",
                       ErrorKind::kUnreadable);
  return CheckRecord(number, std::move(bytes));
}

// The MFT's runs: its first $DATA extent in record 0 and, when record 0 has
// an attribute list, the later extents it names. The records holding those
// extents lie within the runs already known (NTFS keeps them there, or the
// MFT could not be read at all), so they are read through the runs so far.
Expected<RunList> LoadMftRuns(VolumeContext& volume) {
  auto mft = ReadDirect(volume, 0);
  if (!mft) return mft.error().Within(u"the MFT");
  const auto data = FindAttribute(*mft, AttrType::kData, nullptr, nullptr);
  if (!data || !data->NonResident())
    return Error{u"the MFT", u"record 0 holds no usable $DATA attribute to map the MFT by"};
  RunList first;
  first.AppendExtent(*data);
  if (first.empty()) return Error{u"the MFT", u"record 0's $DATA attribute maps no clusters"};
  auto list_value = ReadAttributeListValue(volume, *mft);
  if (!list_value) return first;
  auto base = std::make_shared<const FileRecord>(std::move(*mft));
  const auto extent = FindAttribute(*base, AttrType::kData, nullptr, nullptr);
  return GatherExtentRuns(ListAttributes(*list_value), *extent,
                          [&](uint64_t number, const RunList& gathered) -> std::shared_ptr<const FileRecord> {
                            if (number == 0) return base;
                            auto holder = ReadThroughRuns(volume, gathered, number);
                            return holder ? std::make_shared<const FileRecord>(std::move(*holder)) : nullptr;
                          });
}

}  // namespace

Expected<const RunList*> CachedMftRuns(VolumeContext& volume) {
  if (!volume.mft_runs_) {
    auto runs = LoadMftRuns(volume);
    if (!runs) return runs.error();
    volume.mft_runs_ = std::move(*runs);
  }
  return &*volume.mft_runs_;
}

const RunList* MftRunList(VolumeContext& volume) {
  if (!volume.HasGeometry() || volume.MftOnly()) return nullptr;
  auto runs = CachedMftRuns(volume);
  return runs ? *runs : nullptr;
}

Expected<FileRecord> ReadFileRecord(VolumeContext& volume, RecordNumber number) {
  if (!volume.HasGeometry())
    return RecordError(number.value, "cannot be read: the boot sector gives no usable cluster or record size");
  if (volume.MftOnly()) return ReadFromMftFile(volume, number.value);
  if (number.value < record::kDirectRecords) return ReadDirect(volume, number.value);
  auto runs = CachedMftRuns(volume);
  if (!runs) return runs.error().Within(Format("record 0x%I64X", number.value));
  return ReadThroughRuns(volume, **runs, number.value);
}

}  // namespace velmora
