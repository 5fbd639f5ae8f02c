#include "platform/posix/posix_platform.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/drive_names.h"
#include "base/format.h"
#include "platform/posix/file_source.h"
#include "platform/posix/mountinfo.h"

namespace velmora::platform {

namespace {

using Identity = std::pair<uint64_t, uint64_t>;

// A file the output must never be: the volume's source, or a guarded file.
struct Guarded {
  Identity identity;
  std::u16string what;
};

constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr char kMountInfo[] = "/proc/self/mountinfo";

// A name the system can be asked about: no NUL inside.
std::optional<std::string> SystemName(std::u16string_view name) {
  if (name.empty() || name.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  return Utf16ToUtf8(name);
}

std::optional<std::string> AbsolutePosixPath(std::u16string_view path) {
  if (path.empty() || path[0] != u'/') return std::nullopt;
  return SystemName(path);
}

std::optional<struct stat> StatOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

Identity IdentityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<std::string> ReadWholeFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return text;
}

std::optional<std::string> RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// The file behind a loop device, or behind the loop device a partition
// belongs to; nullopt for every other file.
std::optional<std::string> LoopBackingFile(const struct stat& st) {
  if (!S_ISBLK(st.st_mode)) return std::nullopt;
  const std::string device =
      "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  for (const char* attribute : {"/loop/backing_file", "/../loop/backing_file"}) {
    if (auto backing = ReadWholeFile((device + attribute).c_str())) {
      while (!backing->empty() && backing->back() == '\n') backing->pop_back();
      return backing;
    }
  }
  return std::nullopt;
}

// Guards the file at path and, when it is a loop device, the file behind it.
void Guard(const std::string& path, const std::u16string& what, std::vector<Guarded>& guarded) {
  auto st = StatOf(path);
  if (!st) return;
  guarded.push_back({IdentityOf(*st), what});
  if (auto backing = LoopBackingFile(*st)) {
    if (auto behind = StatOf(*backing)) guarded.push_back({IdentityOf(*behind), u"the file behind " + what});
  }
}

std::u16string TypeRefusal(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISBLK(st.st_mode)) return u"it is a block device";
  if (S_ISCHR(st.st_mode)) return u"it is a character device";
  if (S_ISDIR(st.st_mode)) return u"it is a directory";
  if (S_ISFIFO(st.st_mode)) return u"it is a FIFO";
  if (S_ISSOCK(st.st_mode)) return u"it is a socket";
  return u"it is not a regular file";
}

// Why an existing output file must not be written, or empty.
std::u16string FileRefusal(const struct stat& st, const std::vector<Guarded>& guarded) {
  if (auto why = TypeRefusal(st); !why.empty()) return why;
  for (const Guarded& g : guarded) {
    if (g.identity == IdentityOf(st)) return u"it is " + g.what;
  }
  return {};
}

// A path's folder ("." for a bare name) and its file name.
std::pair<std::string, std::string> FolderAndName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Why a new or existing output file must not be written because its
// directory lies on a mounted guarded source, or empty.
std::u16string MountRefusal(const std::string& path, const std::vector<Guarded>& guarded) {
  auto canonical = RealPath(FolderAndName(path).first);
  auto text = ReadWholeFile(kMountInfo);
  if (!canonical || !text) return {};
  std::vector<MountEntry> mounts = ParseMountInfo(*text);
  auto location = LocateInMounts(mounts, *canonical);
  if (!location) return {};
  std::vector<Guarded> holders;
  Guard(location->mount->source, {}, holders);
  for (const Guarded& holder : holders) {
    for (const Guarded& g : guarded) {
      if (g.identity == holder.identity)
        return u"it lies on " + g.what + u", mounted at " + Utf8ToUtf16(location->mount->mount_point);
    }
  }
  return {};
}

// Why an output name must not be written because a guarded evidence set
// would read a file of that name as one of its own (case.E08 beside
// case.E01 ... E07, disk.003 beside disk.001), or empty. A set lies in its
// first file's folder, where its reader looks for the rest.
std::u16string SetRefusal(const std::string& path, const std::vector<OutputGuard::Set>& sets) {
  const auto [folder, name] = FolderAndName(path);
  const auto folder_stat = StatOf(folder);
  if (!folder_stat) return {};
  for (const OutputGuard::Set& set : sets) {
    const auto [set_folder, first] = FolderAndName(set.first);
    std::u16string why = set.joins(first, name);
    const auto set_stat = why.empty() ? std::nullopt : StatOf(set_folder);
    if (set_stat && IdentityOf(*set_stat) == IdentityOf(*folder_stat)) return why;
  }
  return {};
}

std::vector<Guarded> GuardedFiles(const ByteSource& volume, const OutputGuard& guard,
                                  const std::vector<std::string>& opened) {
  std::vector<Guarded> guarded;
  if (auto identity = volume.FileIdentity()) guarded.push_back({*identity, u"the volume being read"});
  for (const std::string& file : volume.OtherFiles())
    Guard(file, u"a file of the source being read (" + Utf8ToUtf16(file) + u")", guarded);
  for (const OutputGuard::File& file : guard.files) Guard(file.path, file.what, guarded);
  for (const std::string& path : opened) Guard(path, u"the device being read", guarded);
  return guarded;
}

// Every byte to the descriptor: 0, or the errno that stopped it (ENOSPC
// for a write that took nothing).
int WriteAll(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? errno : ENOSPC;
    done += static_cast<size_t>(put);
  }
  return 0;
}

// Writes to a new file beside the output name and renames it over that
// name on Commit; destroyed uncommitted, it removes the new file.
class PosixOutputFile : public OutputFile {
 public:
  PosixOutputFile(int fd, std::string temporary, std::string final_name, std::u16string label)
      : fd_(fd), temporary_(std::move(temporary)), final_(std::move(final_name)), label_(std::move(label)) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(temporary_.c_str());
  }
  PosixOutputFile(const PosixOutputFile&) = delete;
  PosixOutputFile& operator=(const PosixOutputFile&) = delete;

  Expected<void> Write(std::span<const uint8_t> bytes) override {
    if (const int error = WriteAll(fd_, bytes); error != 0) return Failure(error);
    return {};
  }

  Expected<void> Commit() override {
    if (fsync(fd_) != 0 && errno != EINVAL) return Failure(errno);
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) return Failure(errno);
    if (rename(temporary_.c_str(), final_.c_str()) != 0) return Failure(errno);
    committed_ = true;
    return {};
  }

 private:
  Error Failure(int error) const { return Error{label_, Utf8ToUtf16(std::strerror(error))}; }

  int fd_;
  std::string temporary_;
  std::string final_;
  std::u16string label_;
  bool committed_ = false;
};

// An export's file: written under its own name, which O_EXCL took when it
// was created; destroyed uncommitted, it removes that name again. No fsync:
// an export writes tens of thousands of files, and the manifest, not the
// disk cache, is what vouches for them.
class PosixNewFile : public OutputFile {
 public:
  PosixNewFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~PosixNewFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(name_.c_str());
  }
  PosixNewFile(const PosixNewFile&) = delete;
  PosixNewFile& operator=(const PosixNewFile&) = delete;

  Expected<void> Write(std::span<const uint8_t> bytes) override {
    if (const int error = WriteAll(fd_, bytes); error != 0) return SystemError(name_, error);
    return {};
  }

  Expected<void> Commit() override {
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) return SystemError(name_, errno);
    committed_ = true;
    return {};
  }

 private:
  int fd_;
  std::string name_;
  bool committed_ = false;
};

}  // namespace

Expected<void> PosixPlatform::TakeEmptyDirectory(std::u16string_view path) {
  auto name = SystemName(path);
  if (!name) return Error{std::u16string(path), u"not a usable directory name"};
  if (mkdir(name->c_str(), 0777) == 0) return {};
  if (errno != EEXIST) return SystemError(*name, errno);
  DIR* directory = opendir(name->c_str());
  if (directory == nullptr) return SystemError(*name, errno);
  bool empty = true;
  while (const dirent* entry = readdir(directory)) {
    const std::string_view entry_name(entry->d_name);
    if (entry_name != "." && entry_name != "..") {
      empty = false;
      break;
    }
  }
  closedir(directory);
  if (!empty) return Error{std::u16string(path), u"the directory is not empty: an export never overwrites"};
  return {};
}

Expected<void> PosixPlatform::CreateDirectory(std::u16string_view path) {
  auto name = SystemName(path);
  if (!name) return Error{std::u16string(path), u"not a usable directory name"};
  if (mkdir(name->c_str(), 0777) != 0) return SystemError(*name, errno);
  return {};
}

Expected<std::unique_ptr<OutputFile>> PosixPlatform::CreateNewFile(std::u16string_view path) {
  auto name = SystemName(path);
  if (!name) return Error{std::u16string(path), u"not a usable file name"};
  const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return SystemError(*name, errno);
  return std::unique_ptr<OutputFile>(std::make_unique<PosixNewFile>(fd, *name));
}

std::u16string PosixPlatform::CurrentDirectory() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return {};
  return Utf8ToUtf16(buffer);
}

std::optional<std::u16string> PosixPlatform::CanonicalPath(std::u16string_view path) {
  auto name = SystemName(path);
  if (!name) return std::nullopt;
  auto canonical = RealPath(*name);
  if (!canonical) return std::nullopt;
  return Utf8ToUtf16(*canonical);
}

bool PosixPlatform::StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void PosixPlatform::SetUpConsole() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

Expected<std::unique_ptr<ByteSource>> PosixPlatform::OpenFile(const std::string& path) {
  auto file = FileSource::Open(path);
  if (!file) return file.error();
  return std::unique_ptr<ByteSource>(std::move(*file));
}

bool PosixPlatform::FileExists(std::u16string_view name) {
  const auto system = SystemName(name);
  return system && StatOf(*system).has_value();
}

// A drive path ("C:\...") is no absolute POSIX path: it names nothing here.
bool PosixPlatform::PathExists(std::u16string_view path) {
  auto posix = AbsolutePosixPath(path);
  return posix && StatOf(*posix).has_value();
}

std::optional<bool> PosixPlatform::PathIsDirectory(std::u16string_view path) {
  auto posix = AbsolutePosixPath(path);
  if (!posix) return false;
  auto st = StatOf(*posix);
  return st && S_ISDIR(st->st_mode);
}

Expected<std::unique_ptr<ByteSource>> PosixPlatform::OpenDevice(std::u16string_view device_name) {
  // "\\.\X:" reaches the system only when X is bound to nothing.
  if (auto letter = DeviceLetter(device_name)) return Error{std::u16string(device_name), UnboundDriveAdvice(*letter)};
  // Otherwise the device or image file a mount named, always absolute.
  auto path = AbsolutePosixPath(device_name);
  if (!path) return Error{std::u16string(device_name), u"not an absolute path of a device or image"};
  auto file = OpenFile(*path);
  if (file) opened_.push_back(*path);
  return file;
}

std::optional<MountedPath> PosixPlatform::LocateMountedPath(std::u16string_view path) {
  auto posix = AbsolutePosixPath(path);
  if (!posix) return std::nullopt;
  auto canonical = RealPath(*posix);
  auto text = ReadWholeFile(kMountInfo);
  if (!canonical || !text) return std::nullopt;
  std::vector<MountEntry> mounts = ParseMountInfo(*text);
  auto location = LocateInMounts(mounts, *canonical);
  // A source that is no path ("tmpfs", "overlay") names no device to read.
  if (!location || location->mount->source.empty() || location->mount->source[0] != '/') return std::nullopt;
  MountedPath mounted{Utf8ToUtf16(location->mount->source), {}};
  for (const std::string& component : location->components) mounted.components.push_back(Utf8ToUtf16(component));
  return mounted;
}

std::u16string PosixPlatform::DriveBindingNote() {
  return u"On Linux:\n"
         u"\t[-m X: SOURCE] Binds drive letter X to SOURCE, a volume image or a block device\n"
         u"\t\t\t    (/dev/sdb1), read only. A path then names a file on it: -f 'X:\\dir\\file'.\n";
}

std::u16string PosixPlatform::UsageNotes() {
  return u"\t-f also takes a path on a mounted NTFS volume: -f /mnt/win/Windows/notepad.exe\n"
         u"\tA drive path must name a drive bound with -m.\n";
}

std::u16string PosixPlatform::UnboundDriveAdvice(char16_t letter) {
  const std::u16string drive = std::u16string(1, DriveLetter(letter).value_or(letter)) + u":";
  return u"Drive " + drive + u" is not bound to a volume: bind it with -m " + drive + u" IMAGE_OR_DEVICE";
}

std::optional<LocalTime> PosixPlatform::FileTimeToLocal(uint64_t filetime) {
  // Windows converts FILETIMEs below 2^63 only; keep the same range.
  if (filetime > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  const int64_t seconds = static_cast<int64_t>(filetime / kFileTimeTicksPerSecond) - kSecondsFrom1601To1970;
  if (seconds < std::numeric_limits<time_t>::min() || seconds > std::numeric_limits<time_t>::max())
    return std::nullopt;
  const time_t t = static_cast<time_t>(seconds);
  // localtime_r need not notice a TZ changed since the last tzset, but
  // tzset itself stats /etc/localtime on every call when TZ is unset: a
  // listing of 60,000 names spent most of its system time there. It runs
  // again only when TZ differs from what it last saw.
  static bool zone_set = false;
  static std::optional<std::string> last_tz;
  const char* tz = std::getenv("TZ");
  std::optional<std::string> current_tz = tz ? std::optional<std::string>(tz) : std::nullopt;
  if (!zone_set || current_tz != last_tz) {
    tzset();
    last_tz = std::move(current_tz);
    zone_set = true;
  }
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return std::nullopt;
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

AccountLookup PosixPlatform::LookupAccountSid(std::span<const uint8_t>, uint32_t, uint32_t) {
  AccountLookup none;
  none.error = kErrorNoneMapped;
  return none;
}

CreateOutcome PosixPlatform::CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                              const OutputGuard& guard) {
  CreateOutcome outcome;
  auto name = SystemName(path);
  if (!name) {
    outcome.error = Error{std::u16string(path), u"not a usable file name"};
    return outcome;
  }
  const std::vector<Guarded> guarded = GuardedFiles(volume, guard, opened_);
  auto refuse = [&](const std::u16string& why) {
    outcome.refused = true;
    outcome.error = Error{u"Refusing to write " + std::u16string(path), why};
    return std::move(outcome);
  };
  std::optional<struct stat> existing = StatOf(*name);
  if (existing) {
    if (auto why = FileRefusal(*existing, guarded); !why.empty()) return refuse(why);
  }
  if (auto why = MountRefusal(*name, guarded); !why.empty()) return refuse(why);
  // A symbolic link keeps pointing where it did: the file it names is the
  // one replaced, so a set's names are refused as given and as written.
  const std::string final_name = existing ? RealPath(*name).value_or(*name) : *name;
  for (const std::string& written : {*name, final_name}) {
    if (auto why = SetRefusal(written, guard.sets); !why.empty()) return refuse(why);
  }

  // The bytes go to a new file in the same directory (so the rename stays
  // on one file system) and replace the name only once complete.
  const size_t slash = final_name.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "" : final_name.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? final_name : final_name.substr(slash + 1);
  std::string temporary = directory + "." + base + ".velmora-XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    outcome.error = SystemError(*name, errno);
    return outcome;
  }
  // The mode an ordinary create would give, or the replaced file's own.
  mode_t mode = 0;
  if (existing) {
    mode = existing->st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0644 & ~mask;
  }
  if (fchmod(fd, mode) != 0) {
    outcome.error = SystemError(*name, errno);
    close(fd);
    unlink(temporary.c_str());
    return outcome;
  }
  outcome.file = std::make_unique<PosixOutputFile>(fd, temporary, final_name, std::u16string(path));
  return outcome;
}

}  // namespace velmora::platform
