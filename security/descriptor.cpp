#include "security/descriptor.h"

#include <algorithm>
#include <new>

#include "base/bytes.h"
#include "base/format.h"
#include "base/text.h"
#include "security/sid.h"
#include "security/status.h"
#include "security/well_known_sids.h"

namespace velmora::security {

namespace {

// Self-relative security descriptor (offsets from its first byte).
constexpr uint64_t kSdRevisionOffset = 0x00;
constexpr uint64_t kSdControlOffset = 0x02;
constexpr uint64_t kSdOwnerOffset = 0x04;
constexpr uint64_t kSdGroupOffset = 0x08;
constexpr uint64_t kSdSaclOffset = 0x0C;
constexpr uint64_t kSdDaclOffset = 0x10;
constexpr uint64_t kSdHeaderLength = 0x14;
constexpr uint8_t kSdRevision = 1;
constexpr uint16_t kSeDaclPresent = 0x0004;
constexpr uint16_t kSeSaclPresent = 0x0010;

// ACL header (offsets from the ACL's first byte); ACEs follow at 0x08.
constexpr uint64_t kAclRevisionOffset = 0x00;
constexpr uint64_t kAclSizeOffset = 0x02;
constexpr uint64_t kAclCountOffset = 0x04;
constexpr uint64_t kAclHeaderLength = 0x08;
constexpr uint8_t kAclMinRevision = 2;
constexpr uint8_t kAclMaxRevision = 4;

// ACE (offsets from the ACE's first byte).
constexpr uint64_t kAceTypeOffset = 0x00;
constexpr uint64_t kAceFlagsOffset = 0x01;
constexpr uint64_t kAceSizeOffset = 0x02;
constexpr uint64_t kAceHeaderLength = 0x04;
constexpr uint64_t kAceMaskOffset = 0x04;
constexpr uint64_t kAceSidOffset = 0x08;
// Object ACEs: flags, then the GUIDs that the flags announce, then the SID.
constexpr uint64_t kObjectAceFlagsOffset = 0x08;
constexpr uint64_t kObjectAceGuidsOffset = 0x0C;
constexpr uint64_t kGuidLength = 0x10;
constexpr uint32_t kObjectTypePresent = 0x1;
constexpr uint32_t kInheritedObjectTypePresent = 0x2;

// First try of an account lookup, in characters with the terminator.
constexpr uint32_t kNameCapacity = 32;

// One LookupAccountSid in the Win32 manner: 32-character buffers, one retry
// with the capacities asked for after ERROR_INSUFFICIENT_BUFFER. Only a
// failed retry is an error; "none mapped" empties both names and any other
// error leaves them as they were.
uint32_t LookUpAccount(platform::Platform& platform, std::span<const uint8_t> sid, NamedSid& names) {
  // The system is handed exactly the bytes of one valid SID; where it keeps
  // no account database, the table of well-known SIDs answers instead.
  auto lookup = [&platform, sid](uint32_t name_capacity, uint32_t domain_capacity) {
    const auto view = SidView::At(sid, 0);
    if (!view) {
      platform::AccountLookup invalid;
      invalid.error = platform::kErrorInvalidParameter;
      return invalid;
    }
    if (!platform.HasAccountDatabase()) return LookupWellKnownSid(view->bytes(), name_capacity, domain_capacity);
    return platform.LookupAccountSid(view->bytes(), name_capacity, domain_capacity);
  };
  platform::AccountLookup result = lookup(kNameCapacity, kNameCapacity);
  if (result.error == platform::kErrorInsufficientBuffer) {
    result = lookup(result.name_needed, result.domain_needed);
    if (result.error != platform::kErrorSuccess) return StatusFromError(result.error);
  }
  if (result.error == platform::kErrorSuccess) {
    names.name = UpToNul(result.name);
    names.domain = UpToNul(result.domain);
  } else if (result.error == platform::kErrorNoneMapped) {
    names.name.clear();
    names.domain.clear();
  }
  return kStatusSuccess;
}

// The account is looked up while empty, then the domain while empty: an
// account with an empty domain (Everyone) is looked up twice, to the same
// answer. Every SID starts from nothing.
uint32_t ResolveSid(platform::Platform& platform, std::span<const uint8_t> sid, NamedSid& names) {
  names = NamedSid{{sid.begin(), sid.end()}, SidToString(sid), {}, {}};
  if (names.name.empty()) {
    if (uint32_t status = LookUpAccount(platform, sid, names); status != kStatusSuccess) return status;
  }
  if (names.domain.empty()) {
    if (uint32_t status = LookUpAccount(platform, sid, names); status != kStatusSuccess) return status;
  }
  return kStatusSuccess;
}

uint32_t Describe(platform::Platform& platform, std::span<const uint8_t> descriptor, DescriptorValues& values) {
  const LeBytes bytes(descriptor);
  if (!bytes.Fits(0, kSdHeaderLength) || bytes.U8(kSdRevisionOffset) != kSdRevision) {
    return kStatusInvalidArgument;
  }
  values.header_valid = true;
  values.revision = bytes.U8(kSdRevisionOffset);
  // SE_SELF_RELATIVE is not required: the bytes cannot hold the absolute form.
  values.control = bytes.U16(kSdControlOffset);

  for (auto [field, slot] : {std::pair{kSdOwnerOffset, &values.owner}, std::pair{kSdGroupOffset, &values.group}}) {
    // An absent owner or group stops the reading like an invalid one.
    const uint32_t offset = bytes.U32(field);
    const auto sid = offset == 0 ? std::nullopt : SidAt(descriptor, offset);
    if (!sid) return kStatusInvalidArgument;
    NamedSid names;
    if (uint32_t status = ResolveSid(platform, *sid, names); status != kStatusSuccess) return status;
    *slot = std::move(names);
  }

  struct AclPlace {
    uint16_t present_bit;
    uint64_t field;
    AclKind kind;
    AclValue* value;
  };
  // The SACL comes first whatever the order of the two ACLs in the bytes.
  for (const AclPlace& place : {AclPlace{kSeSaclPresent, kSdSaclOffset, AclKind::kSacl, &values.sacl},
                                AclPlace{kSeDaclPresent, kSdDaclOffset, AclKind::kDacl, &values.dacl}}) {
    const uint32_t offset = bytes.U32(place.field);
    place.value->present = (values.control & place.present_bit) != 0;
    place.value->null = place.value->present && offset == 0;
    if (!place.value->present || offset == 0) continue;  // absent or null: no entries
    std::vector<AceRecord> records;
    if (uint32_t status = ParseAcl(descriptor, offset, place.kind, records); status != kStatusSuccess) {
      return status;
    }
    for (const AceRecord& record : records) {
      AceValue ace{record, {}};
      if (uint32_t status = ResolveSid(platform, record.sid(), ace.who); status != kStatusSuccess) return status;
      place.value->aces.push_back(std::move(ace));
    }
  }
  return kStatusSuccess;
}

}  // namespace

uint32_t ParseAcl(std::span<const uint8_t> descriptor, uint64_t offset, AclKind kind,
                  std::vector<AceRecord>& records) {
  records.clear();
  const LeBytes bytes(descriptor);
  if (!bytes.Fits(offset, kAclHeaderLength)) return kStatusInvalidArgument;
  const uint8_t revision = bytes.U8(offset + kAclRevisionOffset);
  const uint16_t acl_size = bytes.U16(offset + kAclSizeOffset);
  if (revision < kAclMinRevision || revision > kAclMaxRevision) return kStatusInvalidArgument;
  // The ACL must hold its own header and lie inside the descriptor's bytes.
  if (acl_size < kAclHeaderLength || !bytes.Fits(offset, acl_size)) return kStatusInvalidArgument;
  const LeBytes acl(bytes.Sub(offset, acl_size));

  // Stepping by AceSize, bounded by AceCount. Every ACE, kept or skipped,
  // must lie wholly inside the ACL and be at least its 4-byte header long
  // (so an AceSize of 0 is malformed rather than a loop on one ACE).
  uint64_t at = kAclHeaderLength;
  const uint16_t count = acl.U16(kAclCountOffset);
  for (uint16_t i = 0; i < count; ++i) {
    if (!acl.Fits(at, kAceHeaderLength)) return kStatusInvalidArgument;
    const uint16_t ace_size = acl.U16(at + kAceSizeOffset);
    if (ace_size < kAceHeaderLength || !acl.Fits(at, ace_size)) return kStatusInvalidArgument;
    const LeBytes ace(acl.Sub(at, ace_size));
    at += ace_size;

    const uint8_t type = ace.U8(kAceTypeOffset);
    const AceType* kept = FindAceType(type);
    if (kept == nullptr || kept->list != kind) continue;
    // A kept ACE's body, SID included, must lie inside the ACE.
    uint64_t sid_offset = kAceSidOffset;
    if (kept->object) {
      if (!ace.Fits(kObjectAceFlagsOffset, 4)) return kStatusInvalidArgument;
      const uint32_t object_flags = ace.U32(kObjectAceFlagsOffset);
      sid_offset = kObjectAceGuidsOffset;
      if (object_flags & kObjectTypePresent) sid_offset += kGuidLength;
      if (object_flags & kInheritedObjectTypePresent) sid_offset += kGuidLength;
    }
    const auto sid = SidAt(ace.span(), sid_offset);
    if (!sid) return kStatusInvalidArgument;

    AceRecord& record = records.emplace_back();
    record.type = type;
    if (kept->object) {
      // Lies before the SID, so within the ACE.
      const uint32_t object_flags = ace.U32(kObjectAceFlagsOffset);
      uint64_t guid = kObjectAceGuidsOffset;
      const auto take = [&ace, &guid] {
        std::array<uint8_t, 16> bytes{};
        const auto view = ace.Sub(guid, kGuidLength);
        std::copy(view.begin(), view.end(), bytes.begin());
        guid += kGuidLength;
        return bytes;
      };
      if (object_flags & kObjectTypePresent) record.object_type = take();
      if (object_flags & kInheritedObjectTypePresent) record.inherited_object_type = take();
    }
    std::copy(sid->begin(), sid->end(), record.sid_bytes.begin());
    record.sid_length = static_cast<uint8_t>(sid->size());
    record.mask = ace.U32(kAceMaskOffset);
    record.type_shown = kept->shown;
    record.flags = ace.U8(kAceFlagsOffset);
  }
  return kStatusSuccess;
}

const AceType* FindAceType(uint8_t type) {
  for (const AceType& known : kAceTypes) {
    if (known.type == type) return &known;
  }
  return nullptr;
}

DescriptorValues DescribeSecurityDescriptor(platform::Platform& platform, std::span<const uint8_t> descriptor) {
  DescriptorValues values;
  try {
    values.status = Describe(platform, descriptor, values);
  } catch (const std::bad_alloc&) {
    values.status = kStatusOutOfMemory;
  }
  return values;
}

}  // namespace velmora::security
