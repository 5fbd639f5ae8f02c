// The $STANDARD_INFORMATION value: a file's four times and attribute flags.
#pragma once

#include <cstdint>

namespace velmora {

// Offsets in bytes from the value start. The 48-byte form of NTFS 1.x ends
// before kOwnerId.
namespace standard_information {
inline constexpr uint64_t kCreateTime = 0x00;        // u64 FILETIME
inline constexpr uint64_t kModificationTime = 0x08;  // u64
inline constexpr uint64_t kChangeTime = 0x10;        // u64, of the file record
inline constexpr uint64_t kAccessTime = 0x18;        // u64
inline constexpr uint64_t kPermission = 0x20;        // u32, file attribute flags
inline constexpr uint64_t kMaxVersionNo = 0x24;      // u32
inline constexpr uint64_t kVersionNo = 0x28;         // u32
inline constexpr uint64_t kClassId = 0x2C;           // u32
inline constexpr uint64_t kOwnerId = 0x30;           // u32
inline constexpr uint64_t kSecurityId = 0x34;        // u32, key of $Secure:$SII
inline constexpr uint64_t kQuotaCharged = 0x38;      // u64
inline constexpr uint64_t kUsn = 0x40;               // u64
// kPermission bits.
inline constexpr uint32_t kReadOnly = 0x0001;
inline constexpr uint32_t kSystem = 0x0004;
}  // namespace standard_information

}  // namespace velmora
