#include <algorithm>
#include <vector>

#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "reports/reports.h"

namespace velmora {

namespace {
// The largest value written (128 MiB), and the transfer chunk: memory stays
// at one chunk whatever the value's size.
constexpr uint64_t kMaxWrittenValue = 0x8000000;
constexpr uint32_t kTransferChunk = 0x10000;
}  // namespace

bool WriteAttributeToFile(ReportContext& context, std::u16string_view output_path, FileReference target,
                          uint32_t attribute_id) {
  VolumeContext& volume = context.volume;
  if (!volume.IsOpen()) return false;
  // The file is created before the attribute is looked at, so a failure
  // further on leaves it empty. The platform refuses a path that is the
  // volume's own source or any device: nothing is ever written to evidence.
  platform::CreateOutcome created = context.platform.CreateOutputFile(output_path, *volume.device());
  if (!created.file) {
    if (!created.refusal.empty()) context.console.Diagnostic("%s\n", {created.refusal});
    return false;
  }

  auto record = ReadFileRecord(volume, target);
  if (!record) return false;
  // Only the base record's own attributes can be chosen; the instance is
  // 16 bits wide, so a larger id matches nothing.
  auto attribute = FindAttributeByInstance(*record, attribute_id);
  if (!attribute) return false;
  const uint64_t size = attribute->ValueSize();
  if (size == 0 || size > kMaxWrittenValue) return false;

  // Later extents of a value whose first extent is in the base record are
  // named by the base record's attribute list.
  AttributeReader reader = AttributeReader::ForFileAttribute(volume, *record, *attribute);
  std::vector<uint8_t> buffer(kTransferChunk);
  for (uint64_t offset = 0; offset < size;) {
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(size - offset, kTransferChunk));
    const std::span<uint8_t> piece(buffer.data(), chunk);
    auto count = reader.ReadAttributeRange(offset, piece);
    if (!count || *count != chunk) return false;
    if (!created.file->Write(piece)) return false;
    offset += chunk;
  }
  return true;
}

}  // namespace velmora
