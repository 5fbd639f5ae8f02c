#include "platform/windows/windows_platform.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/drive_names.h"
#include "base/format.h"
#include "platform/windows/handle_source.h"
#include "platform/windows/wide.h"
#include "platform/windows/win32.h"

namespace velmora::platform {

namespace {

using Identity = std::pair<uint64_t, uint64_t>;

constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";
constexpr std::u16string_view kLongUncPrefix = u"\\\\?\\UNC\\";
constexpr SHORT kConsoleColumns = 101;
constexpr SHORT kConsoleLines = 500;
constexpr SHORT kWindowRight = 100;
constexpr SHORT kWindowBottom = 30;

std::optional<std::u16string> FullPathOf(std::u16string_view path) {
  const std::wstring wide = Wide(path);
  DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  full.resize(length);
  return FromWide(full);
}

// A name of a device rather than of a file: the \\.\ namespace (volumes,
// disks, pipes, and what the DOS names CON, NUL, COM1 ... become), and
// every \\?\ form but "\\?\X:\..." and "\\?\UNC\..." (\\?\C: is a volume).
bool NamesDevice(std::u16string text) {
  for (char16_t& c : text)
    if (c == u'/') c = u'\\';
  if (text.substr(0, kDevicePrefix.size()) == kDevicePrefix) return true;
  if (text.substr(0, kLongPathPrefix.size()) != kLongPathPrefix) return false;
  if (text.substr(0, kLongUncPrefix.size()) == kLongUncPrefix) return false;
  const std::u16string_view rest = std::u16string_view(text).substr(kLongPathPrefix.size());
  return !(rest.size() >= 3 && DriveLetter(rest[0]) && rest[1] == u':' && rest[2] == u'\\');
}

bool IsDevicePath(std::u16string_view path) {
  if (NamesDevice(std::u16string(path))) return true;
  auto full = FullPathOf(path);
  return full && NamesDevice(*full);
}

struct Guarded {
  Identity identity;
  std::u16string what;
};

// A full path's folder, its separator kept (so that a root stays "C:\"),
// and its file name.
std::pair<std::u16string, std::u16string> FolderAndName(const std::u16string& full) {
  const size_t separator = full.find_last_of(u"\\/");
  if (separator == std::u16string::npos) return {u".", full};
  return {full.substr(0, separator + 1), full.substr(separator + 1)};
}

// Why an output name must not be written because a guarded evidence set
// would read a file of that name as one of its own (case.E08 beside
// case.E01 ... E07, disk.003 beside disk.001), or empty. A set lies in its
// first file's folder, where its reader looks for the rest.
std::u16string SetRefusal(std::u16string_view path, const std::vector<OutputGuard::Set>& sets) {
  const auto full = FullPathOf(path);
  if (!full) return {};
  const auto [folder, name] = FolderAndName(*full);
  const auto folder_identity = IdentityOfPath(folder);
  if (!folder_identity) return {};
  for (const OutputGuard::Set& set : sets) {
    const auto set_full = FullPathOf(Utf8ToUtf16(set.first));
    if (!set_full) continue;
    const auto [set_folder, first] = FolderAndName(*set_full);
    std::u16string why = set.joins(Utf16ToUtf8(first), Utf16ToUtf8(name));
    if (!why.empty() && IdentityOfPath(set_folder) == folder_identity) return why;
  }
  return {};
}

// Every byte to the file, in writes of at most 1 GiB: ERROR_SUCCESS, or
// the error that stopped it (ERROR_DISK_FULL for a write that took nothing).
DWORD WriteAll(HANDLE handle, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 0x40000000));
    DWORD put = 0;
    if (!WriteFile(handle, bytes.data() + done, chunk, &put, nullptr)) return GetLastError();
    if (put == 0) return ERROR_DISK_FULL;
    done += put;
  }
  return ERROR_SUCCESS;
}

// Writes to a new file beside the output name and moves it over that name
// on Commit; destroyed uncommitted, it deletes the new file.
class WindowsOutputFile : public OutputFile {
 public:
  WindowsOutputFile(HANDLE handle, std::u16string temporary, std::u16string final_name, std::u16string label)
      : handle_(handle), temporary_(std::move(temporary)), final_(std::move(final_name)), label_(std::move(label)) {}
  ~WindowsOutputFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (!committed_) DeleteFileW(Wide(temporary_).c_str());
  }
  WindowsOutputFile(const WindowsOutputFile&) = delete;
  WindowsOutputFile& operator=(const WindowsOutputFile&) = delete;

  Expected<void> Write(std::span<const uint8_t> bytes) override {
    if (const DWORD error = WriteAll(handle_, bytes); error != ERROR_SUCCESS) return WindowsError(label_, error);
    return {};
  }

  Expected<void> Commit() override {
    if (!FlushFileBuffers(handle_)) return WindowsError(label_, GetLastError());
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (!closed) return WindowsError(label_, GetLastError());
    if (!MoveFileExW(Wide(temporary_).c_str(), Wide(final_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return WindowsError(label_, GetLastError());
    committed_ = true;
    return {};
  }

 private:
  HANDLE handle_;
  std::u16string temporary_;
  std::u16string final_;
  std::u16string label_;
  bool committed_ = false;
};

// An export's file, created under its own name with CREATE_NEW; destroyed
// uncommitted, it deletes that name again.
class WindowsNewFile : public OutputFile {
 public:
  WindowsNewFile(HANDLE handle, std::u16string name) : handle_(handle), name_(std::move(name)) {}
  ~WindowsNewFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (!committed_) DeleteFileW(Wide(name_).c_str());
  }
  WindowsNewFile(const WindowsNewFile&) = delete;
  WindowsNewFile& operator=(const WindowsNewFile&) = delete;

  Expected<void> Write(std::span<const uint8_t> bytes) override {
    if (const DWORD error = WriteAll(handle_, bytes); error != ERROR_SUCCESS) return WindowsError(name_, error);
    return {};
  }

  Expected<void> Commit() override {
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (!closed) return WindowsError(name_, GetLastError());
    committed_ = true;
    return {};
  }

 private:
  HANDLE handle_;
  std::u16string name_;
  bool committed_ = false;
};

}  // namespace

Expected<void> WindowsPlatform::TakeEmptyDirectory(std::u16string_view path) {
  if (!IsSystemName(path)) return Error{std::u16string(path), u"not a usable directory name"};
  const std::wstring wide = Wide(path);
  if (CreateDirectoryW(wide.c_str(), nullptr)) return {};
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return WindowsError(path, error);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Error{std::u16string(path), u"it exists and is not a directory"};
  if (!PathIsDirectoryEmptyW(wide.c_str()))
    return Error{std::u16string(path), u"the directory is not empty: an export never overwrites"};
  return {};
}

Expected<void> WindowsPlatform::CreateDirectory(std::u16string_view path) {
  if (!IsSystemName(path)) return Error{std::u16string(path), u"not a usable directory name"};
  if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) return WindowsError(path, GetLastError());
  return {};
}

Expected<std::unique_ptr<OutputFile>> WindowsPlatform::CreateNewFile(std::u16string_view path) {
  if (!IsSystemName(path)) return Error{std::u16string(path), u"not a usable file name"};
  HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return WindowsError(path, GetLastError());
  return std::unique_ptr<OutputFile>(std::make_unique<WindowsNewFile>(handle, std::u16string(path)));
}

std::u16string WindowsPlatform::CurrentDirectory() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return {};
  std::wstring buffer(needed, L'\0');
  const DWORD got = GetCurrentDirectoryW(needed, buffer.data());
  if (got == 0 || got >= needed) return {};
  buffer.resize(got);
  return FromWide(buffer);
}

std::optional<std::u16string> WindowsPlatform::CanonicalPath(std::u16string_view path) {
  if (!IsSystemName(path)) return std::nullopt;
  return FullPathOf(path);
}

bool WindowsPlatform::StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void WindowsPlatform::SetStandardOutputBinary() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

void WindowsPlatform::SetUpConsole() {
  // The results are not examined: without a console (output redirected)
  // every call fails and nothing changes.
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(output, &info);
  SetConsoleScreenBufferSize(output, COORD{kConsoleColumns, kConsoleLines});
  if (info.srWindow.Right - info.srWindow.Left != kWindowRight) {
    const SMALL_RECT window{0, 0, kWindowRight, kWindowBottom};
    SetConsoleWindowInfo(GetStdHandle(STD_OUTPUT_HANDLE), TRUE, &window);
  }
}

std::u16string WindowsPlatform::DriveBindingNote() {
  return u"Volume images:\n"
         u"\t[-m X: SOURCE] Binds drive letter X to SOURCE, a volume image file or a disk device\n"
         u"\t\t\t    (\\\\.\\PhysicalDrive1), read only. A path then names a file on it: -f X:\\dir\\file.\n";
}

Expected<std::unique_ptr<ByteSource>> WindowsPlatform::OpenFile(const std::string& path) {
  auto file = HandleSource::Open(Utf8ToUtf16(path));
  if (!file) return file.error();
  return std::unique_ptr<ByteSource>(std::move(*file));
}

bool WindowsPlatform::FileExists(std::u16string_view name) {
  return IsSystemName(name) && GetFileAttributesW(Wide(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WindowsPlatform::PathExists(std::u16string_view path) {
  if (!IsSystemName(path)) return false;
  if (GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  // A file the system will not let us look at is there all the same: NTFS
  // keeps its metadata files ($MFT, $Bitmap ...) from ordinary callers, and
  // a file held open without sharing (pagefile.sys) refuses the query.
  const DWORD error = GetLastError();
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

std::optional<bool> WindowsPlatform::PathIsDirectory(std::u16string_view path) {
  if (!IsSystemName(path)) return false;
  return PathIsDirectoryW(Wide(path).c_str()) != FALSE;
}

Expected<std::unique_ptr<ByteSource>> WindowsPlatform::OpenDevice(std::u16string_view device_name) {
  auto device = HandleSource::Open(device_name);
  if (!device) return device.error();
  return std::unique_ptr<ByteSource>(std::move(*device));
}

std::optional<LocalTime> WindowsPlatform::FileTimeToLocal(uint64_t filetime) {
  FILETIME file_time{static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  if (!FileTimeToSystemTime(&file_time, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return std::nullopt;
  return LocalTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

AccountLookup WindowsPlatform::LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                                uint32_t domain_capacity) {
  AccountLookup result;
  // The system reads the SID from aligned memory and trusts its count: the
  // caller hands over a whole SID, which is checked again here against the
  // count it states. A SID is at most 8 + 4 * 15 bytes.
  constexpr size_t kMaxSidBytes = 68;
  if (sid.size() < 8 || sid.size() > kMaxSidBytes) {
    result.error = kErrorInvalidParameter;
    return result;
  }
  DWORD aligned[(kMaxSidBytes + sizeof(DWORD) - 1) / sizeof(DWORD)] = {};
  std::memcpy(aligned, sid.data(), sid.size());
  PSID psid = aligned;
  if (!IsValidSid(psid) || GetLengthSid(psid) > sid.size()) {
    result.error = kErrorInvalidParameter;
    return result;
  }
  // One spare unit past each capacity keeps the copies below in bounds
  // whatever the system leaves there.
  std::vector<wchar_t> name(size_t{name_capacity} + 1, L'\0');
  std::vector<wchar_t> domain(size_t{domain_capacity} + 1, L'\0');
  DWORD name_length = name_capacity;
  DWORD domain_length = domain_capacity;
  SID_NAME_USE use = SidTypeUnknown;
  if (LookupAccountSidW(nullptr, psid, name.data(), &name_length, domain.data(), &domain_length, &use)) {
    result.name = FromWide(name.data());
    result.domain = FromWide(domain.data());
    return result;
  }
  result.error = GetLastError();
  if (result.error == kErrorInsufficientBuffer) {
    result.name_needed = name_length;
    result.domain_needed = domain_length;
  }
  return result;
}

CreateOutcome WindowsPlatform::CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                                const OutputGuard& guard) {
  CreateOutcome outcome;
  if (!IsSystemName(path)) {
    outcome.error = Error{std::u16string(path), u"not a usable file name"};
    return outcome;
  }
  auto refuse = [&](const std::u16string& why) {
    outcome.refused = true;
    outcome.error = Error{u"Refusing to write " + std::u16string(path), why};
    return std::move(outcome);
  };
  if (IsDevicePath(path)) return refuse(u"it is a device");

  std::vector<Guarded> guarded;
  if (auto identity = volume.FileIdentity()) guarded.push_back({*identity, u"the volume being read"});
  for (const std::string& file : volume.OtherFiles()) {
    if (auto identity = IdentityOfPath(Utf8ToUtf16(file)))
      guarded.push_back({*identity, u"a file of the source being read (" + Utf8ToUtf16(file) + u")"});
  }
  for (const OutputGuard::File& file : guard.files) {
    if (auto identity = IdentityOfPath(Utf8ToUtf16(file.path))) guarded.push_back({*identity, file.what});
  }
  if (auto identity = IdentityOfPath(path)) {
    for (const Guarded& g : guarded)
      if (g.identity == *identity) return refuse(u"it is " + g.what);
  }
  if (auto why = SetRefusal(path, guard.sets); !why.empty()) return refuse(why);
  // Something there that is not a file on a disk (a pipe, a console) is
  // refused as before; what is a file is replaced by the move on Commit.
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return refuse(u"it is a directory");

  // The new file lies beside the output, so the move stays on one volume.
  const std::u16string temporary =
      std::u16string(path) + u".velmora-" + Utf8ToUtf16(std::to_string(GetCurrentProcessId()));
  HANDLE handle = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    outcome.error = WindowsError(path, GetLastError());
    return outcome;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    DeleteFileW(Wide(temporary).c_str());
    return refuse(u"it is not a file");
  }
  outcome.file = std::make_unique<WindowsOutputFile>(handle, temporary, std::u16string(path), std::u16string(path));
  return outcome;
}

}  // namespace velmora::platform
