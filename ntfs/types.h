// The system files every volume keeps at fixed records, attribute type
// codes, and the names and answers the lookups and walks share.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/types.h"

namespace velmora {

inline constexpr FileReference kMftReference{0};
inline constexpr FileReference kLogFileReference{2};
inline constexpr FileReference kAttrDefReference{4};
inline constexpr FileReference kRootReference{5};
inline constexpr FileReference kSecureReference{9};
inline constexpr FileReference kUpcaseReference{10};

// What a visitor tells the walk that called it.
enum class Walk { kContinue, kStop };

// Attribute type codes.
enum class AttrType : uint32_t {
  kAny = 0x00,  // lookups: any type
  kStandardInformation = 0x10,
  kAttributeList = 0x20,
  kFileName = 0x30,
  kObjectId = 0x40,
  kSecurityDescriptor = 0x50,
  kVolumeName = 0x60,
  kVolumeInformation = 0x70,
  kData = 0x80,
  kIndexRoot = 0x90,
  kIndexAllocation = 0xA0,
  kBitmap = 0xB0,
  kReparsePoint = 0xC0,
  kEaInformation = 0xD0,
  kEa = 0xE0,
  kLoggedUtilityStream = 0x100,
  kEnd = 0xFFFFFFFF,  // marks the end of a record's attributes
};

constexpr uint32_t ToU32(AttrType type) { return static_cast<uint32_t>(type); }

// An attribute or index name as the lookups take it (the on-disk counted
// name: a length byte and that many UTF-16 units). Compared unit for unit.
struct CountedName {
  std::u16string_view units;
};

inline constexpr CountedName kI30Name{u"$I30"};
inline constexpr CountedName kSiiName{u"$SII"};

}  // namespace velmora
