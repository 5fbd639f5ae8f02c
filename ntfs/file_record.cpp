#include "ntfs/file_record.h"

#include "ntfs/attribute_list.h"
#include "ntfs/volume.h"
#include "output/format.h"

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

Error RecordError(uint64_t number, std::string_view why) {
  return Error{Format("record 0x%I64X", number), Utf8ToUtf16(why)};
}

Expected<FileRecord> CheckRecord(uint64_t number, std::vector<uint8_t> bytes) {
  const uint32_t signature = LeBytes(bytes).U32(record::kSignature);
  if (signature != record::kFileSignature) {
    if (signature == 0) return RecordError(number, "not a file record: no FILE signature, the slot was never used");
    return RecordError(number, "not a file record: bad signature 0x" + Utf16ToUtf8(Format("%08X", signature)) +
                                   " where FILE was expected");
  }
  if (!ApplyUpdateSequence(bytes, kUpdateSequenceStride))
    return RecordError(number, "failed its update sequence check (a torn write or damage)");
  return FileRecord(std::move(bytes));
}

Expected<FileRecord> ReadDirect(VolumeContext& volume, uint64_t number) {
  uint64_t offset = 0;
  uint64_t within = 0;
  if (!CheckedMul(volume.MftLcn(), volume.BytesPerCluster(), offset) ||
      !CheckedMul(number, volume.BytesPerFileRecord(), within) || !CheckedAdd(offset, within, offset))
    return RecordError(number, "lies beyond any byte offset (the boot sector's MFT cluster is out of range)");
  std::vector<uint8_t> bytes(volume.BytesPerFileRecord());
  if (!ReadVolumeBytes(volume, offset, bytes))
    return RecordError(number, "cannot be read at byte offset " + std::to_string(offset) +
                                   " of the volume (past the end of the source?)");
  return CheckRecord(number, std::move(bytes));
}

Expected<FileRecord> ReadThroughRuns(VolumeContext& volume, const RunList& runs, uint64_t number) {
  uint64_t position = 0;
  uint64_t end = 0;
  if (!CheckedMul(number, volume.BytesPerFileRecord(), position) ||
      !CheckedMul(runs.EndVcn(), volume.BytesPerCluster(), end) || position >= end)
    return RecordError(number, "lies outside the MFT, which holds " + std::to_string(end / volume.BytesPerFileRecord()) +
                                   " records");
  std::vector<uint8_t> bytes(volume.BytesPerFileRecord());
  if (!ReadRunBytes(volume, runs, position, bytes, /*require_mapped=*/true))
    return RecordError(number, "cannot be read through the MFT's runs (unmapped, or past the end of the source)");
  return CheckRecord(number, std::move(bytes));
}

// The MFT's runs: its first $DATA extent in record 0 and, when record 0 has
// an attribute list, the later extents it names. The records holding those
// extents lie within the runs already known (NTFS keeps them there, or the
// MFT could not be read at all), so they are read through the runs so far.
Expected<RunList> LoadMftRuns(VolumeContext& volume) {
  auto mft = ReadDirect(volume, 0);
  if (!mft) return mft.error().Within(u"the MFT");
  std::optional<AttributeRecord> data;
  AttributeWalk walk(*mft);
  while (auto a = walk.Next()) {
    if (a->Type() == AttrType::kData) {
      data = a;
      break;
    }
  }
  if (!data || !data->NonResident())
    return Error{u"the MFT", u"record 0 holds no usable $DATA attribute to map the MFT by"};
  RunList runs;
  runs.AppendExtent(*data);
  if (runs.empty()) return Error{u"the MFT", u"record 0's $DATA attribute maps no clusters"};

  auto list_value = ReadAttributeListValue(volume, *mft);
  if (!list_value) return runs;
  for (const AttributeListEntry& entry : AttributeListEntries(*list_value)) {
    if (entry.Type() != AttrType::kData || entry.StartVcn() == 0 || !entry.NameEquals(CountedName{data->Name()}))
      continue;
    uint64_t number = entry.Reference().RecordNumber();
    std::optional<Expected<FileRecord>> holder;
    if (number != mft->OwnNumber()) {
      holder.emplace(ReadThroughRuns(volume, runs, number));
      if (!*holder) continue;
    }
    AttributeWalk extent_walk(holder ? **holder : *mft);
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
  if (!volume.mft_runs()) {
    auto runs = LoadMftRuns(volume);
    if (!runs) return nullptr;
    volume.mft_runs() = std::move(*runs);
  }
  return &*volume.mft_runs();
}

Expected<FileRecord> ReadFileRecord(VolumeContext& volume, FileReference reference) {
  if (!RecordGeometryUsable(volume))
    return RecordError(reference.value, "cannot be read: the boot sector gives no usable cluster or record size");
  if (reference.value < record::kDirectRecords) return ReadDirect(volume, reference.value);
  if (!volume.mft_runs()) {
    auto runs = LoadMftRuns(volume);
    if (!runs) return runs.error().Within(Format("record 0x%I64X", reference.value));
    volume.mft_runs() = std::move(*runs);
  }
  return ReadThroughRuns(volume, *volume.mft_runs(), reference.value);
}

}  // namespace velmora
