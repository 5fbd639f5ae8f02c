#include "platform/windows/handle_source.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "base/format.h"
#include "platform/windows/wide.h"
#include "platform/windows/win32.h"

namespace velmora::platform {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
// Largest single ReadFile; a DWORD count, kept well inside it.
constexpr uint64_t kReadChunk = 0x40000000;
// Bounce buffer of an aligned device read: a multiple of every sector size.
constexpr uint64_t kBounceSize = 0x100000;
constexpr uint32_t kDefaultSectorSize = 512;
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

std::optional<std::pair<uint64_t, uint64_t>> IdentityOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return std::pair<uint64_t, uint64_t>{info.dwVolumeSerialNumber,
                                       (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// Volume and disk handles are uncached whatever the open flags say, and
// then take reads of whole sectors only.
uint32_t DeviceSectorSize(HANDLE handle) {
  DISK_GEOMETRY geometry{};
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &returned,
                      nullptr)) {
    const uint32_t size = geometry.BytesPerSector;
    if (size != 0 && (size & (size - 1)) == 0 && size <= kBounceSize) return size;
  }
  return kDefaultSectorSize;
}

std::optional<uint64_t> DeviceLength(HANDLE handle) {
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr))
    return static_cast<uint64_t>(length.Length.QuadPart);
  return std::nullopt;
}

}  // namespace

Error WindowsError(std::u16string_view where, uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text = length != 0 && buffer != nullptr ? FromWide(std::wstring_view(buffer, length)) : u"";
  if (buffer != nullptr) LocalFree(buffer);
  // The system's text ends with ".\r\n"; a line of ours must not.
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' || text.back() == u'.'))
    text.pop_back();
  if (text.empty()) text = u"system error " + Utf8ToUtf16(std::to_string(code));
  if (code == ERROR_ACCESS_DENIED && where.substr(0, kDevicePrefix.size()) == kDevicePrefix)
    text += u" (reading a volume device needs administrator rights)";
  const ErrorKind kind =
      code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ErrorKind::kAbsent : ErrorKind::kUnreadable;
  return Error{std::u16string(where), text, kind};
}

Expected<std::unique_ptr<HandleSource>> HandleSource::Open(std::u16string_view name) {
  if (!IsSystemName(name)) return Error{std::u16string(name), u"not a usable file name"};
  HANDLE handle = CreateFileW(Wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return WindowsError(name, GetLastError());
  const bool device = name.substr(0, kDevicePrefix.size()) == kDevicePrefix;
  std::unique_ptr<HandleSource> source(new HandleSource(handle, device ? DeviceSectorSize(handle) : 1));
  source->identity_ = IdentityOfHandle(handle);
  LARGE_INTEGER size{};
  if (device) {
    source->size_ = DeviceLength(handle);
  } else if (GetFileSizeEx(handle, &size)) {
    source->size_ = static_cast<uint64_t>(size.QuadPart);
  }
  return source;
}

HandleSource::~HandleSource() { CloseHandle(static_cast<HANDLE>(handle_)); }

bool HandleSource::ReadExact(uint64_t offset, uint8_t* out, uint64_t count) {
  while (count > 0) {
    const auto chunk = static_cast<DWORD>(std::min(count, kReadChunk));
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    // Past the end of an image or device the read comes back short: that
    // is a failure, never a partial success.
    if (!ReadFile(static_cast<HANDLE>(handle_), out, chunk, &got, &position) || got != chunk) return false;
    offset += chunk;
    out += chunk;
    count -= chunk;
  }
  return true;
}

bool HandleSource::ReadAligned(uint64_t offset, std::span<uint8_t> out) {
  void* memory = VirtualAlloc(nullptr, kBounceSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (memory == nullptr) return false;
  auto* bounce = static_cast<uint8_t*>(memory);
  bool ok = true;
  for (uint64_t done = 0; ok && done < out.size();) {
    const uint64_t position = offset + done;
    const uint64_t start = position - position % alignment_;
    const uint64_t skip = position - start;
    const uint64_t take = std::min<uint64_t>(out.size() - done, kBounceSize - skip);
    const uint64_t whole = (skip + take + alignment_ - 1) / alignment_ * alignment_;
    ok = ReadExact(start, bounce, whole);
    if (ok) std::memcpy(out.data() + done, bounce + skip, take);
    done += take;
  }
  VirtualFree(memory, 0, MEM_RELEASE);
  return ok;
}

bool HandleSource::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  if (offset > kMaxOffset || out.size() > kMaxOffset - offset) return false;
  if (out.empty()) return true;
  if (alignment_ > 1) return ReadAligned(offset, out);
  return ReadExact(offset, out.data(), out.size());
}

std::optional<std::pair<uint64_t, uint64_t>> IdentityOfPath(std::u16string_view path) {
  if (!IsSystemName(path)) return std::nullopt;
  HANDLE handle = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  auto identity = IdentityOfHandle(handle);
  CloseHandle(handle);
  return identity;
}

}  // namespace velmora::platform
