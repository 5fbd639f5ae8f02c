// -s: the descriptor stored under a security id, found through $Secure's
// $SII index and read from its $SDS stream.
#include <vector>

#include "ntfs/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/lookup.h"
#include "ntfs/secure.h"
#include "ntfs/value_reader.h"
#include "reports/reports.h"
#include "security/descriptor.h"
#include "security/status.h"

namespace velmora {

void ReportSecurityDescriptor(ReportContext& context, std::span<const uint8_t> descriptor) {
  uint32_t status;
  if (context.json) {
    const security::DescriptorValues values = security::DescribeSecurityDescriptor(context.platform, descriptor);
    security::EmitSecurityDescriptor(context.console, values, descriptor);
    status = values.status;
  } else {
    status = security::ShowSecurityDescriptor(context.console, context.platform, descriptor);
  }
  if (status != kStatusSuccess)
    context.console.Diagnostic("Security descriptor rendering stopped (status 0x%08X)\n", status);
}

// Only the index is consulted: the $SDS stream is read at the position the
// $SII entry gives, never scanned. An entry length below the 20-byte $SDS
// header, above kMaxSdsEntryBytes, or reaching past the end of the stream
// is damage and fails the lookup.
bool ShowSecurityDescriptorById(ReportContext& context, uint32_t security_id) {
  if (security_id < kFirstSecurityId) return false;

  SecurityIdQuery query;
  query.security_id = security_id;
  IndexEntryWalker(
      context.volume, kSecureReference, kSiiName,
      [&query](std::span<const uint8_t> entry, std::span<const uint8_t>) { return MatchSecurityId(entry, query); },
      [&query](std::span<const uint8_t> key) { return CompareSecurityId(key, query); });
  if (!query.found || query.entry_length < sds_entry::kDescriptor || query.entry_length > kMaxSdsEntryBytes)
    return false;

  auto secure = ReadFileRecord(context.volume, kSecureReference);
  if (!secure) return false;
  // The first $DATA of $Secure whatever its name: $SDS on every volume.
  const HeldAttribute stream = FindFileAttribute(context.volume, *secure, AttrType::kData, nullptr, nullptr);
  if (!stream) return false;

  std::vector<uint8_t> entry(query.entry_length);
  AttributeReader reader = AttributeReader::ForFileAttribute(context.volume, *secure, stream);
  auto read = reader.ReadAttributeRange(query.sds_offset, entry);
  if (!read || *read != entry.size()) return false;

  ReportSecurityDescriptor(context, std::span<const uint8_t>(entry).subspan(sds_entry::kDescriptor));
  return true;
}

}  // namespace velmora
