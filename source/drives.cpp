#include "source/drives.h"

#include "base/format.h"

namespace velmora::source {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";

}  // namespace

std::optional<char16_t> DriveLetter(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c >= u'A' && c <= u'Z') return c;
  return std::nullopt;
}

std::optional<char16_t> DriveLetterToken(std::u16string_view token) {
  if (token.empty() || token.size() > 2 || (token.size() == 2 && token[1] != u':')) return std::nullopt;
  return DriveLetter(token[0]);
}

std::optional<char16_t> DriveLetterOfPath(std::u16string_view path) {
  if (path.starts_with(kLongPathPrefix)) path.remove_prefix(kLongPathPrefix.size());
  if (path.size() >= 2 && path[1] == u':' && DriveLetter(path[0])) return path[0];
  return std::nullopt;
}

std::optional<char16_t> DeviceLetter(std::u16string_view device_name) {
  if (device_name.size() != kDevicePrefix.size() + 2 || !device_name.starts_with(kDevicePrefix)) return std::nullopt;
  const char16_t letter = device_name[kDevicePrefix.size()];
  if (!DriveLetter(letter) || device_name[kDevicePrefix.size() + 1] != u':') return std::nullopt;
  return letter;
}

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
