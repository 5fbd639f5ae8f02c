// The operating system operations the tool uses, behind one interface.
//
// Everything above platform/ asks the system only through this class: the
// existence and directory tests of a path, opening a volume device read-only,
// time zone conversion, account names for SIDs, and creating the output file
// of -w. Tests and fuzzers use a fake with in-memory volumes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/byte_source.h"

namespace velmora::platform {

// Platform error numbers the program reacts to (Windows values, which the
// status codes of the security renderer carry).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorReadFault = 30;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNoneMapped = 1332;

// A calendar time in the local time zone.
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const LocalTime&) const = default;
};

// The result of one account lookup for a SID (LookupAccountSidW's contract).
struct AccountLookup {
  uint32_t error = kErrorSuccess;  // 0, kErrorInsufficientBuffer, kErrorNoneMapped or another code
  std::u16string name;
  std::u16string domain;
  uint32_t name_needed = 0;  // capacities, in characters with the terminator, after kErrorInsufficientBuffer
  uint32_t domain_needed = 0;
};

// A path on a mounted NTFS volume, as the system sees it: the device or
// image that holds the volume and the path's components below the volume root.
struct MountedPath {
  std::u16string device;
  std::vector<std::u16string> components;
};

// The -w output file: written in chunks, closed when destroyed.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual bool Write(std::span<const uint8_t> bytes) = 0;
};

struct CreateOutcome {
  std::unique_ptr<OutputFile> file;  // null on failure
  std::u16string refusal;            // why the path was refused, when it was
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Console preparation at start-up (window and buffer size where there is a console).
  virtual void SetUpConsole() {}
  // Lines printed after the usage text that explain this platform's own
  // ways of naming a volume; empty where there are none.
  virtual std::u16string UsageNotes() { return {}; }

  // Binds a drive letter (upper case) to a volume image or device, so that
  // "\\.\X:" opens it; a later binding of the same letter wins.
  virtual void BindDrive(char16_t /*letter*/, std::u16string /*source*/) {}

  // The system's view of whether a target path exists.
  virtual bool PathExists(std::u16string_view path) = 0;
  // The system's view of whether a path names a directory; nullopt when the
  // system has no view of the path (a drive bound to an image), so the
  // volume itself must answer.
  virtual std::optional<bool> PathIsDirectory(std::u16string_view path) = 0;

  // Opens a volume device read-only: "\\.\X:" or a device/image path that a
  // mounted path named. Null on failure, with LastError() set.
  virtual std::unique_ptr<ByteSource> OpenDevice(std::u16string_view device_name) = 0;

  // For a path of the system's own form on a mounted volume (an absolute
  // POSIX path on Linux): where it lives. nullopt for every other path.
  virtual std::optional<MountedPath> LocateMountedPath(std::u16string_view /*path*/) { return std::nullopt; }

  // One line of advice for a drive path whose letter names no volume, or empty.
  virtual std::u16string UnboundDriveAdvice(char16_t /*letter*/) { return {}; }

  // FILETIME (100-ns intervals since 1601-01-01 UTC) to local calendar time.
  virtual std::optional<LocalTime> FileTimeToLocal(uint64_t filetime) = 0;

  // Account and domain names for a SID; capacities in characters, terminator included.
  virtual AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                         uint32_t domain_capacity) = 0;

  // Creates (truncates) the output file of -w. The volume is the source
  // being read: a path that is that source, or any device, is refused
  // before anything is created.
  virtual CreateOutcome CreateOutputFile(std::u16string_view path, const ByteSource& volume) = 0;

  // The platform error number of the last failed operation.
  uint32_t LastError() const { return last_error_; }
  void SetLastError(uint32_t error) { last_error_ = error; }
  // Why the last open of a bound source failed, in one line naming the
  // file, where more is known than the error number (a container library's
  // own words); empty otherwise.
  const std::string& OpenFailure() const { return open_failure_; }
  void SetOpenFailure(std::string why) { open_failure_ = std::move(why); }

 private:
  uint32_t last_error_ = kErrorSuccess;
  std::string open_failure_;
};

// The platform of the machine the program runs on.
std::unique_ptr<Platform> CreateSystemPlatform();

}  // namespace velmora::platform
