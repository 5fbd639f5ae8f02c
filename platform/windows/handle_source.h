// A volume device (\\.\X:, \\.\PhysicalDriveN) or an image file read through
// a Win32 handle opened for reading only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "base/byte_source.h"
#include "base/error.h"

namespace velmora::platform {

class HandleSource : public ByteSource {
 public:
  // CreateFileW for reading while others may read and write, random
  // access. On failure the name and the system's message.
  static Expected<std::unique_ptr<HandleSource>> Open(std::u16string_view name);

  ~HandleSource() override;
  HandleSource(const HandleSource&) = delete;
  HandleSource& operator=(const HandleSource&) = delete;

  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  std::optional<uint64_t> Size() const override { return size_; }
  // Volume serial number and file index.
  std::optional<std::pair<uint64_t, uint64_t>> FileIdentity() const override { return identity_; }

 private:
  HandleSource(void* handle, uint32_t alignment) : handle_(handle), alignment_(alignment) {}
  bool ReadExact(uint64_t offset, uint8_t* out, uint64_t count);
  bool ReadAligned(uint64_t offset, std::span<uint8_t> out);

  void* handle_;
  // Devices read whole sectors only, into sector-aligned memory; 1 for files.
  uint32_t alignment_;
  std::optional<uint64_t> size_;
  std::optional<std::pair<uint64_t, uint64_t>> identity_;
};

// The system's message (FormatMessageW) for a Win32 error code, about
// where: Error{where, text}. Access denied on a device adds that reading it
// needs administrator rights.
Error WindowsError(std::u16string_view where, uint32_t code);

// The identity FileIdentity() gives for the file a path names, opened
// without access to its data; nullopt when it cannot be opened.
std::optional<std::pair<uint64_t, uint64_t>> IdentityOfPath(std::u16string_view path);

}  // namespace velmora::platform
