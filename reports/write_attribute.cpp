#include <algorithm>
#include <vector>

#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "base/format.h"
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
  auto fail = [&](const Error& error) {
    context.console.Diagnostic("%s\n", error.Line());
    return false;
  };
  // The platform refuses a path that is the volume's own source or any
  // device: nothing is ever written to evidence. The bytes go to a new file
  // beside the output path, which takes its name only once complete: a
  // failure leaves a file already there as it was.
  platform::CreateOutcome created = context.platform.CreateOutputFile(output_path, *volume.device(), {});
  if (!created.file) return fail(created.error);

  auto record = ReadFileRecord(volume, target.Record());
  if (!record) return fail(record.error());
  // Only the base record's own attributes can be chosen; the instance is
  // 16 bits wide, so a larger id matches nothing.
  const std::u16string where = Format("record 0x%I64X", target.value);
  auto attribute = FindAttributeByInstance(*record, attribute_id);
  if (!attribute) {
    return fail(Error{where, Format("no attribute with instance 0x%X in the base record (the INSTANCE column of -a)",
                                    attribute_id)});
  }
  const uint64_t size = attribute->ValueSize();
  const std::u16string attribute_where = Format("attribute 0x%X of record 0x%I64X", attribute_id, target.value);
  if (size == 0) return fail(Error{attribute_where, u"its value is empty; nothing to write"});
  if (size > kMaxWrittenValue) {
    return fail(Error{attribute_where, Format("its value holds %I64u bytes, more than the %I64u written at most",
                                              size, kMaxWrittenValue)});
  }

  // Later extents of a value whose first extent is in the base record are
  // named by the base record's attribute list.
  AttributeReader reader = AttributeReader::ForFileAttribute(volume, *record, *attribute);
  std::vector<uint8_t> buffer(kTransferChunk);
  for (uint64_t offset = 0; offset < size;) {
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(size - offset, kTransferChunk));
    const std::span<uint8_t> piece(buffer.data(), chunk);
    auto count = reader.ReadAttributeRange(offset, piece);
    if (!count || *count != chunk)
      return fail(Error{attribute_where, Format("its value cannot be read at byte offset 0x%I64X", offset)});
    if (auto written = created.file->Write(piece); !written) return fail(written.error());
    offset += chunk;
  }
  if (auto committed = created.file->Commit(); !committed) return fail(committed.error());
  return true;
}

}  // namespace velmora
