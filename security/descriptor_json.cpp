// A security descriptor as one JSON object, and its SDDL string.
#include <cstdio>

#include "output/json_lines.h"
#include "output/format.h"
#include "security/descriptor.h"
#include "security/status.h"

namespace velmora::security {

namespace {

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

// Registry form; the first three groups are stored little-endian.
std::string GuidText(const std::array<uint8_t, 16>& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

void AddSid(json::Line& line, std::string_view key, const NamedSid& sid) {
  line.Object(key).Text("sid", sid.text).Bytes("bytes", sid.bytes);
  if (!sid.name.empty()) line.Text("domain", sid.domain).Text("name", sid.name);
  line.End();
}

void AddAcl(json::Line& line, std::string_view key, const AclValue& acl) {
  line.Object(key).Bool("present", acl.present).Bool("null", acl.null).Array("aces");
  for (const AceValue& ace : acl.aces) {
    const AceType* type = FindAceType(ace.record.type);
    line.Object("").Number("type", ace.record.type).String("type_name", type ? type->name : "UNKNOWN");
    line.Flags("flags", ace.record.flags, kAceFlags).Flags("mask", ace.record.mask, kMaskFlags);
    if (ace.record.object_type) line.String("object_type", GuidText(*ace.record.object_type));
    if (ace.record.inherited_object_type)
      line.String("inherited_object_type", GuidText(*ace.record.inherited_object_type));
    AddSid(line, "trustee", ace.who);
    line.End();
  }
  line.End().End();
}

}  // namespace

std::u16string Sddl(const DescriptorValues& values) {
  std::u16string text;
  if (values.owner) text += u"O:" + values.owner->text;
  if (values.group) text += u"G:" + values.group->text;
  struct Part {
    const AclValue& acl;
    const char16_t* prefix;
    uint16_t protected_bit, auto_inherited_bit, auto_inherit_req_bit;
  };
  for (const Part& part : {Part{values.dacl, u"D:", 0x1000, 0x0400, 0x0100},
                           Part{values.sacl, u"S:", 0x2000, 0x0800, 0x0200}}) {
    if (!part.acl.present) continue;
    text += part.prefix;
    if (values.control & part.protected_bit) text += u"P";
    if (values.control & part.auto_inherit_req_bit) text += u"AR";
    if (values.control & part.auto_inherited_bit) text += u"AI";
    if (part.acl.null) {
      text += u"NO_ACCESS_CONTROL";
      continue;
    }
    for (const AceValue& ace : part.acl.aces) {
      const AceType* type = FindAceType(ace.record.type);
      // Appended piece by piece: "literal" + temporary trips a false
      // -Wrestrict in GCC 12's 32-bit builds.
      text += u"(";
      text += Utf8ToUtf16(type ? type->sddl : "");
      text += u";";
      static constexpr std::pair<uint8_t, const char16_t*> kFlagNames[] = {
          {0x01, u"OI"}, {0x02, u"CI"}, {0x04, u"NP"}, {0x08, u"IO"}, {0x10, u"ID"}, {0x40, u"SA"}, {0x80, u"FA"}};
      for (const auto& [bit, name] : kFlagNames) {
        if (ace.record.flags & bit) text += name;
      }
      text += Format(";0x%x;", ace.record.mask);
      if (ace.record.object_type) text += Utf8ToUtf16(GuidText(*ace.record.object_type));
      text += u";";
      if (ace.record.inherited_object_type) text += Utf8ToUtf16(GuidText(*ace.record.inherited_object_type));
      text += u";";
      text += ace.who.text;
      text += u")";
    }
  }
  return text;
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
  line.Text("sddl", Sddl(values));
  json::Emit(console, line);
}

}  // namespace velmora::security
