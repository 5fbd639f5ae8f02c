#include "base/drive_names.h"

namespace velmora {

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

}  // namespace velmora
