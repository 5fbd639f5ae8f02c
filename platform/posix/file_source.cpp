#include "platform/posix/file_source.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace velmora::platform {

static_assert(sizeof(off_t) >= 8, "volume offsets need a 64-bit off_t");

uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return 3;          // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case ENOMEM: return 8;           // ERROR_NOT_ENOUGH_MEMORY
    case EBUSY:
    case ETXTBSY: return 32;         // ERROR_SHARING_VIOLATION
    case EEXIST: return 80;          // ERROR_FILE_EXISTS
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return 112;         // ERROR_DISK_FULL
    case ENAMETOOLONG: return 206;   // ERROR_FILENAME_EXCED_RANGE
    case ENXIO:
    case ENODEV: return 21;          // ERROR_NOT_READY
    default: return kErrorReadFault;
  }
}

std::unique_ptr<FileSource> FileSource::Open(const std::string& path, uint32_t* error) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  struct stat st {};
  std::optional<uint64_t> size;
  bool usable = fstat(fd, &st) == 0;
  if (usable && S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (usable && S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
  } else if (usable && !S_ISCHR(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    usable = false;
  }
  if (!usable || fcntl(fd, F_SETFL, 0) != 0) {
    *error = ErrorFromErrno(errno);
    close(fd);
    return nullptr;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  *error = kErrorSuccess;
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
