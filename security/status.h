// 32-bit status codes in the HRESULT form: 0 is success, a value that is
// negative as a signed 32-bit number is a failure.
#pragma once

#include <cstdint>

namespace velmora {

inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusInvalidArgument = 0x80070057;  // E_INVALIDARG: malformed input
inline constexpr uint32_t kStatusOutOfMemory = 0x8007000E;      // E_OUTOFMEMORY

// A platform error number as a status (the HRESULT_FROM_WIN32 rule): a
// value that is 0 or negative as a signed number is already a status;
// anything else is tagged as a Win32 error with its low 16 bits.
constexpr uint32_t StatusFromError(uint32_t error) {
  if (static_cast<int32_t>(error) <= 0) return error;
  return 0x80070000u | (error & 0xFFFFu);
}

}  // namespace velmora
