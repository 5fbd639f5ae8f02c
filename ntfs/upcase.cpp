#include "ntfs/upcase.h"

#include "ntfs/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"

namespace velmora {

void UpcaseTable::Load(const std::vector<uint8_t>& bytes) {
  LeBytes source(bytes);
  table_.assign(kUpcaseEntries, 0);
  for (uint32_t unit = 0; unit < kUpcaseEntries; ++unit) table_[unit] = static_cast<char16_t>(source.U16(2 * unit));
  loaded_ = true;
}

bool CheckNtfsVolume(VolumeContext& volume) {
  auto record = ReadFileRecord(volume, kUpcaseReference);
  if (!record) return false;
  auto data = FindAttribute(*record, AttrType::kData, nullptr, nullptr);
  if (!data || data->ValueSize() != kUpcaseBytes) return false;
  std::vector<uint8_t> bytes(kUpcaseBytes);
  AttributeReader reader(volume, *data);
  if (!reader.ReadAttributeRange(0, bytes)) return false;
  volume.upcase().Load(bytes);
  return true;
}

}  // namespace velmora
