// The platform on Windows.
//
// A drive path names a file on a mounted volume, and "\\.\X:" opens that
// volume's device (administrator rights needed). -m binds a drive letter to
// a volume image instead (optionally a volume inside a whole-disk image, see
// partitions.h), exactly as on Linux: "\\.\X:" then opens the image and
// only the on-disk walk decides whether a path on it exists.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "source/drives.h"

namespace velmora::platform {

class WindowsPlatform : public Platform {
 public:
  // Sizes the console window as the program always has: 101 columns by
  // 500 lines of buffer, a window 101 columns wide. Does nothing without a console.
  void SetUpConsole() override;
  std::u16string UsageNotes() override;

  // Binds a drive letter (either case) to SOURCE; a later binding of the
  // same letter replaces the earlier one. Letters outside A-Z are ignored.
  void BindDrive(char16_t letter, std::u16string source) override;

  bool PathExists(std::u16string_view path) override;
  std::optional<bool> PathIsDirectory(std::u16string_view path) override;
  Expected<std::unique_ptr<source::ByteSource>> OpenDevice(std::u16string_view device_name) override;
  std::u16string DeviceLabel(std::u16string_view device_name) override;
  std::optional<LocalTime> FileTimeToLocal(uint64_t filetime) override;
  // One LookupAccountSidW on the local computer with exactly the capacities given.
  AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                 uint32_t domain_capacity) override;
  // Refuses (nothing created or truncated) a device path (\\.\..., a DOS
  // device name, \\?\ forms other than a drive or UNC path), anything that
  // is not a file on a disk once opened, and the file of the volume being
  // read or of a bound source (also through another name: same volume
  // serial number and file index), and a name that a bound evidence set
  // would read as one of its files (set_names.h), existing or not. The
  // refusal is one line. The bytes go to a new file beside the path, moved
  // over it on Commit.
  CreateOutcome CreateOutputFile(std::u16string_view path, const source::ByteSource& volume) override;

 private:
  Expected<std::unique_ptr<source::ByteSource>> OpenBound(const std::u16string& source);

  source::DriveTable drives_;
};

}  // namespace velmora::platform
