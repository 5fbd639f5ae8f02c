// Self-relative security descriptors as NTFS stores them ($SECURITY_DESCRIPTOR
// values and $Secure:$SDS entries), read into owner, group, SACL and DACL
// values with SID strings and account names (reports/ prints them).
//
// Every structure is read within the bytes handed over. A descriptor, SID,
// ACL or ACE that reaches past them, or past the structure that holds it,
// is malformed: the reading stops there with kStatusInvalidArgument,
// keeping the values already read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "security/sid.h"

namespace velmora::security {

enum class AclKind { kSacl, kDacl };

// The ACE types the lists keep: the list that keeps each, the type the text
// shows for it (a mandatory label as a plain audit entry), whether GUIDs
// precede its SID (object ACEs), and its names in JSON and SDDL.
struct AceType {
  uint8_t type;
  AclKind list;
  uint8_t shown;
  bool object;
  std::string_view name;
  std::string_view sddl;
};
inline constexpr AceType kAceTypes[] = {
    {0x00, AclKind::kDacl, 0x00, false, "ACCESS_ALLOWED", "A"},
    {0x01, AclKind::kDacl, 0x01, false, "ACCESS_DENIED", "D"},
    {0x02, AclKind::kSacl, 0x02, false, "SYSTEM_AUDIT", "AU"},
    {0x05, AclKind::kDacl, 0x05, true, "ACCESS_ALLOWED_OBJECT", "OA"},
    {0x06, AclKind::kDacl, 0x06, true, "ACCESS_DENIED_OBJECT", "OD"},
    {0x07, AclKind::kSacl, 0x07, true, "SYSTEM_AUDIT_OBJECT", "OU"},
    {0x11, AclKind::kSacl, 0x02, false, "SYSTEM_MANDATORY_LABEL", "ML"},
};
// The entry of a type, or null for a type no list keeps.
const AceType* FindAceType(uint8_t type);

// One ACE kept for printing, with a private copy of its SID.
struct AceRecord {
  std::array<uint8_t, kMaxSidLength> sid_bytes{};
  uint8_t sid_length = 0;
  uint32_t mask = 0;
  uint8_t type = 0;        // as stored
  uint8_t type_shown = 0;  // as the text shows it
  uint8_t flags = 0;
  // Object ACEs: the GUIDs their flags announce.
  std::optional<std::array<uint8_t, 16>> object_type;
  std::optional<std::array<uint8_t, 16>> inherited_object_type;

  std::span<const uint8_t> sid() const { return {sid_bytes.data(), sid_length}; }
};

// Parses the ACL at offset in the descriptor into records of the ACEs the
// list keeps (DACL: 00 01 05 06; SACL: 02 07, and 11 shown as 02), in ACL
// order. Returns kStatusSuccess, or kStatusInvalidArgument for a malformed
// ACL, in which case records holds nothing usable.
uint32_t ParseAcl(std::span<const uint8_t> descriptor, uint64_t offset, AclKind kind,
                  std::vector<AceRecord>& records);

// A SID with its string form and the account names the platform gives it
// (empty when it knows none).
struct NamedSid {
  std::vector<uint8_t> bytes;
  std::u16string text;
  std::u16string domain;
  std::u16string name;
};

struct AceValue {
  AceRecord record;
  NamedSid who;
};

struct AclValue {
  bool present = false;  // its control bit is set
  bool null = false;     // present with offset 0: no list at all
  std::vector<AceValue> aces;
};

// A descriptor read as far as it is well formed: status is kStatusSuccess,
// or where the reading stopped (as ShowSecurityDescriptor returns it); the
// fields read before that are kept, in text order (owner, group, SACL, DACL).
struct DescriptorValues {
  uint32_t status = 0;
  bool header_valid = false;
  uint8_t revision = 0;
  uint16_t control = 0;
  std::optional<NamedSid> owner;
  std::optional<NamedSid> group;
  AclValue sacl;
  AclValue dacl;
};

DescriptorValues DescribeSecurityDescriptor(platform::Platform& platform, std::span<const uint8_t> descriptor);

// The descriptor in the Security Descriptor Definition Language: SIDs in
// S-1-... form, rights in hex; only the parts read before a failure.
std::u16string Sddl(const DescriptorValues& values);

// A GUID in registry form (the first three groups are stored little-endian).
std::string GuidText(const std::array<uint8_t, 16>& guid);

}  // namespace velmora::security
