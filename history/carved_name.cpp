#include "history/carved_name.h"

#include <algorithm>

#include "ntfs/index.h"

namespace velmora {

namespace {

constexpr uint8_t kMaxNameSpace = 3;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 60;

bool Plausible(uint64_t filetime) { return filetime >= kPlausibleTimeFirst && filetime < kPlausibleTimeEnd; }

}  // namespace

bool CarvedFileNameHolds(LeBytes bytes, uint64_t offset, uint64_t length) {
  if (length < file_name::kName || !bytes.Fits(offset, length)) return false;
  const LeBytes value(bytes.Sub(offset, length));
  const uint8_t units = value.U8(file_name::kNameLength);
  if (units == 0 || value.U8(file_name::kNameSpace) > kMaxNameSpace ||
      !value.Fits(file_name::kName, uint64_t{units} * 2))
    return false;
  for (uint64_t at : {file_name::kCreateTime, file_name::kModificationTime, file_name::kChangeTime,
                      file_name::kAccessTime})
    if (!Plausible(value.U64(at))) return false;
  const uint64_t allocated_size = value.U64(file_name::kAllocSize);
  if (allocated_size % 8 != 0 || allocated_size >= kMaxFileBytes || value.U64(file_name::kRealSize) >= kMaxFileBytes)
    return false;
  for (uint64_t i = 0; i < units; ++i) {
    const uint16_t unit = value.U16(file_name::kName + 2 * i);
    if (unit == 0 || unit == u'/') return false;
  }
  return true;
}

std::optional<CarvedName> ReadCarvedFileName(LeBytes bytes, uint64_t offset, uint64_t length) {
  if (!CarvedFileNameHolds(bytes, offset, length)) return std::nullopt;
  const LeBytes value(bytes.Sub(offset, length));
  CarvedName carved;
  carved.times = FileTimes{value.U64(file_name::kCreateTime), value.U64(file_name::kModificationTime),
                           value.U64(file_name::kChangeTime), value.U64(file_name::kAccessTime)};
  carved.allocated_size = value.U64(file_name::kAllocSize);
  carved.real_size = value.U64(file_name::kRealSize);
  carved.name = value.Utf16(file_name::kName, value.U8(file_name::kNameLength));
  carved.parent = FileReference(value.U64(file_name::kParentRef));
  carved.flags = value.U32(file_name::kFlags);
  carved.name_space = value.U8(file_name::kNameSpace);
  return carved;
}

}  // namespace velmora
