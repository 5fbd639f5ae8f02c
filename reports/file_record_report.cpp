#include "reports/file_record_report.h"

#include <new>
#include <optional>

#include "ntfs/attribute_list.h"
#include "ntfs/file_record.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"

namespace velmora {

namespace {

// The names print as a terminated buffer would: up to an embedded NUL.
std::u16string UpToNul(std::u16string text) {
  if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
  return text;
}

AttributeRow RowOf(const FileRecord& record, const AttributeRecord& attribute) {
  return AttributeRow{attribute.TypeCode(), record.OwnNumber(), attribute.Id(), UpToNul(attribute.Name())};
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

bool CollectAttributeRows(VolumeContext& volume, FileReference reference, AttributeRows& rows) {
  auto record = ReadFileRecord(volume, reference);
  if (!record) return false;

  std::optional<AttributeRecord> list;
  AttributeWalk find(*record);
  while (auto a = find.Next()) {
    if (a->Type() == AttrType::kAttributeList) {
      list = a;
      break;
    }
  }
  if (!list) {
    AttributeWalk walk(*record);
    while (auto a = walk.Next()) rows.Add(RowOf(*record, *a));
    return true;
  }

  // The list names every attribute of the file, those of the base record
  // included, so the base record's own attributes are not added besides.
  // Read as every lookup reads it, within the list bound.
  const std::optional<std::vector<uint8_t>> value = ReadAttributeListValue(volume, *record);
  if (!value) return true;
  bool list_row_added = false;
  for (const AttributeListEntry& entry : AttributeListEntries(*value)) {
    // The list does not name itself; its row goes where its type would sort.
    if (!list_row_added && entry.TypeCode() > ToU32(AttrType::kAttributeList)) {
      rows.Add(RowOf(*record, *list));
      list_row_added = true;
    }
    rows.Add(AttributeRow{entry.TypeCode(), entry.Reference().value, entry.Instance(), UpToNul(entry.Name())});
  }
  return true;
}

bool ReportFileRecord(ReportContext& context, FileReference target) {
  {
    auto record = ReadReportRecord(context, target);
    if (!record) return false;
    const LeBytes header = record->bytes();
    context.console.Print(
        "File record : \nSignature     = %c%c%c%c\nOffsetOfUS    = %04X\nSizeOfUS      = %04X\n"
        "LogSeqNumber  = %016I64X\nSequence      = %04X\nHardLinks     = %04X\nOffsetOfAttr  = %04X\n"
        "Flags         = %04X\nFirstFreeByte = %08X\nAllocSize     = %08X\nRefToBase     = %016I64X\n"
        "NextAttrID    = %04X\nMFTRecNumber  = 0000%04X%08X\n",
        {header.U8(record::kSignature), header.U8(record::kSignature + 1), header.U8(record::kSignature + 2),
         header.U8(record::kSignature + 3), record->OffsetOfUS(), record->SizeOfUS(), record->LogSeqNumber(),
         record->Sequence(), record->HardLinks(), record->OffsetOfAttr(), record->Flags(), record->FirstFreeByte(),
         record->AllocSize(), record->RefToBase(), record->NextAttrId(), record->NumberHigh(), record->NumberLow()});
  }  // the record is freed before the attribute rows are gathered

  AttributeRows rows;
  if (!CollectAttributeRows(context.volume, target, rows)) return true;
  context.console.Print("-----------------\n");
  context.console.Print("\nIndex\tAttribute type\t\t\tREF\t\t\tINSTANCE\tNAME\n");
  context.console.Print("-----------------\n");
  int index = 0;
  for (const AttributeRow& row : rows.rows()) {
    context.console.Print("%02d]\t%-30s\t%016I64X\t%08X\t%s\n",
                          {index++, AttributeTypeName(row.type), row.reference, row.instance, row.name});
  }
  return true;
}

}  // namespace velmora
