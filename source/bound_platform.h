// The platform as the program sees it once -m has bound drive letters: a
// bound letter's paths and "\\.\X:" device are answered here, the source
// behind it opened through the container its bytes name and the partition
// or offset its name selects, with the system platform's plain file opener.
// Everything else is the system's, asked through the platform it wraps.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "source/drives.h"

namespace velmora::source {

class BoundPlatform : public platform::Platform {
 public:
  // system must outlive this platform.
  explicit BoundPlatform(platform::Platform& system) : system_(system) {}

  // Binds a letter (either case) to a source; a later binding of the same
  // letter replaces the earlier one. Letters outside A-Z are ignored.
  void BindDrive(char16_t letter, std::u16string source) override { drives_.Bind(letter, std::move(source)); }

  // The system's notes, with the forms a bound source takes after the
  // system's own description of -m.
  std::u16string UsageNotes() override;

  // A path on a bound drive exists as far as the system can tell, and only
  // the volume decides whether it is a directory.
  bool PathExists(std::u16string_view path) override;
  std::optional<bool> PathIsDirectory(std::u16string_view path) override;
  Expected<std::unique_ptr<ByteSource>> OpenDevice(std::u16string_view device_name) override;
  std::u16string DeviceLabel(std::u16string_view device_name) override;
  std::u16string UnboundDriveAdvice(char16_t letter) override;
  // Guards, besides what the caller guards, the file every bound source
  // names and the names each bound evidence set would take in (set_names.h).
  platform::CreateOutcome CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                           const platform::OutputGuard& guard) override;

  void SetUpConsole() override { system_.SetUpConsole(); }
  std::u16string DriveBindingNote() override { return system_.DriveBindingNote(); }
  Expected<std::unique_ptr<ByteSource>> OpenFile(const std::string& path) override { return system_.OpenFile(path); }
  bool FileExists(std::u16string_view name) override { return system_.FileExists(name); }
  std::optional<platform::MountedPath> LocateMountedPath(std::u16string_view path) override {
    return system_.LocateMountedPath(path);
  }
  std::optional<platform::LocalTime> FileTimeToLocal(uint64_t filetime) override {
    return system_.FileTimeToLocal(filetime);
  }
  bool HasAccountDatabase() const override { return system_.HasAccountDatabase(); }
  platform::AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                           uint32_t domain_capacity) override {
    return system_.LookupAccountSid(sid, name_capacity, domain_capacity);
  }
  platform::HostNameRules NameRules() const override { return system_.NameRules(); }
  Expected<void> TakeEmptyDirectory(std::u16string_view path) override { return system_.TakeEmptyDirectory(path); }
  Expected<void> CreateDirectory(std::u16string_view path) override { return system_.CreateDirectory(path); }
  Expected<std::unique_ptr<platform::OutputFile>> CreateNewFile(std::u16string_view path) override {
    return system_.CreateNewFile(path);
  }
  std::u16string CurrentDirectory() override { return system_.CurrentDirectory(); }
  std::optional<std::u16string> CanonicalPath(std::u16string_view path) override {
    return system_.CanonicalPath(path);
  }
  bool StandardErrorIsTerminal() override { return system_.StandardErrorIsTerminal(); }
  void SetStandardOutputBinary() override { system_.SetStandardOutputBinary(); }

 private:
  // The source bound to the letter of a drive path or "\\.\X:" device, or null.
  const std::u16string* BoundTo(std::optional<char16_t> letter) const;
  SourceName NameOf(std::u16string_view source);

  platform::Platform& system_;
  DriveTable drives_;
};

}  // namespace velmora::source
