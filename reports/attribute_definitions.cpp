#include <optional>
#include <vector>

#include "base/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "output/text.h"
#include "reports/reports.h"

namespace velmora {

namespace {

// $AttrDef entry: 160 bytes, packed from the start of $AttrDef's $DATA;
// offsets from the entry start. A type code of 0 ends the table.
namespace attrdef {
inline constexpr uint64_t kName = 0x00;          // 64 UTF-16 units, NUL-padded
inline constexpr uint64_t kNameUnits = 64;
inline constexpr uint64_t kType = 0x80;          // u32
// 0x84 display rule and 0x88 collation rule (u32 each) are not shown.
inline constexpr uint64_t kFlags = 0x8C;         // u32
inline constexpr uint64_t kMinimumSize = 0x90;   // u64
inline constexpr uint64_t kMaximumSize = 0x98;   // u64
inline constexpr uint64_t kEntrySize = 0xA0;
}  // namespace attrdef

// $AttrDef entry flags.
constexpr json::FlagName kAttrDefFlags[] = {
    {0x02, "INDEXABLE"}, {0x04, "MULTIPLE"},  {0x08, "NOT_NULL"},  {0x10, "INDEXED_UNIQUE"},
    {0x20, "NAMED_UNIQUE"}, {0x40, "RESIDENT"}, {0x80, "ALWAYS_LOG"}};

}  // namespace

bool ReportAttributeDefinitions(ReportContext& context) {
  auto record = ReadReportRecord(context, kAttrDefReference);
  if (!record) return false;
  const auto data = FindAttribute(*record, AttrType::kData, nullptr, nullptr);
  if (!data) return false;

  // The table is a few kilobytes; only the low 32 bits of a non-resident
  // size count, and a value too large to hold whole is not read.
  const uint64_t size = data->NonResident() ? (data->RealSize() & 0xFFFFFFFFu) : data->AttrSize();
  if (size == 0 || size > kMaxWholeValueBytes) return false;
  std::vector<uint8_t> buffer(size);
  AttributeReader reader(context.volume, *data);
  if (!reader.ReadAttributeRange(0, buffer)) return false;

  if (!context.json) context.console.Print("Attribute name\t\tType      Flags     Minimum\t      Maximum\n");
  const LeBytes table(buffer);
  for (uint64_t entry = 0; table.Fits(entry, attrdef::kEntrySize); entry += attrdef::kEntrySize) {
    const uint32_t type = table.U32(entry + attrdef::kType);
    if (type == 0) break;
    const std::u16string name = UpToNul(table.Utf16(entry + attrdef::kName, attrdef::kNameUnits));
    const uint32_t flags = table.U32(entry + attrdef::kFlags);
    const uint64_t minimum = table.U64(entry + attrdef::kMinimumSize);
    const uint64_t maximum = table.U64(entry + attrdef::kMaximumSize);
    if (context.json) {
      json::Line line("attrdef");
      line.Text("name", name).Number("type", type).Flags("flags", flags, kAttrDefFlags);
      json::Emit(context.console, line.Wide("minimum_size", minimum).Wide("maximum_size", maximum));
    } else {
      context.console.Print("%-20s\t%08X  %08X  %016I64X  %016I64X\n", name, type, flags, minimum, maximum);
    }
  }
  return true;
}

}  // namespace velmora
