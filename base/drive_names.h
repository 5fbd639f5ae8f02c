// Drive letters as Windows writes them: "X:" paths, "\\?\X:" long paths
// and "\\.\X:" volume devices. The system names its volumes so, and -m binds
// the same letters to sources everywhere.
#pragma once

#include <optional>
#include <string_view>

namespace velmora {

// The upper-case form of an ASCII letter; nullopt for anything else.
std::optional<char16_t> DriveLetter(char16_t c);

// The letter of "X" or "X:" (a -m argument), upper case.
std::optional<char16_t> DriveLetterToken(std::u16string_view token);

// The letter of "X:..." or "\\?\X:...", as written.
std::optional<char16_t> DriveLetterOfPath(std::u16string_view path);

// The letter of "\\.\X:", as written; nullopt for any other device name.
std::optional<char16_t> DeviceLetter(std::u16string_view device_name);

}  // namespace velmora
