// -s: the descriptor stored under a security id, found through $Secure's
// $SII index and read from its $SDS stream; and the lines (or JSON object)
// of any descriptor, which -v prints for $SECURITY_DESCRIPTOR too.
#include <new>

#include "ntfs/secure.h"
#include "output/json_lines.h"
#include "output/text.h"
#include "reports/reports.h"
#include "security/descriptor.h"
#include "security/status.h"

namespace velmora {

namespace {

using security::AceValue;
using security::AclValue;
using security::DescriptorValues;
using security::NamedSid;

constexpr char kColumnHeader[] = "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n";
constexpr char kOwnerLine[] = "Owner    : %s    %s\\%s\n";
constexpr char kGroupLine[] = "Group    : %s    %s\\%s\n";
// One ACE: its SID, domain and account, mask, type and flags. The list's
// line is picked as the program runs, so its type carries the arguments.
using AceLine = FormatString<std::u16string, std::u16string, std::u16string, uint32_t, uint8_t, uint8_t>;
constexpr AceLine kSaclLine = "SACL ACE : %s    %s\\%s %08X %02X %02X\n";
constexpr AceLine kDaclLine = "DACL ACE : %s    %s\\%s %08X %02X %02X\n";

// Descriptor control bits.
constexpr json::FlagName kControlFlags[] = {
    {0x0001, "OWNER_DEFAULTED"},      {0x0002, "GROUP_DEFAULTED"},      {0x0004, "DACL_PRESENT"},
    {0x0008, "DACL_DEFAULTED"},       {0x0010, "SACL_PRESENT"},         {0x0020, "SACL_DEFAULTED"},
    {0x0100, "DACL_AUTO_INHERIT_REQ"}, {0x0200, "SACL_AUTO_INHERIT_REQ"}, {0x0400, "DACL_AUTO_INHERITED"},
    {0x0800, "SACL_AUTO_INHERITED"},  {0x1000, "DACL_PROTECTED"},       {0x2000, "SACL_PROTECTED"},
    {0x4000, "RM_CONTROL_VALID"},     {0x8000, "SELF_RELATIVE"}};
// ACE header flags.
constexpr json::FlagName kAceFlags[] = {{0x01, "OBJECT_INHERIT"}, {0x02, "CONTAINER_INHERIT"},
                                        {0x04, "NO_PROPAGATE_INHERIT"}, {0x08, "INHERIT_ONLY"},
                                        {0x10, "INHERITED"}, {0x40, "SUCCESSFUL_ACCESS"}, {0x80, "FAILED_ACCESS"}};
// Access mask bits: the file rights, the standard rights and the generic ones.
constexpr json::FlagName kMaskFlags[] = {
    {0x00000001, "FILE_READ_DATA"},       {0x00000002, "FILE_WRITE_DATA"},   {0x00000004, "FILE_APPEND_DATA"},
    {0x00000008, "FILE_READ_EA"},         {0x00000010, "FILE_WRITE_EA"},     {0x00000020, "FILE_EXECUTE"},
    {0x00000040, "FILE_DELETE_CHILD"},    {0x00000080, "FILE_READ_ATTRIBUTES"},
    {0x00000100, "FILE_WRITE_ATTRIBUTES"}, {0x00010000, "DELETE"},           {0x00020000, "READ_CONTROL"},
    {0x00040000, "WRITE_DAC"},            {0x00080000, "WRITE_OWNER"},       {0x00100000, "SYNCHRONIZE"},
    {0x01000000, "ACCESS_SYSTEM_SECURITY"}, {0x02000000, "MAXIMUM_ALLOWED"}, {0x10000000, "GENERIC_ALL"},
    {0x20000000, "GENERIC_EXECUTE"},      {0x40000000, "GENERIC_WRITE"},     {0x80000000, "GENERIC_READ"}};

void AddSid(json::Line& line, std::string_view key, const NamedSid& sid) {
  line.Object(key).Text("sid", sid.text).Bytes("bytes", sid.bytes);
  if (!sid.name.empty()) line.Text("domain", sid.domain).Text("name", sid.name);
  line.End();
}

void AddAcl(json::Line& line, std::string_view key, const AclValue& acl) {
  line.Object(key).Bool("present", acl.present).Bool("null", acl.null).Array("aces");
  for (const AceValue& ace : acl.aces) {
    const security::AceType* type = security::FindAceType(ace.record.type);
    line.Object("").Number("type", ace.record.type).String("type_name", type ? type->name : "UNKNOWN");
    line.Flags("flags", ace.record.flags, kAceFlags).Flags("mask", ace.record.mask, kMaskFlags);
    if (ace.record.object_type) line.String("object_type", security::GuidText(*ace.record.object_type));
    if (ace.record.inherited_object_type)
      line.String("inherited_object_type", security::GuidText(*ace.record.inherited_object_type));
    AddSid(line, "trustee", ace.who);
    line.End();
  }
  line.End().End();
}

}  // namespace

uint32_t ShowSecurityDescriptor(Console& console, platform::Platform& platform, std::span<const uint8_t> descriptor) {
  try {
    console.Print(kDashLine);
    console.Print(kColumnHeader);
    const DescriptorValues values = security::DescribeSecurityDescriptor(platform, descriptor);
    if (values.owner) console.Print(kOwnerLine, values.owner->text, values.owner->domain, values.owner->name);
    if (values.group) console.Print(kGroupLine, values.group->text, values.group->domain, values.group->name);
    for (auto [acl, format] : {std::pair{&values.sacl, kSaclLine}, std::pair{&values.dacl, kDaclLine}}) {
      for (const AceValue& ace : acl->aces) {
        console.Print(format, ace.who.text, ace.who.domain, ace.who.name, ace.record.mask, ace.record.type_shown,
                      ace.record.flags);
      }
    }
    return values.status;
  } catch (const std::bad_alloc&) {
    return kStatusOutOfMemory;
  }
}

void EmitSecurityDescriptor(Console& console, const DescriptorValues& values, std::span<const uint8_t> descriptor) {
  json::Line line("security_descriptor");
  line.Bool("found", true).Bool("complete", values.status == kStatusSuccess).Number("status", values.status);
  line.Bytes("bytes", descriptor);
  if (values.header_valid) line.Number("revision", values.revision).Flags("control", values.control, kControlFlags);
  if (values.owner) AddSid(line, "owner", *values.owner);
  if (values.group) AddSid(line, "group", *values.group);
  AddAcl(line, "sacl", values.sacl);
  AddAcl(line, "dacl", values.dacl);
  line.Text("sddl", security::Sddl(values));
  json::Emit(console, line);
}

void ReportSecurityDescriptor(ReportContext& context, std::span<const uint8_t> descriptor) {
  uint32_t status;
  if (context.json) {
    const security::DescriptorValues values = security::DescribeSecurityDescriptor(context.platform, descriptor);
    EmitSecurityDescriptor(context.console, values, descriptor);
    status = values.status;
  } else {
    status = ShowSecurityDescriptor(context.console, context.platform, descriptor);
  }
  if (status != kStatusSuccess)
    context.console.Diagnostic("Security descriptor rendering stopped (status 0x%08X)\n", status);
}

// An id absent from $Secure prints NONE alone; any other failure says why
// on standard error too.
bool ShowSecurityDescriptorById(ReportContext& context, uint32_t security_id) {
  if (security_id < kFirstSecurityId) return false;
  const auto entry = ReadSdsEntry(context.volume, security_id);
  if (!entry) {
    if (entry.error().kind != ErrorKind::kAbsent) context.console.Diagnostic("%s\n", entry.error().Line());
    return false;
  }
  ReportSecurityDescriptor(context, std::span<const uint8_t>(*entry).subspan(sds_entry::kDescriptor));
  return true;
}

}  // namespace velmora
