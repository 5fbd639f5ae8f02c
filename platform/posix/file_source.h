// A volume image or block device read through a POSIX file descriptor.
//
// The descriptor is opened read-only and nothing in this class can write
// through it: the evidence stays as it was acquired.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/byte_source.h"
#include "base/error.h"

namespace velmora::platform {

// The system's text for an errno value, about path: Error{path, text}.
Error SystemError(const std::string& path, int error);

class FileSource : public ByteSource {
 public:
  // Opens a regular file, block device or character device read-only; on
  // failure the path and the system's reason.
  static Expected<std::unique_ptr<FileSource>> Open(const std::string& path);

  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  std::optional<uint64_t> Size() const override { return size_; }
  std::optional<std::pair<uint64_t, uint64_t>> FileIdentity() const override { return identity_; }
  // pread keeps no file position.
  bool ConcurrentReads() const override { return true; }

 private:
  FileSource(int fd, std::optional<uint64_t> size, std::pair<uint64_t, uint64_t> identity)
      : fd_(fd), size_(size), identity_(identity) {}

  int fd_;
  std::optional<uint64_t> size_;
  std::pair<uint64_t, uint64_t> identity_;
};

}  // namespace velmora::platform
