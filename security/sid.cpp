#include "security/sid.h"

#include "base/bytes.h"
#include "base/format.h"

namespace velmora::security {

std::optional<SidView> SidView::At(std::span<const uint8_t> bytes, uint64_t offset) {
  const LeBytes all(bytes);
  if (!all.Fits(offset, sid::kSubAuthoritiesOffset)) return std::nullopt;
  const uint8_t count = all.U8(offset + sid::kSubAuthorityCountOffset);
  if (all.U8(offset + sid::kRevisionOffset) != sid::kRevision || count > sid::kMaxSubAuthorities) return std::nullopt;
  const uint64_t length = sid::kSubAuthoritiesOffset + sid::kSubAuthorityLength * count;
  if (!all.Fits(offset, length)) return std::nullopt;
  return SidView(all.Sub(offset, length));
}

uint8_t SidView::revision() const { return LeBytes(bytes_).U8(sid::kRevisionOffset); }

uint8_t SidView::sub_authority_count() const { return LeBytes(bytes_).U8(sid::kSubAuthorityCountOffset); }

uint64_t SidView::authority() const {
  const LeBytes bytes(bytes_);
  uint64_t authority = 0;
  for (uint64_t i = 0; i < sid::kAuthorityLength; ++i) authority = (authority << 8) | bytes.U8(sid::kAuthorityOffset + i);
  return authority;
}

uint32_t SidView::sub_authority(uint8_t index) const {
  return LeBytes(bytes_).U32(sid::kSubAuthoritiesOffset + sid::kSubAuthorityLength * index);
}

std::u16string SidView::ToString() const {
  const uint64_t value = authority();
  std::u16string text = Format("S-%u-", revision());
  text += value >> 32 ? Format("0x%012I64X", value) : Format("%I64u", value);
  for (uint8_t i = 0; i < sub_authority_count(); ++i) text += Format("-%u", sub_authority(i));
  return text;
}

std::optional<std::span<const uint8_t>> SidAt(std::span<const uint8_t> bytes, uint64_t offset) {
  const auto view = SidView::At(bytes, offset);
  if (!view) return std::nullopt;
  return view->bytes();
}

std::u16string SidToString(std::span<const uint8_t> sid) {
  const auto view = SidView::At(sid, 0);
  return view ? view->ToString() : std::u16string();
}

}  // namespace velmora::security
