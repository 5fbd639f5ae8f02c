// The common part of the sources that a container library reads: the media
// size checked once at open, reads kept inside it, and the reason of the
// first failed read kept for whoever reports it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "source/byte_source.h"
#include "source/evidence.h"

namespace velmora::source {

class LibrarySource : public source::ByteSource {
 public:
  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  std::optional<uint64_t> Size() const override { return media_size_; }
  std::vector<std::string> OtherFiles() const override { return files_; }
  std::string ReadFailure() const override { return read_failure_; }

 protected:
  LibrarySource(std::string path, uint64_t media_size) : path_(std::move(path)), media_size_(media_size) {}
  // Every read fails once one has (see ReadAt).
  // One read of the library at offset into out, inside the media; the count
  // of bytes it gave, or -1 with *why set to its error text.
  virtual int64_t LibraryRead(uint64_t offset, std::span<uint8_t> out, std::string* why) = 0;
  void AddFile(std::string file) { files_.push_back(std::move(file)); }

 private:
  std::string path_;
  uint64_t media_size_;
  std::vector<std::string> files_;
  std::string read_failure_;
};

// "PATH: WHAT: DETAIL" (the detail left out when empty), the one line an
// open failure or a failed read gives.
std::string FailureLine(const std::string& path, const std::string& what, const std::string& detail);

// The library openers; each exists when its library is built in.
OpenedEvidence OpenEwf(const std::string& path, const FileOpener& open_file);
OpenedEvidence OpenAff(const std::string& path);
OpenedEvidence OpenVhdi(const std::string& path);  // VHD and VHDX
OpenedEvidence OpenVmdk(const std::string& path);
OpenedEvidence OpenQcow(const std::string& path);

// Where a container's parent (backing file) may live, in the order to try:
// the name as recorded (relative names from the child's directory), then its
// last component beside the child (a parent recorded with another machine's
// path, "C:\\vms\\base.vhd").
std::vector<std::string> ParentCandidates(const std::string& child, const std::string& named);

// The libyal libraries (libewf, libqcow, libvhdi, libvmdk) share two
// shapes: an error printed into a buffer and then freed, and a UTF-8 string
// asked for its size, then for its bytes.
template <typename Error>
std::string LibyalErrorText(Error*& error, int (*print)(Error*, char*, size_t), void (*release)(Error**)) {
  if (error == nullptr) return {};
  char text[1024] = {};
  print(error, text, sizeof text);
  release(&error);
  return text;
}

// 1 with the string in *text, 0 when there is none, -1 on error.
template <typename Handle, typename Error>
int LibyalUtf8String(Handle* handle, std::string* text, Error** error, int (*size_of)(Handle*, size_t*, Error**),
                     int (*get)(Handle*, uint8_t*, size_t, Error**)) {
  size_t size = 0;
  int result = size_of(handle, &size, error);
  if (result != 1 || size <= 1) return result < 0 ? -1 : 0;
  std::string value(size, '\0');
  result = get(handle, reinterpret_cast<uint8_t*>(value.data()), size, error);
  if (result != 1) return result;
  value.resize(size - 1);
  *text = std::move(value);
  return 1;
}

// The media size through a libyal getter, whose size type is the library's own.
template <typename Handle, typename Error, typename Size>
int LibyalMediaSize(Handle* handle, uint64_t* size, Error** error, int (*get)(Handle*, Size*, Error**)) {
  Size value = 0;
  const int result = get(handle, &value, error);
  *size = value;
  return result;
}

// Containers chained through parents longer than this are refused.
inline constexpr int kMaxParentDepth = 16;

}  // namespace velmora::source
