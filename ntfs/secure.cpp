#include "ntfs/secure.h"

#include "base/bytes.h"

namespace velmora {

std::strong_ordering CompareSecurityId(std::span<const uint8_t> key, const SecurityIdQuery& query) {
  return static_cast<int32_t>(LeBytes(key).U32(0) - query.security_id) <=> 0;
}

Walk MatchSecurityId(std::span<const uint8_t> entry, SecurityIdQuery& query) {
  LeBytes bytes(entry);
  if (!bytes.Fits(0, sii_entry::kSize) || bytes.U32(sii_entry::kKey) != query.security_id) return Walk::kContinue;
  query.sds_offset = bytes.U64(sii_entry::kSdsOffset);
  query.entry_length = bytes.U32(sii_entry::kSdsLength);
  query.found = true;
  return Walk::kStop;
}

}  // namespace velmora
