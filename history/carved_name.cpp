#include "history/carved_name.h"

#include <algorithm>

#include "ntfs/index.h"

namespace velmora {

namespace {

constexpr uint8_t kMaxNameSpace = 3;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 60;

bool Plausible(uint64_t filetime) { return filetime >= kPlausibleTimeFirst && filetime < kPlausibleTimeEnd; }

}  // namespace

std::optional<CarvedName> ReadCarvedFileName(LeBytes bytes, uint64_t offset, uint64_t length) {
  if (length < file_name::kName || !bytes.Fits(offset, length)) return std::nullopt;
  const LeBytes value(bytes.Sub(offset, length));
  const uint8_t units = value.U8(file_name::kNameLength);
  const uint8_t name_space = value.U8(file_name::kNameSpace);
  if (units == 0 || name_space > kMaxNameSpace || !value.Fits(file_name::kName, uint64_t{units} * 2))
    return std::nullopt;
  CarvedName carved;
  carved.times = FileTimes{value.U64(file_name::kCreateTime), value.U64(file_name::kModificationTime),
                           value.U64(file_name::kChangeTime), value.U64(file_name::kAccessTime)};
  const FileTimes& t = carved.times;
  if (!Plausible(t.created) || !Plausible(t.modified) || !Plausible(t.record_changed) || !Plausible(t.accessed))
    return std::nullopt;
  carved.allocated_size = value.U64(file_name::kAllocSize);
  carved.real_size = value.U64(file_name::kRealSize);
  if (carved.allocated_size % 8 != 0 || carved.allocated_size >= kMaxFileBytes || carved.real_size >= kMaxFileBytes)
    return std::nullopt;
  carved.name = value.Utf16(file_name::kName, units);
  if (std::any_of(carved.name.begin(), carved.name.end(), [](char16_t c) { return c == 0 || c == u'/'; }))
    return std::nullopt;
  carved.parent = FileReference(value.U64(file_name::kParentRef));
  carved.flags = value.U32(file_name::kFlags);
  carved.name_space = name_space;
  return carved;
}

}  // namespace velmora
