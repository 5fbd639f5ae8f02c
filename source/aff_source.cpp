// AFF through afflib.
// afflib.h leans on these without including them.
#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <afflib/afflib.h>

#include "source/library_source.h"

namespace velmora::source {

namespace {

// afflib reports through errno.
std::string ErrorText() { return errno != 0 ? std::strerror(errno) : "no reason given"; }

class AffSource : public LibrarySource {
 public:
  AffSource(std::string path, uint64_t media_size, AFFILE* file)
      : LibrarySource(std::move(path), media_size), file_(file) {}
  ~AffSource() override { af_close(file_); }
  AffSource(const AffSource&) = delete;
  AffSource& operator=(const AffSource&) = delete;

 protected:
  int64_t LibraryRead(uint64_t offset, std::span<uint8_t> out, std::string* why) override {
    errno = 0;
    if (af_seek(file_, static_cast<int64_t>(offset), SEEK_SET) != offset) {
      *why = ErrorText();
      return -1;
    }
    const ssize_t got = af_read(file_, out.data(), static_cast<ssize_t>(out.size()));
    if (got <= 0) *why = ErrorText();
    return got;
  }

 private:
  AFFILE* file_;
};

}  // namespace

OpenedEvidence OpenAff(const std::string& path) {
  errno = 0;
  AFFILE* file = af_open(path.c_str(), O_RDONLY, 0);
  if (file == nullptr) return {nullptr, FailureLine(path, "cannot open AFF", ErrorText())};
  const int64_t size = af_get_imagesize(file);
  if (size <= 0) {
    std::string why = ErrorText();
    af_close(file);
    return {nullptr, FailureLine(path, "AFF image size unknown", why)};
  }
  return {std::make_unique<AffSource>(path, static_cast<uint64_t>(size), file), {}};
}

}  // namespace velmora::source
