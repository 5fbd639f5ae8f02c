#include "platform/posix/file_source.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "base/format.h"

namespace velmora::platform {

static_assert(sizeof(off_t) >= 8, "volume offsets need a 64-bit off_t");

Error SystemError(const std::string& path, int error) {
  std::string text = std::strerror(error);
  if (error == EACCES || error == EPERM) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)))
      text += " (reading a device needs root or membership of the disk group)";
  }
  const ErrorKind kind = error == ENOENT || error == ENOTDIR ? ErrorKind::kAbsent : ErrorKind::kUnreadable;
  return Error{Utf8ToUtf16(path), Utf8ToUtf16(text), kind};
}

Expected<std::unique_ptr<FileSource>> FileSource::Open(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return SystemError(path, errno);
  struct stat st {};
  std::optional<uint64_t> size;
  bool usable = fstat(fd, &st) == 0;
  if (usable && S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (usable && S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
  } else if (usable && !S_ISCHR(st.st_mode)) {
    close(fd);
    return Error{Utf8ToUtf16(path), S_ISDIR(st.st_mode) ? u"is a directory, not a volume image or device"
                                                        : u"is not a volume image or device (a FIFO or socket)"};
  }
  if (!usable || fcntl(fd, F_SETFL, 0) != 0) {
    const int error = errno;
    close(fd);
    return SystemError(path, error);
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  return std::unique_ptr<FileSource>(
      new FileSource(fd, size, {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}));
}

FileSource::~FileSource() { close(fd_); }

bool FileSource::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  if (offset > kMaxOffset || out.size() > kMaxOffset - offset) return false;
  size_t done = 0;
  while (done < out.size()) {
    ssize_t got = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    // 0 is the end of the file: an image shorter than the volume it holds.
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace velmora::platform
