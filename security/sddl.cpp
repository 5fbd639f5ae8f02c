// A security descriptor in the Security Descriptor Definition Language.
#include <cstdio>

#include "base/format.h"
#include "security/descriptor.h"
#include "security/status.h"

namespace velmora::security {

// Registry form; the first three groups are stored little-endian.
std::string GuidText(const std::array<uint8_t, 16>& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

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

}  // namespace velmora::security
