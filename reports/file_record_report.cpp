#include "reports/file_record_report.h"

#include <new>
#include <optional>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "output/text.h"

namespace velmora {

namespace {

// The REF of an attribute of the base record itself: the number its header
// states (what the MFTRecNumber line shows), or, in a 42-byte header
// without that field, the number the record was read at.
AttributeRow RowOf(const FileRecord& record, const AttributeRecord& attribute) {
  return AttributeRow{attribute.TypeCode(), record.HeaderNumber().value_or(record.Number().value), attribute.Id(),
                      UpToNul(attribute.Name())};
}

}  // namespace

bool AttributeRows::Add(AttributeRow row) {
  if (rows_.size() == capacity_) {
    const size_t grown = capacity_ == 0 ? 1 : capacity_ * 2;
    if (grown > limit_) return false;
    try {
      rows_.reserve(grown);
    } catch (const std::bad_alloc&) {
      return false;
    }
    capacity_ = grown;
  }
  rows_.push_back(std::move(row));
  return true;
}

std::u16string_view AttributeTypeName(uint32_t type) {
  switch (static_cast<AttrType>(type)) {
    case AttrType::kStandardInformation: return u"$STANDARD_INFORMATION(1)";
    case AttrType::kAttributeList: return u"$ATTRIBUTE_LIST(2)";
    case AttrType::kFileName: return u"$FILE_NAME(3)";
    case AttrType::kObjectId: return u"$OBJECT_ID(4)";
    case AttrType::kSecurityDescriptor: return u"$SECURITY_DESCRIPTOR(5)";
    case AttrType::kVolumeName: return u"$VOLUME_NAME(6)";
    case AttrType::kVolumeInformation: return u"$VOLUME_INFORMATION(7)";
    case AttrType::kData: return u"$DATA(8)";
    case AttrType::kIndexRoot: return u"$INDEX_ROOT(9)";
    case AttrType::kIndexAllocation: return u"$INDEX_ALLOCATION(10)";
    case AttrType::kBitmap: return u"$BITMAP(11)";
    case AttrType::kReparsePoint: return u"$REPARSE_POINT(12)";
    case AttrType::kEaInformation: return u"$EA_INFORMATION(13)";
    case AttrType::kEa: return u"$EA(14)";
    case AttrType::kLoggedUtilityStream: return u"$LOGGED_UTILITY_STREAM(16)";
    default: return u"$UNKNOWN_ATTRIBUTE";
  }
}

bool CollectAttributeRows(VolumeContext& volume, FileReference reference, AttributeRows& rows,
                          std::vector<Error>* problems) {
  auto record = ReadFileRecord(volume, reference.Record());
  if (!record) return false;
  FileAttributes file = FileAttributes::Open(volume, std::move(*record));
  const FileRecord& base = file.base();
  if (!file.HasList()) {
    AttributeWalk walk(base);
    while (auto a = walk.Next()) rows.Add(RowOf(base, *a));
    return true;
  }

  // The list names every attribute of the file, those of the base record
  // included, so the base record's own attributes are not added besides.
  bool list_row_added = false;
  for (const ListedAttribute& entry : file.listed()) {
    // The list does not name itself; its row goes where its type would sort.
    if (!list_row_added && entry.type_code > ToU32(AttrType::kAttributeList)) {
      rows.Add(RowOf(base, *file.list_attribute()));
      list_row_added = true;
    }
    rows.Add(AttributeRow{entry.type_code, entry.holder.value, entry.instance, UpToNul(entry.name)});
  }
  if (problems) *problems = file.problems();
  return true;
}

namespace {

// The file record header fields the report shows, read once.
struct RecordHeader {
  char signature[4];
  uint16_t update_sequence_offset, update_sequence_size;
  uint64_t lsn;
  uint16_t sequence, hard_links, attributes_offset, flags;
  uint32_t first_free_byte, allocated_size;
  uint64_t base_record;
  uint16_t next_attribute_id, number_high;
  uint32_t number_low;
};

RecordHeader HeaderOf(const FileRecord& record) {
  const LeBytes header = record.bytes();
  RecordHeader h{};
  for (int i = 0; i < 4; ++i) h.signature[i] = static_cast<char>(header.U8(record::kSignature + i));
  h.update_sequence_offset = record.OffsetOfUS();
  h.update_sequence_size = record.SizeOfUS();
  h.lsn = record.LogSeqNumber();
  h.sequence = record.Sequence();
  h.hard_links = record.HardLinks();
  h.attributes_offset = record.OffsetOfAttr();
  h.flags = record.Flags();
  h.first_free_byte = record.FirstFreeByte();
  h.allocated_size = record.AllocSize();
  h.base_record = record.RefToBase();
  h.next_attribute_id = record.NextAttrId();
  h.number_high = record.NumberHigh();
  h.number_low = record.NumberLow();
  return h;
}

// File record header flags.
constexpr json::FlagName kRecordFlags[] = {
    {0x0001, "IN_USE"}, {0x0002, "DIRECTORY"}, {0x0004, "EXTEND"}, {0x0008, "VIEW_INDEX"}};

void PrintHeader(ReportContext& context, const RecordHeader& h) {
  if (context.json) {
    json::Line line("record_header");
    // Each byte as the character of that number, as the text shows it.
    const std::u16string signature{static_cast<uint8_t>(h.signature[0]), static_cast<uint8_t>(h.signature[1]),
                                   static_cast<uint8_t>(h.signature[2]), static_cast<uint8_t>(h.signature[3])};
    line.Text("signature", signature)
        .Number("update_sequence_offset", h.update_sequence_offset)
        .Number("update_sequence_size", h.update_sequence_size)
        .Wide("lsn", h.lsn)
        .Number("sequence", h.sequence)
        .Number("hard_links", h.hard_links)
        .Number("attributes_offset", h.attributes_offset)
        .Flags("flags", h.flags, kRecordFlags)
        .Number("first_free_byte", h.first_free_byte)
        .Number("allocated_size", h.allocated_size)
        .Reference("base_record", FileReference(h.base_record))
        .Number("next_attribute_id", h.next_attribute_id)
        .Wide("record_number", (uint64_t{h.number_high} << 32) | h.number_low);
    json::Emit(context.console, line);
    return;
  }
  context.console.Print(
      "File record : \nSignature     = %c%c%c%c\nOffsetOfUS    = %04X\nSizeOfUS      = %04X\n"
      "LogSeqNumber  = %016I64X\nSequence      = %04X\nHardLinks     = %04X\nOffsetOfAttr  = %04X\n"
      "Flags         = %04X\nFirstFreeByte = %08X\nAllocSize     = %08X\nRefToBase     = %016I64X\n"
      "NextAttrID    = %04X\nMFTRecNumber  = 0000%04X%08X\n",
      static_cast<uint8_t>(h.signature[0]), static_cast<uint8_t>(h.signature[1]), static_cast<uint8_t>(h.signature[2]),
      static_cast<uint8_t>(h.signature[3]), h.update_sequence_offset, h.update_sequence_size, h.lsn, h.sequence,
      h.hard_links, h.attributes_offset, h.flags, h.first_free_byte, h.allocated_size, h.base_record,
      h.next_attribute_id, h.number_high, h.number_low);
}

}  // namespace

std::u16string_view AttributeTypeShortName(uint32_t type) {
  std::u16string_view name = AttributeTypeName(type);
  return name.substr(0, name.find(u'('));
}

bool ReportFileRecord(ReportContext& context, FileReference target) {
  {
    auto record = ReadReportRecord(context, target);
    if (!record) return false;
    PrintHeader(context, HeaderOf(*record));
  }  // the record is freed before the attribute rows are gathered

  AttributeRows rows;
  std::vector<Error> problems;
  if (!CollectAttributeRows(context.volume, target, rows, &problems)) return true;
  for (const Error& problem : problems) context.console.Diagnostic("%s\n", problem.Line());
  if (context.json) {
    uint64_t index = 0;
    for (const AttributeRow& row : rows.rows()) {
      json::Line line("attribute_row");
      line.Number("index", index++).Number("type", row.type).Text("type_name", AttributeTypeShortName(row.type));
      line.Reference("reference", FileReference(row.reference)).Number("instance", row.instance).Text("name", row.name);
      json::Emit(context.console, line);
    }
    return true;
  }
  context.console.Print(kDashLine);
  context.console.Print("\nIndex\tAttribute type\t\t\tREF\t\t\tINSTANCE\tNAME\n");
  context.console.Print(kDashLine);
  int index = 0;
  for (const AttributeRow& row : rows.rows()) {
    context.console.Print("%02d]\t%-30s\t%016I64X\t%08X\t%s\n",
                          index++, AttributeTypeName(row.type), row.reference, row.instance, row.name);
  }
  return true;
}

}  // namespace velmora
