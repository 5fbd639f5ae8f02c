// -v: the attribute enumeration shared with -d, and the detail visitor that
// prints each attribute's header and decodes $STANDARD_INFORMATION,
// $FILE_NAME and $SECURITY_DESCRIPTOR values.
#include <algorithm>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/attribute_set.h"
#include "ntfs/standard_information.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "output/text.h"
#include "reports/reports.h"

namespace velmora {

namespace {

// Decoded values larger than this are not shown.
constexpr uint64_t kMaxDecodedValueBytes = 0x4000;

constexpr std::string_view kCommonFormat =
    "Common attribute:\n"
    "\tType        = %08X\n"
    "\tTotalSize   = %08X\n"
    "\tNonResident = %02X\n"
    "\tNameLength  = %02X\n"
    "\tNameOffset  = %04X\n"
    "\tFlags       = %04X\n"
    "\tId          = %04X\n";
constexpr std::string_view kNonResidentFormat =
    "NonResident attribute:\n"
    "\tStartVCN      = %016I64X\n"
    "\tLastVCN       = %016I64X\n"
    "\tDataRunOffset = %04X\n"
    "\tCompUnitSize  = %04X\n"
    "\tAllocSize     = %016I64X\n"
    "\tRealSize      = %016I64X\n"
    "\tIniSize       = %016I64X\n";
constexpr std::string_view kResidentFormat =
    "Resident attribute:\n"
    "\tAttrSize    = %08X\n"
    "\tAttrOffset  = %04X\n"
    "\tIndexedFlag = %02X\n";
constexpr std::string_view kStandardInformationFormat =
    "\tCreateTime       = %016I64X\n"
    "\tModificationTime = %016I64X\n"
    "\tChangeTime       = %016I64X\n"
    "\tAccessTime       = %016I64X\n"
    "\tPermission       = %08X\n"
    "\tMaxVersionNo     = %08X\n"
    "\tVersionNo        = %08X\n"
    "\tClassId          = %08X\n"
    "\tOwnerId          = %08X\n"
    "\tSecurityId       = %08X\n"
    "\tQuotaCharged     = %016I64X\n"
    "\tUSN              = %016I64X\n";
constexpr std::string_view kFileNameFormat =
    "\tParentRef        = %016I64X\n"
    "\tCreateTime       = %016I64X\n"
    "\tModificationTime = %016I64X\n"
    "\tChangeTime       = %016I64X\n"
    "\tAccessTime       = %016I64X\n"
    "\tAllocSize        = %016I64X\n"
    "\tRealSize         = %016I64X\n"
    "\tFlags            = %08X\n"
    "\tER               = %08X\n"
    "\tNameLength       = %02X\n"
    "\tNameSpace        = %02X\n"
    "\tName             = %s\n";

// The value of a resident attribute of that type no larger than the decoders
// take, or nullopt.
std::optional<LeBytes> DecodableValue(const AttributeRecord& attribute, AttrType type) {
  if (attribute.Type() != type || attribute.NonResident() || attribute.AttrSize() > kMaxDecodedValueBytes)
    return std::nullopt;
  return LeBytes(attribute.ResidentValue());
}

// Attribute record header flags.
constexpr json::FlagName kAttributeFlags[] = {{0x0001, "COMPRESSED"}, {0x4000, "ENCRYPTED"}, {0x8000, "SPARSE"}};
// File attribute flags, as $STANDARD_INFORMATION and $FILE_NAME hold them.
constexpr json::FlagName kFileAttributeFlags[] = {
    {0x0001, "READONLY"},      {0x0002, "HIDDEN"},          {0x0004, "SYSTEM"},
    {0x0010, "DIRECTORY"},     {0x0020, "ARCHIVE"},         {0x0040, "DEVICE"},
    {0x0080, "NORMAL"},        {0x0100, "TEMPORARY"},       {0x0200, "SPARSE_FILE"},
    {0x0400, "REPARSE_POINT"}, {0x0800, "COMPRESSED"},      {0x1000, "OFFLINE"},
    {0x2000, "NOT_CONTENT_INDEXED"}, {0x4000, "ENCRYPTED"}, {0x10000000, "DUP_DIRECTORY"},
    {0x20000000, "DUP_VIEW_INDEX"}};

// The decoded $STANDARD_INFORMATION fields. A value shorter than 72 bytes
// (the 48-byte form among them) gives the fields it lacks, and a field it
// holds only in part, as zero.
struct StandardInformationValues {
  uint64_t created, modified, changed, accessed;
  uint32_t permission, max_versions, version, class_id, owner_id, security_id;
  uint64_t quota_charged, usn;
};

std::optional<StandardInformationValues> DecodeStandardInformation(const AttributeRecord& attribute) {
  auto value = DecodableValue(attribute, AttrType::kStandardInformation);
  if (!value) return std::nullopt;
  namespace si = standard_information;
  return StandardInformationValues{
      value->U64(si::kCreateTime), value->U64(si::kModificationTime), value->U64(si::kChangeTime),
      value->U64(si::kAccessTime), value->U32(si::kPermission),       value->U32(si::kMaxVersionNo),
      value->U32(si::kVersionNo),  value->U32(si::kClassId),          value->U32(si::kOwnerId),
      value->U32(si::kSecurityId), value->U64(si::kQuotaCharged),     value->U64(si::kUsn)};
}

// The decoded $FILE_NAME fields. A value too short for its fields gives the
// missing fields as zero and the name's units that lie within the value
// (name_length still holds the stored count, so the damage is visible).
// Like the C string it is copied into, the name ends at its first NUL unit.
struct FileNameValues {
  uint64_t parent, created, modified, changed, accessed, allocated_size, real_size;
  uint32_t flags, er;
  uint8_t name_length, name_space;
  std::u16string name;
};

std::optional<FileNameValues> DecodeFileName(const AttributeRecord& attribute) {
  auto value = DecodableValue(attribute, AttrType::kFileName);
  if (!value) return std::nullopt;
  const uint8_t name_length = value->U8(file_name::kNameLength);
  uint64_t units_present = 0;
  if (value->size() > file_name::kName) units_present = (value->size() - file_name::kName) / 2;
  std::u16string name = UpToNul(value->Utf16(file_name::kName, std::min<uint64_t>(name_length, units_present)));
  return FileNameValues{value->U64(file_name::kParentRef),  value->U64(file_name::kCreateTime),
                        value->U64(file_name::kModificationTime), value->U64(file_name::kChangeTime),
                        value->U64(file_name::kAccessTime), value->U64(file_name::kAllocSize),
                        value->U64(file_name::kRealSize),   value->U32(file_name::kFlags),
                        value->U32(file_name::kEr),         name_length,
                        value->U8(file_name::kNameSpace),   std::move(name)};
}

void EmitAttributeHeader(Console& console, const AttributeRecord& attribute) {
  json::Line line("attribute_header");
  line.Number("type", attribute.TypeCode())
      .Text("type_name", AttributeTypeShortName(attribute.TypeCode()))
      .Number("total_size", attribute.TotalSize())
      .Bool("non_resident", attribute.NonResident())
      .Number("name_length", attribute.NameLength())
      .Number("name_offset", attribute.NameOffset())
      .Text("name", attribute.Name())
      .Flags("flags", attribute.Flags(), kAttributeFlags)
      .Number("id", attribute.Id());
  if (attribute.NonResident()) {
    line.Object("nonresident")
        .Wide("start_vcn", attribute.StartVcn())
        .Wide("last_vcn", attribute.LastVcn())
        .Number("data_run_offset", attribute.DataRunOffset())
        .Number("compression_unit", attribute.CompUnitSize())
        .Wide("allocated_size", attribute.AllocSize())
        .Wide("real_size", attribute.RealSize())
        .Wide("initialized_size", attribute.IniSize())
        .End();
  } else {
    line.Object("resident")
        .Number("value_size", attribute.AttrSize())
        .Number("value_offset", attribute.AttrOffset())
        .Number("indexed_flag", attribute.IndexedFlag())
        .End();
  }
  json::Emit(console, line);
}

void EmitStandardInformation(Console& console, const StandardInformationValues& v) {
  json::Line line("standard_information");
  line.Bool("found", true)
      .FileTimes(v.created, v.modified, v.changed, v.accessed)
      .Flags("file_attributes", v.permission, kFileAttributeFlags)
      .Number("max_versions", v.max_versions)
      .Number("version", v.version)
      .Number("class_id", v.class_id)
      .Number("owner_id", v.owner_id)
      .Number("security_id", v.security_id)
      .Wide("quota_charged", v.quota_charged)
      .Wide("usn", v.usn);
  json::Emit(console, line);
}

void EmitFileName(Console& console, const FileNameValues& v) {
  json::Line line("file_name");
  line.Bool("found", true)
      .Reference("parent", FileReference(v.parent))
      .FileTimes(v.created, v.modified, v.changed, v.accessed)
      .Wide("allocated_size", v.allocated_size)
      .Wide("real_size", v.real_size)
      .Flags("file_attributes", v.flags, kFileAttributeFlags)
      .Number("reparse_or_ea", v.er)
      .Number("name_length", v.name_length)
      .Number("name_space", v.name_space)
      .Text("name", v.name);
  json::Emit(console, line);
}

// A value the decoder does not take.
void EmitNotDecoded(Console& console, std::string_view report) {
  json::Line line(report);
  json::Emit(console, line.Bool("found", false));
}

void DetailJson(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute) {
  EmitAttributeHeader(context.console, attribute);
  switch (attribute.Type()) {
    case AttrType::kStandardInformation:
      if (auto values = DecodeStandardInformation(attribute)) {
        EmitStandardInformation(context.console, *values);
      } else {
        EmitNotDecoded(context.console, "standard_information");
      }
      break;
    case AttrType::kFileName:
      if (auto values = DecodeFileName(attribute)) {
        EmitFileName(context.console, *values);
      } else {
        EmitNotDecoded(context.console, "file_name");
      }
      break;
    case AttrType::kSecurityDescriptor:
      if (!ShowSecurityDescriptorAttribute(context, file, attribute))
        EmitNotDecoded(context.console, "security_descriptor");
      break;
    default:
      break;
  }
}

}  // namespace

// Through an attribute list only the first extent of each attribute is
// visited, and each attribute once, however often a damaged list names it.
bool EnumerateAttributes(ReportContext& context, FileReference target, AttrType type,
                         const AttributeVisitor& visitor) {
  auto base = ReadReportRecord(context, target);
  if (!base) return false;
  FileAttributes file = FileAttributes::Open(context.volume, std::move(*base));
  for (const HeldAttribute& attribute : file.Find(type, nullptr)) {
    if (visitor(context, file, *attribute) == Walk::kStop) break;
  }
  ReportProblems(context, file);
  return true;
}

Walk DetailVisitor(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute) {
  if (context.json) {
    DetailJson(context, file, attribute);
    return Walk::kContinue;
  }
  Console& console = context.console;
  console.Print(kDashLine);
  console.Print(
      kCommonFormat,
      attribute.TypeCode(), attribute.TotalSize(), attribute.NonResidentByte(), attribute.NameLength(),
      attribute.NameOffset(), attribute.Flags(), attribute.Id());
  console.Print(kDashLine);
  if (attribute.NonResident()) {
    console.Print(
        kNonResidentFormat,
        attribute.StartVcn(), attribute.LastVcn(), attribute.DataRunOffset(), attribute.CompUnitSize(),
        attribute.AllocSize(), attribute.RealSize(), attribute.IniSize());
  } else {
    console.Print(kResidentFormat, attribute.AttrSize(), attribute.AttrOffset(), attribute.IndexedFlag());
  }

  bool decoded = true;
  switch (attribute.Type()) {
    case AttrType::kStandardInformation:
      console.Print(kDashLine);
      console.Print("Standard Information:\n");
      decoded = ShowStandardInformation(console, attribute);
      break;
    case AttrType::kFileName:
      console.Print(kDashLine);
      console.Print("File name :\n");
      decoded = ShowFileName(console, attribute);
      break;
    case AttrType::kSecurityDescriptor:
      console.Print(kDashLine);
      console.Print("Security Descriptor :\n");
      decoded = ShowSecurityDescriptorAttribute(context, file, attribute);
      break;
    default:
      break;
  }
  if (!decoded) console.Print("\tNONE\n");
  return Walk::kContinue;
}

bool ShowStandardInformation(Console& console, const AttributeRecord& attribute) {
  auto v = DecodeStandardInformation(attribute);
  if (!v) return false;
  console.Print(kDashLine);
  console.Print(kStandardInformationFormat,
                v->created, v->modified, v->changed, v->accessed, v->permission, v->max_versions, v->version,
                v->class_id, v->owner_id, v->security_id, v->quota_charged, v->usn);
  return true;
}

bool ShowFileName(Console& console, const AttributeRecord& attribute) {
  auto v = DecodeFileName(attribute);
  if (!v) return false;
  console.Print(kDashLine);
  console.Print(kFileNameFormat, v->parent, v->created, v->modified, v->changed, v->accessed, v->allocated_size,
                                 v->real_size, v->flags, v->er, v->name_length, v->name_space, v->name);
  return true;
}

// The value is read whole through every extent of the attribute. A
// non-resident value is bounded by its full 64-bit size, not by its low 32
// bits, so a huge size is refused rather than read short.
bool ShowSecurityDescriptorAttribute(ReportContext& context, FileAttributes& file,
                                     const AttributeRecord& attribute) {
  if (attribute.Type() != AttrType::kSecurityDescriptor) return false;
  const uint64_t size = attribute.ValueSize();
  if (size > kMaxDecodedValueBytes) return false;
  std::vector<uint8_t> value(size);
  if (attribute.NonResident()) {
    // An empty non-resident value fails here: there is nothing to read.
    AttributeReader reader = file.Reader(attribute);
    auto count = reader.ReadNonResidentRange(0, value);
    if (!count || *count != size) return false;
  } else {
    CopyResidentRange(attribute, 0, value);
  }
  ReportSecurityDescriptor(context, value);
  return true;
}

}  // namespace velmora
