#include "ntfs/upcase.h"

#include "ntfs/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "source/contents.h"
#include "output/format.h"

namespace velmora {

void UpcaseTable::Load(const std::vector<uint8_t>& bytes) {
  LeBytes source(bytes);
  table_.assign(kUpcaseEntries, 0);
  for (uint32_t unit = 0; unit < kUpcaseEntries; ++unit) table_[unit] = static_cast<char16_t>(source.U16(2 * unit));
  loaded_ = true;
}

namespace {

// Why a volume whose $UpCase could not be loaded is not accepted: first
// what the source holds when it is no NTFS volume at all, then a boot
// sector field out of range, then the cause itself.
Error Rejection(VolumeContext& volume, const Error& cause) {
  const std::string contents = source::DescribeContents(*volume.device());
  if (contents != source::kNtfsBootSectorContents) {
    std::string advice;
    if (contents.starts_with(source::kPartitionTableContents))
      advice = ": name a partition with SOURCE#N, or let the first NTFS partition be picked";
    return Error{volume.label(), Utf8ToUtf16("not an NTFS volume: it holds " + contents + advice)};
  }
  if (auto geometry = CheckBootGeometry(volume); !geometry)
    return Error{volume.label(), u"NTFS boot sector with invalid geometry: " + geometry.error().Line()};
  return Error{volume.label(), u"NTFS volume cannot be used: " + cause.Line()};
}

}  // namespace

Expected<void> CheckNtfsVolume(VolumeContext& volume) {
  const Error upcase{Format("$UpCase (record 0x%I64X)", kUpcaseReference.value), {}};
  auto record = ReadFileRecord(volume, kUpcaseReference);
  if (!record) return Rejection(volume, record.error());
  auto data = FindAttribute(*record, AttrType::kData, nullptr, nullptr);
  if (!data) return Rejection(volume, Error{upcase.where, u"has no $DATA attribute"});
  if (data->ValueSize() != kUpcaseBytes)
    return Rejection(volume, Error{upcase.where, Format("holds %I64u bytes instead of %I64u",
                                                        data->ValueSize(), kUpcaseBytes)});
  std::vector<uint8_t> bytes(kUpcaseBytes);
  AttributeReader reader(volume, *data);
  if (!reader.ReadAttributeRange(0, bytes)) return Rejection(volume, Error{upcase.where, u"cannot be read"});
  volume.upcase().Load(bytes);
  return {};
}

}  // namespace velmora
