// The platform on Linux and other POSIX systems.
//
// There are no \\.\X: devices here: -m binds a drive letter to an image file
// or block device (optionally a volume inside a whole-disk image, see
// partitions.h), and "\\.\X:" opens that source. A drive path of a bound
// letter has no meaning to the system, so only the on-disk walk decides
// whether it exists. An absolute POSIX path on a mounted NTFS volume is
// traced to the mount's device through /proc/self/mountinfo.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "source/drives.h"

namespace velmora::platform {

class PosixPlatform : public Platform {
 public:
  // Binds a drive letter (either case) to SOURCE; a later binding of the
  // same letter replaces the earlier one. Letters outside A-Z are ignored.
  void BindDrive(char16_t letter, std::u16string source) override;

  // A standard descriptor closed at start is opened on /dev/null for
  // reading only: writes to it still fail (and are reported), and no file
  // this program opens can take its number and receive the report.
  void SetUpConsole() override;

  bool PathExists(std::u16string_view path) override;
  std::optional<bool> PathIsDirectory(std::u16string_view path) override;
  Expected<std::unique_ptr<source::ByteSource>> OpenDevice(std::u16string_view device_name) override;
  std::u16string DeviceLabel(std::u16string_view device_name) override;
  std::optional<MountedPath> LocateMountedPath(std::u16string_view path) override;
  std::u16string UnboundDriveAdvice(char16_t letter) override;
  std::u16string UsageNotes() override;
  std::optional<LocalTime> FileTimeToLocal(uint64_t filetime) override;

  // Linux keeps no Windows account database: every SID is "none mapped"
  // here, and the well-known names come from security/'s own table.
  bool HasAccountDatabase() const override { return false; }
  AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                 uint32_t domain_capacity) override;
  // Refuses (nothing created or truncated) a path that is not a regular
  // file once it exists, that is the volume's source, a bound source or a
  // device opened by path (also through a hard or symbolic link, and the
  // file behind such a source when it is a loop device), that lies on a
  // mount of one of them, or whose name a bound evidence set would read as
  // one of its files (set_names.h), existing or not. The refusal is one
  // line without a line break.
  // The file is written beside the path and renamed over it on Commit.
  CreateOutcome CreateOutputFile(std::u16string_view path, const source::ByteSource& volume) override;

 private:
  Expected<std::unique_ptr<source::ByteSource>> OpenBound(const std::u16string& source);

  source::DriveTable drives_;
  std::vector<std::string> opened_;  // devices opened by path: never an output
};

}  // namespace velmora::platform
