#include "ntfs/secure.h"

#include "base/bytes.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "base/format.h"

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

Expected<std::vector<uint8_t>> ReadSdsEntry(VolumeContext& volume, uint32_t security_id) {
  const std::u16string what = Format("security id 0x%X", security_id);
  SecurityIdQuery query;
  query.security_id = security_id;
  const IndexWalkResult walk = IndexEntryWalker(
      volume, kSecureReference, kSiiName,
      [&query](std::span<const uint8_t> entry, std::span<const uint8_t>) { return MatchSecurityId(entry, query); },
      [&query](std::span<const uint8_t> key) { return CompareSecurityId(key, query); });
  if (!query.found) {
    if (walk.stopped) return walk.stopped->Within(what + u": $Secure");
    return Error{what, u"not in $Secure's $SII index", ErrorKind::kAbsent};
  }
  const std::u16string entry_name = Format("%s: $SDS entry at offset 0x%I64X", what, query.sds_offset);
  if (query.entry_length < sds_entry::kDescriptor || query.entry_length > kMaxSdsEntryBytes)
    return Error{entry_name, Format("its $SII entry gives it %u bytes", query.entry_length)};

  auto secure = ReadFileRecord(volume, kSecureReference.Record());
  if (!secure) return secure.error().Within(what + u": $Secure");
  // The first $DATA of $Secure whatever its name: $SDS on every volume.
  FileAttributes attributes = FileAttributes::Open(volume, std::move(*secure));
  const HeldAttribute stream = attributes.First(AttrType::kData, nullptr);
  if (!stream) return Error{what, u"$Secure has no $SDS stream"};
  std::vector<uint8_t> entry(query.entry_length);
  AttributeReader reader = attributes.Reader(stream);
  auto read = reader.ReadAttributeRange(query.sds_offset, entry);
  if (!read || *read != entry.size())
    return Error{entry_name, Format("its %u bytes cannot be read whole from the stream", query.entry_length)};

  const LeBytes header(entry);
  const uint32_t named_id = header.U32(sds_entry::kSecurityId);
  const uint64_t named_offset = header.U64(sds_entry::kOffset);
  if (named_id != security_id || named_offset != query.sds_offset) {
    return Error{entry_name, Format("its header names security id 0x%X at offset 0x%I64X, not the one $SII gives",
                                    named_id, named_offset)};
  }
  return entry;
}

}  // namespace velmora
