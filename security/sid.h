// Security identifiers as a security descriptor, an ACE and the account
// lookups hold them.
//
// Layout (offsets in bytes from the SID's first byte): a revision byte, the
// count of sub-authorities, the 48-bit identifier authority stored
// big-endian, then the sub-authorities, 32 bits each, little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velmora::security {

namespace sid {
inline constexpr uint64_t kRevisionOffset = 0x00;
inline constexpr uint64_t kSubAuthorityCountOffset = 0x01;
inline constexpr uint64_t kAuthorityOffset = 0x02;
inline constexpr uint64_t kAuthorityLength = 6;
inline constexpr uint64_t kSubAuthoritiesOffset = 0x08;
inline constexpr uint64_t kSubAuthorityLength = 4;
inline constexpr uint8_t kRevision = 1;
inline constexpr uint8_t kMaxSubAuthorities = 15;
}  // namespace sid

// Revision 1 with 15 sub-authorities: 0x44 bytes.
inline constexpr uint64_t kMaxSidLength = sid::kSubAuthoritiesOffset + sid::kSubAuthorityLength * sid::kMaxSubAuthorities;

// A valid SID (revision 1, at most 15 sub-authorities, all present), checked
// once when it is opened; its accessors cannot fail. It views the bytes it
// was opened on and must not outlive them.
class SidView {
 public:
  // The SID that begins at offset and lies wholly inside bytes.
  static std::optional<SidView> At(std::span<const uint8_t> bytes, uint64_t offset);

  // Exactly the SID's bytes.
  std::span<const uint8_t> bytes() const { return bytes_; }
  uint8_t revision() const;
  uint64_t authority() const;
  uint8_t sub_authority_count() const;
  uint32_t sub_authority(uint8_t index) const;  // index below sub_authority_count()

  // Standard string form (S-1-5-18); an identifier authority of 2^32 or
  // more as 0x and twelve hex digits.
  std::u16string ToString() const;

 private:
  explicit SidView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::span<const uint8_t> bytes_;
};

// The bytes of the SID at offset, as SidView::At opens it.
std::optional<std::span<const uint8_t>> SidAt(std::span<const uint8_t> bytes, uint64_t offset);

// The string form of the SID the bytes begin with; empty when they do not
// begin with a valid one.
std::u16string SidToString(std::span<const uint8_t> sid);

}  // namespace velmora::security
