// The platform on Windows.
//
// A drive path names a file on a mounted volume, and "\\.\X:" opens that
// volume's device (administrator rights needed). A letter bound with -m is
// answered above this class (source/'s BoundPlatform), exactly as on Linux.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace velmora::platform {

class WindowsPlatform : public Platform {
 public:
  // Sizes the console window as the program always has: 101 columns by
  // 500 lines of buffer, a window 101 columns wide. Does nothing without a console.
  void SetUpConsole() override;
  std::u16string DriveBindingNote() override;

  Expected<std::unique_ptr<ByteSource>> OpenFile(const std::string& path) override;
  bool FileExists(std::u16string_view name) override;
  bool PathExists(std::u16string_view path) override;
  std::optional<bool> PathIsDirectory(std::u16string_view path) override;
  Expected<std::unique_ptr<ByteSource>> OpenDevice(std::u16string_view device_name) override;
  std::optional<LocalTime> FileTimeToLocal(uint64_t filetime) override;
  // One LookupAccountSidW on the local computer with exactly the capacities given.
  AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                 uint32_t domain_capacity) override;
  // Refuses (nothing created or truncated) a device path (\\.\..., a DOS
  // device name, \\?\ forms other than a drive or UNC path), anything that
  // is not a file on a disk once opened, the file of the volume being read
  // or of the guard (also through another name: same volume serial number
  // and file index), and a name that one of the guard's sets would read as
  // one of its files in that set's folder, existing or not. The refusal is
  // one line. The bytes go to a new file beside the path, moved over it on
  // Commit.
  CreateOutcome CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                 const OutputGuard& guard) override;

  HostNameRules NameRules() const override { return {true, u'\\'}; }
  Expected<void> TakeEmptyDirectory(std::u16string_view path) override;
  Expected<void> CreateDirectory(std::u16string_view path) override;
  // CREATE_NEW under its own name; a failure deletes the file again.
  Expected<std::unique_ptr<OutputFile>> CreateNewFile(std::u16string_view path) override;
  std::u16string CurrentDirectory() override;
  std::optional<std::u16string> CanonicalPath(std::u16string_view path) override;
  bool StandardErrorIsTerminal() override;
  void SetStandardOutputBinary() override;
};

}  // namespace velmora::platform
