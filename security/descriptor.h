// Self-relative security descriptors as NTFS stores them ($SECURITY_DESCRIPTOR
// values and $Secure:$SDS entries), printed as owner, group, SACL and DACL
// lines with SID strings and account names.
//
// Every structure is read within the bytes handed over. A descriptor, SID,
// ACL or ACE that reaches past them, or past the structure that holds it,
// is malformed: the rendering stops there with kStatusInvalidArgument,
// leaving the lines already printed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/output.h"
#include "platform/platform.h"

namespace velmora::security {

// Revision 1, at most 15 sub-authorities: 8 + 4 * 15 bytes.
inline constexpr uint64_t kMaxSidLength = 0x44;

// The valid SID (revision 1, at most 15 sub-authorities) that begins at
// offset and lies wholly inside bytes, as a span of exactly its length.
std::optional<std::span<const uint8_t>> SidAt(std::span<const uint8_t> bytes, uint64_t offset);

// Standard string form (S-1-5-18); an identifier authority of 2^32 or more
// as 0x and twelve hex digits. Empty when the bytes do not begin with a valid SID.
std::u16string SidToString(std::span<const uint8_t> sid);

enum class AclKind { kSacl, kDacl };

// One ACE kept for printing, with a private copy of its SID.
struct AceRecord {
  std::array<uint8_t, kMaxSidLength> sid_bytes{};
  uint8_t sid_length = 0;
  uint32_t mask = 0;
  uint8_t type_shown = 0;
  uint8_t flags = 0;

  std::span<const uint8_t> sid() const { return {sid_bytes.data(), sid_length}; }
};

// Parses the ACL at offset in the descriptor into records of the ACEs the
// list keeps (DACL: 00 01 05 06; SACL: 02 07, and 11 shown as 02), in ACL
// order. Returns kStatusSuccess, or kStatusInvalidArgument for a malformed
// ACL, in which case records holds nothing usable.
uint32_t ParseAcl(std::span<const uint8_t> descriptor, uint64_t offset, AclKind kind,
                  std::vector<AceRecord>& records);

// Prints the descriptor. Returns kStatusSuccess, or the status where the
// rendering stopped: kStatusInvalidArgument (malformed descriptor),
// kStatusOutOfMemory, or StatusFromError of a failed account lookup retry.
// The caller reports a failure; the lines printed before it stay.
uint32_t ShowSecurityDescriptor(Console& console, platform::Platform& platform,
                                std::span<const uint8_t> descriptor);

}  // namespace velmora::security
