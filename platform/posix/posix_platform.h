// The platform on Linux and other POSIX systems.
//
// There are no \\.\X: devices here: a drive letter names a volume only once
// -m binds it (source/'s BoundPlatform), and a drive path or "\\.\X:" that
// reaches this class names nothing. An absolute POSIX path on a mounted NTFS
// volume is traced to the mount's device through /proc/self/mountinfo.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace velmora::platform {

class PosixPlatform : public Platform {
 public:
  // A standard descriptor closed at start is opened on /dev/null for
  // reading only: writes to it still fail (and are reported), and no file
  // this program opens can take its number and receive the report.
  void SetUpConsole() override;

  bool PathExists(std::u16string_view path) override;
  std::optional<bool> PathIsDirectory(std::u16string_view path) override;
  Expected<std::unique_ptr<ByteSource>> OpenFile(const std::string& path) override;
  bool FileExists(std::u16string_view name) override;
  Expected<std::unique_ptr<ByteSource>> OpenDevice(std::u16string_view device_name) override;
  std::optional<MountedPath> LocateMountedPath(std::u16string_view path) override;
  std::u16string UnboundDriveAdvice(char16_t letter) override;
  std::u16string DriveBindingNote() override;
  std::u16string UsageNotes() override;
  std::optional<LocalTime> FileTimeToLocal(uint64_t filetime) override;

  // Linux keeps no Windows account database: every SID is "none mapped"
  // here, and the well-known names come from security/'s own table.
  bool HasAccountDatabase() const override { return false; }
  AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                 uint32_t domain_capacity) override;
  // Refuses (nothing created or truncated) a path that is not a regular
  // file once it exists, that is the volume's source, a file of the guard
  // or a device opened by path (also through a hard or symbolic link, and
  // the file behind such a source when it is a loop device), that lies on a
  // mount of one of them, or whose name one of the guard's sets would read
  // as one of its files in that set's folder, existing or not. The refusal
  // is one line without a line break.
  // The file is written beside the path and renamed over it on Commit.
  CreateOutcome CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                 const OutputGuard& guard) override;

  Expected<void> TakeEmptyDirectory(std::u16string_view path) override;
  Expected<void> CreateDirectory(std::u16string_view path) override;
  // Created with O_EXCL under its own name: the name is taken at once, and
  // a failure removes the file again.
  Expected<std::unique_ptr<OutputFile>> CreateNewFile(std::u16string_view path) override;
  std::u16string CurrentDirectory() override;
  std::optional<std::u16string> CanonicalPath(std::u16string_view path) override;
  bool StandardErrorIsTerminal() override;

 private:
  std::vector<std::string> opened_;  // devices opened by path: never an output
};

}  // namespace velmora::platform
