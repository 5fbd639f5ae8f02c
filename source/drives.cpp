#include "source/drives.h"

#include "base/format.h"

namespace velmora::source {

SourceName NameOfBound(std::u16string_view source, const std::function<bool(std::u16string_view)>& file_exists) {
  if (file_exists(source)) return SourceName{Utf16ToUtf8(source), SourceName::Select::Automatic, 0};
  return ParseSourceName(Utf16ToUtf8(source));
}

void DriveTable::Bind(char16_t letter, std::u16string source) {
  if (auto upper = DriveLetter(letter)) bindings_[*upper] = std::move(source);
}

const std::u16string* DriveTable::Find(char16_t letter) const {
  const auto upper = DriveLetter(letter);
  if (!upper) return nullptr;
  auto it = bindings_.find(*upper);
  return it == bindings_.end() ? nullptr : &it->second;
}

std::u16string DriveTable::DeviceLabel(std::u16string_view device_name) const {
  if (auto letter = DeviceLetter(device_name)) {
    if (const std::u16string* source = Find(*letter)) return *source;
  }
  return std::u16string(device_name);
}

}  // namespace velmora::source
