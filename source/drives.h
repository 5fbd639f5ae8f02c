// Drive letters bound to sources with -m, the same on every system: "X:"
// paths and "\\.\X:" devices of a bound letter open the bound source, read
// as partitions.h describes.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/drive_names.h"
#include "source/partitions.h"

namespace velmora::source {

using velmora::DeviceLetter;
using velmora::DriveLetter;
using velmora::DriveLetterOfPath;
using velmora::DriveLetterToken;

// A source as bound: the whole text when a file of that name exists (its
// name may hold '@' or '#'), otherwise the text split into file and
// selector.
SourceName NameOfBound(std::u16string_view source, const std::function<bool(std::u16string_view)>& file_exists);

class DriveTable {
 public:
  // Binds a letter (either case) to a source; a later binding of the same
  // letter replaces the earlier one. Letters outside A-Z are ignored.
  void Bind(char16_t letter, std::u16string source);

  // The source bound to a letter (either case), or null.
  const std::u16string* Find(char16_t letter) const;

  // The source behind "\\.\X:" when X is bound, else the device name.
  std::u16string DeviceLabel(std::u16string_view device_name) const;

  // Keyed by upper-case letter.
  const std::map<char16_t, std::u16string>& bindings() const { return bindings_; }

 private:
  std::map<char16_t, std::u16string> bindings_;
};

}  // namespace velmora::source
