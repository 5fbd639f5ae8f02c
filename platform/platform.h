// The operating system operations the tool uses, behind one interface.
//
// Everything above platform/ asks the system only through this class: the
// existence and directory tests of a path, opening a file or volume device
// read-only, mount tables, time zone conversion, account names for SIDs,
// and creating the output file of -w. Drive letters bound with -m are not
// the system's: source/'s BoundPlatform answers for them and asks this
// class for the rest. Tests and fuzzers use a fake with in-memory volumes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_source.h"
#include "base/error.h"
#include "base/format.h"

namespace velmora::platform {

// Platform error numbers the program reacts to (Windows values, which the
// status codes of the security renderer carry).
inline constexpr uint32_t kErrorSuccess = 0;
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

// The -w output file. Its bytes go to a new file beside the named one;
// Commit puts it in place only once every byte is written and the file
// closed without error. Destroyed uncommitted, it leaves no trace and the
// named file as it was.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual Expected<void> Write(std::span<const uint8_t> bytes) = 0;
  virtual Expected<void> Commit() = 0;
};

// What an output file must never be or join besides the volume being read,
// as the layers above know it: the files of the bound sources, and the
// evidence sets whose readers take in files by name.
struct OutputGuard {
  struct File {
    std::string path;     // as the system names it
    std::u16string what;  // completes "it is ...": "the source bound to drive C:"
  };
  struct Set {
    std::string first;  // the set's first file; the rest lie in its folder
    // Why a file named name would be read into the set whose first file is
    // named first (both without their folder), or empty.
    std::function<std::u16string(std::string_view first, std::string_view name)> joins;
  };
  std::vector<File> files;
  std::vector<Set> sets;
};

// What the host's file names cannot hold, for the names an export writes.
// Every host refuses "/" and NUL inside a name and the names "." and "..".
struct HostNameRules {
  // Windows also refuses \ : * ? " < > | and the control characters, the
  // device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an
  // extension) and a name ending in a dot or a space.
  bool windows = false;
  char16_t separator = u'/';  // between a folder and its entries, as the host prints paths
};

struct CreateOutcome {
  std::unique_ptr<OutputFile> file;  // null on failure
  bool refused = false;              // the path is one the tool never writes
  Error error;                       // why, when file is null
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Console preparation at start-up (window and buffer size where there is a console).
  virtual void SetUpConsole() {}
  // Lines printed after the usage text that explain this platform's own
  // ways of naming a volume; empty where there are none.
  virtual std::u16string UsageNotes() { return {}; }
  // The heading and first lines of -m's description in this system's words
  // (its device names, its shell's quoting), which the forms a bound source
  // takes complete; empty where -m is not described.
  virtual std::u16string DriveBindingNote() { return {}; }

  // Binds a drive letter (upper case) to a volume image or device, so that
  // "\\.\X:" opens it; a later binding of the same letter wins. The system
  // binds nothing: a BoundPlatform wrapped around it does.
  virtual void BindDrive(char16_t /*letter*/, std::u16string /*source*/) {}

  // Opens a file or device read-only by the name the system knows it by; on
  // failure the name and the system's reason.
  virtual Expected<std::unique_ptr<ByteSource>> OpenFile(const std::string& path) {
    return Error{Utf8ToUtf16(path), u"this platform opens no files by name"};
  }
  // Whether a file or device of that name exists.
  virtual bool FileExists(std::u16string_view /*name*/) { return false; }

  // The system's view of whether a target path exists.
  virtual bool PathExists(std::u16string_view path) = 0;
  // The system's view of whether a path names a directory; nullopt when the
  // system has no view of the path (a drive bound to an image), so the
  // volume itself must answer.
  virtual std::optional<bool> PathIsDirectory(std::u16string_view path) = 0;

  // Opens a volume device read-only: "\\.\X:" or a device/image path that a
  // mounted path named; on failure, why (the source as the user named it,
  // and the system's reason or what is missing).
  virtual Expected<std::unique_ptr<ByteSource>> OpenDevice(std::u16string_view device_name) = 0;
  // The source behind a device name as the user named it ("disk.img#2" for
  // "\\.\C:" bound to it), to name it in messages.
  virtual std::u16string DeviceLabel(std::u16string_view device_name) { return std::u16string(device_name); }

  // For a path of the system's own form on a mounted volume (an absolute
  // POSIX path on Linux): where it lives. nullopt for every other path.
  virtual std::optional<MountedPath> LocateMountedPath(std::u16string_view /*path*/) { return std::nullopt; }

  // One line of advice for a drive path whose letter names no volume, or empty.
  virtual std::u16string UnboundDriveAdvice(char16_t /*letter*/) { return {}; }

  // FILETIME (100-ns intervals since 1601-01-01 UTC) to local calendar time.
  virtual std::optional<LocalTime> FileTimeToLocal(uint64_t filetime) = 0;

  // Whether the system keeps an account database that names SIDs (Windows
  // does; elsewhere the names of the well-known SIDs are all there is).
  virtual bool HasAccountDatabase() const { return true; }
  // Account and domain names for a SID from that database; capacities in
  // characters, terminator included. The SID is a whole, valid one.
  virtual AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                         uint32_t domain_capacity) = 0;

  // Creates (truncates) the output file of -w. The volume is the source
  // being read: a path that is that source, one of its other files, a file
  // of the guard, a name that would join one of its sets, or any device, is
  // refused before anything is created.
  virtual CreateOutcome CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                         const OutputGuard& guard) = 0;

  // --export. The host's naming rules.
  virtual HostNameRules NameRules() const { return {}; }
  // The export's top folder: created, or taken as it is when it is an empty
  // directory; anything else is refused with the reason.
  virtual Expected<void> TakeEmptyDirectory(std::u16string_view path) {
    return Error{std::u16string(path), u"this platform creates no directories"};
  }
  // A directory that must not exist yet.
  virtual Expected<void> CreateDirectory(std::u16string_view path) {
    return Error{std::u16string(path), u"this platform creates no directories"};
  }
  // A file that must not exist yet: an existing name is never replaced.
  // Destroyed uncommitted, the file is removed again.
  virtual Expected<std::unique_ptr<OutputFile>> CreateNewFile(std::u16string_view path) {
    return Error{std::u16string(path), u"this platform creates no files"};
  }
  // The folder relative paths start from (the export manifest names it).
  virtual std::u16string CurrentDirectory() { return {}; }
  // An existing path as the system spells it from the root, links and "."
  // and ".." resolved: how hashdeep -r names the files it finds below it.
  virtual std::optional<std::u16string> CanonicalPath(std::u16string_view /*path*/) { return std::nullopt; }

  // Whether standard error is a terminal, where a progress line helps.
  virtual bool StandardErrorIsTerminal() { return false; }
  // Standard output takes bytes as they are (-x -): no line-end translation.
  virtual void SetStandardOutputBinary() {}
};

// The platform of the machine the program runs on.
std::unique_ptr<Platform> CreateSystemPlatform();

}  // namespace velmora::platform
