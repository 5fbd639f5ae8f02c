#include "ntfs/path.h"

#include <algorithm>
#include <cwctype>

#include "base/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/upcase.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "platform/platform.h"

namespace velmora {

namespace {

// The normalized path must fit a MAX_PATH buffer with its terminator.
constexpr size_t kMaxNormalizedPath = 259;
constexpr size_t kMaxNameUnits = 255;

bool IsAlpha(char16_t unit) { return std::iswalpha(static_cast<wint_t>(unit)) != 0; }

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// Where the drive's "X:" ends in a drive path, prefixed or not; 0 for any
// other path.
size_t DriveEnd(std::u16string_view path) {
  if (path.starts_with(u"\\\\?\\")) {
    return path.size() >= 6 && path[5] == u':' && IsAlpha(path[4]) ? 6 : 0;
  }
  return path.size() >= 2 && path[1] == u':' && IsAlpha(path[0]) ? 2 : 0;
}

// The type part of "file:name:$DATA", compared as the system compares it.
bool IsDataTypeName(std::u16string_view type) {
  constexpr std::u16string_view kData = u"$DATA";
  return type.size() == kData.size() &&
         std::equal(type.begin(), type.end(), kData.begin(),
                    [](char16_t a, char16_t b) { return std::towupper(static_cast<wint_t>(a)) == b; });
}

}  // namespace

Expected<StreamPath> SplitStreamPath(std::u16string_view path) {
  const size_t drive = DriveEnd(path);
  size_t last = path.find_last_of(u"\\/");
  last = last == std::u16string_view::npos || last < drive ? drive : last + 1;
  const size_t colon = path.find(u':', last);
  if (colon == std::u16string_view::npos) return StreamPath{std::u16string(path), {}};
  const std::u16string typed(path);
  const std::u16string_view rest = path.substr(colon + 1);
  const size_t second = rest.find(u':');
  const std::u16string_view name = rest.substr(0, second);
  if (second != std::u16string_view::npos) {
    const std::u16string_view type = rest.substr(second + 1);
    if (type.find(u':') != std::u16string_view::npos)
      return Error{typed, u"a stream is named file:name or file:name:$DATA; this has more colons", ErrorKind::kAbsent};
    if (!IsDataTypeName(type)) {
      return Error{typed, u"only $DATA streams hold a file's content; \"" + std::u16string(type) + u"\" is not $DATA",
                   ErrorKind::kAbsent};
    }
  } else if (name.empty()) {
    return Error{typed, u"the stream name after the colon is empty (file::$DATA names the unnamed stream)",
                 ErrorKind::kAbsent};
  }
  if (name.size() > kMaxNameUnits)
    return Error{typed, Format("the stream name is longer than %u units", kMaxNameUnits), ErrorKind::kLimit};
  return StreamPath{typed.substr(0, colon), std::u16string(name)};
}

PathForm ClassifyPath(std::u16string_view path) {
  const size_t drive = DriveEnd(path);
  if (drive == 0 || drive == path.size()) return PathForm::kRejected;
  return drive == 2 ? PathForm::kDrive : PathForm::kPrefixedDrive;
}

char16_t DriveLetterOf(std::u16string_view path) {
  switch (ClassifyPath(path)) {
    case PathForm::kPrefixedDrive:
      return path[4];
    case PathForm::kDrive:
      return path[0];
    default:
      return 0;
  }
}

void SplitPathComponents(std::u16string_view text, std::vector<std::u16string>& components) {
  size_t p = 0;
  while (p < text.size()) {
    size_t q = text.find(u'\\', p);
    if (q == std::u16string_view::npos) {
      components.emplace_back(text.substr(p));
      return;
    }
    if (q + 1 < text.size() && text[q + 1] == u'\\') ++q;
    if (q == text.size() - 1) {
      components.emplace_back(text.substr(p));
      return;
    }
    components.emplace_back(text.substr(p, q - p));
    p = q + 1;
  }
}

Walk MatchFileName(std::span<const uint8_t> key, FileReference file, NameQuery& query, const UpcaseTable& upcase) {
  LeBytes k(key);
  uint64_t length = k.U8(file_name::kNameLength);
  if (!k.Fits(file_name::kName, length * 2) || length != query.name.size()) return Walk::kContinue;
  for (uint64_t i = 0; i < length; ++i) {
    if (upcase.Upcase(static_cast<char16_t>(k.U16(file_name::kName + 2 * i))) != upcase.Upcase(query.name[i]))
      return Walk::kContinue;
  }
  query.file = file;
  query.found = true;
  return Walk::kStop;
}

std::strong_ordering CompareFileName(std::span<const uint8_t> key, const NameQuery& query, const UpcaseTable& upcase) {
  LeBytes k(key);
  uint64_t length = k.U8(file_name::kNameLength);
  // A damaged key: look below it rather than skip.
  if (!k.Fits(file_name::kName, length * 2)) return std::strong_ordering::greater;
  uint64_t n = std::min<uint64_t>(length, query.name.size());
  for (uint64_t i = 0; i < n; ++i) {
    const char16_t unit = upcase.Upcase(static_cast<char16_t>(k.U16(file_name::kName + 2 * i)));
    if (auto order = unit <=> upcase.Upcase(query.name[i]); std::is_neq(order)) return order;
  }
  return length <=> uint64_t{query.name.size()};
}

namespace {

// An extracted $MFT holds a directory's $INDEX_ROOT but not its index
// blocks: a name the root node does not hold is sought instead among the
// $FILE_NAME attributes of the records in use whose parent is the directory
// (the index's keys are copies of those attributes). Every record is read
// once, in number order.
Expected<FileReference> FindChildByParent(NameQuery& query, VolumeContext& volume, FileReference directory) {
  const uint64_t records = volume.device()->Size().value_or(0) / volume.BytesPerFileRecord();
  for (uint64_t number = 0; number < records; ++number) {
    auto record = ReadFileRecord(volume, RecordNumber(number));
    if (!record || !(record->Flags() & record::kFlagInUse)) continue;
    AttributeWalk walk(*record);
    while (auto attribute = walk.Next()) {
      if (attribute->Type() != AttrType::kFileName || attribute->NonResident()) continue;
      const std::span<const uint8_t> value = attribute->ResidentValue();
      if (FileReference(LeBytes(value).U64(file_name::kParentRef)).Number() != directory.Number()) continue;
      if (MatchFileName(value, FileReference(number), query, volume.upcase()) == Walk::kStop) return query.file;
    }
  }
  return Error{{}, u"not found", ErrorKind::kAbsent};
}

}  // namespace

Expected<FileReference> FindChild(std::u16string_view name, VolumeContext& volume, FileReference directory) {
  if (name.size() > kMaxNameUnits)
    return Error{{}, Format("the name is longer than %u units", kMaxNameUnits), ErrorKind::kLimit};
  NameQuery query;
  query.name = std::u16string(name);
  const UpcaseTable& upcase = volume.upcase();
  const IndexWalkResult walk = IndexWalker(
      volume, directory, kI30Name,
      [&](std::span<const uint8_t> key, FileReference file) { return MatchFileName(key, file, query, upcase); },
      [&](std::span<const uint8_t> key) { return CompareFileName(key, query, upcase); });
  if (query.found) return query.file;
  if (walk.stopped && volume.MftOnly() && walk.stopped->kind == ErrorKind::kUnreadable)
    return FindChildByParent(query, volume, directory);
  if (walk.stopped) return *walk.stopped;
  return Error{{}, u"not found", ErrorKind::kAbsent};
}

FileReference LookupChild(std::u16string_view name, VolumeContext& volume, FileReference directory) {
  auto child = FindChild(name, volume, directory);
  return child ? *child : FileReference(0);
}

namespace {

// Walks components[first..] from the root. A failure names the component
// and the directory searched, by its path (the components before it after
// root_text, joined by separator) and record.
Expected<FileReference> WalkComponents(VolumeContext& volume, const std::vector<std::u16string>& components,
                                       size_t first, std::u16string_view root_text, char16_t separator) {
  FileReference current = kRootReference;
  std::u16string directory(root_text);
  for (size_t i = first; i < components.size(); ++i) {
    auto child = FindChild(components[i], volume, current);
    const std::u16string quoted = u"\"" + components[i] + u"\"";
    if (!child && child.error().where.empty()) {
      return Error{{},
                   Format("%s %s in directory %s (record 0x%I64X)", quoted, child.error().message, directory,
                          current.value),
                   child.error().kind};
    }
    if (!child) {
      return Error{{},
                   Format("%s cannot be looked up in directory %s (record 0x%I64X): %s", quoted, directory,
                          current.value, child.error().Line()),
                   child.error().kind};
    }
    current = *child;
    if (!directory.empty() && directory.back() != separator) directory += separator;
    directory += components[i];
  }
  return current;
}

}  // namespace

Expected<FileReference> ResolvePath(std::u16string_view path, VolumeContext& volume, platform::Platform& platform) {
  const std::u16string typed(path);
  // "C:name" names a file in the current directory of drive C:, which only
  // the system keeps; the walk starts at the root, so it would name a
  // different file (before, the root itself).
  if (const size_t drive = DriveEnd(path); drive != 0 && (drive == path.size() || !IsSeparator(path[drive]))) {
    const std::u16string rooted = typed.substr(0, drive) + u"\\" + typed.substr(drive);
    return Error{typed,
                 u"a drive-relative path (" + typed.substr(drive - 2, 2) +
                     u"name) depends on the current directory of its drive, which the volume does not keep; "
                     u"name it from the root: " + rooted,
                 ErrorKind::kAbsent};
  }
  if (!platform.PathExists(path)) {
    if (char16_t letter = DriveLetterOf(path)) {
      if (std::u16string advice = platform.UnboundDriveAdvice(letter); !advice.empty()) return Error{typed, advice, ErrorKind::kAbsent};
    }
    return Error{typed, u"no such file or directory", ErrorKind::kAbsent};
  }

  if (auto mounted = platform.LocateMountedPath(path)) {
    if (auto opened = OpenVolume(volume, platform, mounted->device); !opened) return opened.error();
    if (auto accepted = CheckNtfsVolume(volume); !accepted) return accepted.error();
    auto found = WalkComponents(volume, mounted->components, 0, u"/", u'/');
    if (!found) return found.error().Within(typed);
    return found;
  }

  std::u16string text;
  switch (ClassifyPath(path)) {
    case PathForm::kRejected:
      return Error{typed, u"not a drive path (X:\\...) nor an absolute path on a mounted NTFS volume", ErrorKind::kAbsent};
    case PathForm::kDrive:
      text = u"\\\\?\\" + std::u16string(path);
      break;
    case PathForm::kPrefixedDrive:
      text = std::u16string(path);
      break;
  }
  // The system takes "/" for "\\" in a drive path, so the walk does too.
  std::replace(text.begin(), text.end(), u'/', u'\\');
  if (!text.empty() && text.back() == u'\\') text.pop_back();
  if (text.size() > kMaxNormalizedPath)
    return Error{typed, Format("longer than %u characters", kMaxNormalizedPath), ErrorKind::kLimit};

  std::vector<std::u16string> components;
  SplitPathComponents(text, components);
  if (components.size() < 3 || components[2].empty()) return Error{typed, u"names no drive", ErrorKind::kAbsent};

  std::u16string device = u"\\\\.\\";
  device += components[2][0];
  device += u':';
  if (auto opened = OpenVolume(volume, platform, device); !opened) return opened.error();
  if (auto accepted = CheckNtfsVolume(volume); !accepted) return accepted.error();
  auto found = WalkComponents(volume, components, 3, components[2] + u"\\", u'\\');
  if (!found) return found.error().Within(typed);
  return found;
}

FileReference PathResolver(std::u16string_view path, VolumeContext& volume, platform::Platform& platform) {
  auto found = ResolvePath(path, volume, platform);
  return found ? *found : FileReference(0);
}

}  // namespace velmora
