#include "ntfs/upcase.h"

#include "base/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "base/format.h"

namespace velmora {

void UpcaseTable::Load(const std::vector<uint8_t>& bytes) {
  LeBytes source(bytes);
  table_.assign(kUpcaseEntries, 0);
  for (uint32_t unit = 0; unit < kUpcaseEntries; ++unit) table_[unit] = static_cast<char16_t>(source.U16(2 * unit));
  loaded_ = true;
}

namespace {

// Why a volume whose $UpCase could not be loaded is not accepted: first
// what the source holds when it is no NTFS volume at all, then the cause
// itself (its geometry was validated when it was opened).
Error Rejection(VolumeContext& volume, const Error& cause) {
  if (auto not_ntfs = NotAnNtfsVolume(volume)) return *not_ntfs;
  return Error{volume.label(), u"NTFS volume cannot be used: " + cause.Line()};
}

}  // namespace

Expected<void> CheckNtfsVolume(VolumeContext& volume) {
  const Error upcase{Format("$UpCase (record 0x%I64X)", kUpcaseReference.value), {}};
  auto record = ReadFileRecord(volume, kUpcaseReference.Record());
  if (!record) return Rejection(volume, record.error());
  if (volume.MftOnly()) {
    // The table's 128 KiB lie in clusters an extracted $MFT does not hold:
    // names compare with ASCII letters folded, every other unit as it is,
    // which is what the table does for the names of nearly every volume.
    std::vector<uint8_t> bytes(kUpcaseBytes);
    for (uint32_t unit = 0; unit < kUpcaseEntries; ++unit) {
      const uint32_t up = unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
      StoreLe16(bytes, 2 * uint64_t{unit}, static_cast<uint16_t>(up));
    }
    UpcaseTable table;
    table.Load(bytes);
    volume.SetUpcase(std::move(table));
    return {};
  }
  auto data = FindAttribute(*record, AttrType::kData, nullptr, nullptr);
  if (!data) return Rejection(volume, Error{upcase.where, u"has no $DATA attribute"});
  if (data->ValueSize() != kUpcaseBytes)
    return Rejection(volume, Error{upcase.where, Format("holds %I64u bytes instead of %I64u",
                                                        data->ValueSize(), kUpcaseBytes)});
  std::vector<uint8_t> bytes(kUpcaseBytes);
  AttributeReader reader(volume, *data);
  if (!reader.ReadAttributeRange(0, bytes)) return Rejection(volume, Error{upcase.where, u"cannot be read"});
  UpcaseTable table;
  table.Load(bytes);
  volume.SetUpcase(std::move(table));
  return {};
}

}  // namespace velmora
