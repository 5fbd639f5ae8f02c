#include "ntfs/path.h"

#include <cwctype>

#include "ntfs/bytes.h"
#include "ntfs/index.h"
#include "ntfs/upcase.h"
#include "ntfs/volume.h"
#include "platform/platform.h"

namespace velmora {

namespace {

// The normalized path must fit a MAX_PATH buffer with its terminator.
constexpr size_t kMaxNormalizedPath = 259;
constexpr size_t kMaxNameUnits = 255;

bool IsAlpha(char16_t unit) { return std::iswalpha(static_cast<wint_t>(unit)) != 0; }

}  // namespace

PathForm ClassifyPath(std::u16string_view path) {
  if (path.size() > 6 && path.substr(0, 4) == u"\\\\?\\" && path[5] == u':' && IsAlpha(path[4]))
    return PathForm::kPrefixedDrive;
  if (path.size() > 2 && path[1] == u':' && IsAlpha(path[0])) return PathForm::kDrive;
  return PathForm::kRejected;
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

int MatchFileName(std::span<const uint8_t> key, uint32_t first32, uint32_t next16, NameQuery& query,
                  const UpcaseTable& upcase) {
  LeBytes k(key);
  uint64_t length = k.U8(file_name::kNameLength);
  if (!k.Fits(file_name::kName, length * 2) || length != query.name.size()) return 1;
  for (uint64_t i = 0; i < length; ++i) {
    if (upcase.Upcase(static_cast<char16_t>(k.U16(file_name::kName + 2 * i))) != upcase.Upcase(query.name[i]))
      return 1;
  }
  query.record_low = first32;
  query.record_high = next16;
  query.found = true;
  return 0;
}

int32_t CompareFileName(std::span<const uint8_t> key, const NameQuery& query, const UpcaseTable& upcase) {
  LeBytes k(key);
  uint64_t length = k.U8(file_name::kNameLength);
  if (!k.Fits(file_name::kName, length * 2)) return 1;  // a damaged key: look below it rather than skip
  uint64_t n = std::min<uint64_t>(length, query.name.size());
  for (uint64_t i = 0; i < n; ++i) {
    int32_t d = static_cast<int32_t>(upcase.Upcase(static_cast<char16_t>(k.U16(file_name::kName + 2 * i)))) -
                static_cast<int32_t>(upcase.Upcase(query.name[i]));
    if (d != 0) return d;
  }
  return static_cast<int32_t>(length) - static_cast<int32_t>(query.name.size());
}

FileReference LookupChild(std::u16string_view name, VolumeContext& volume, FileReference directory) {
  if (name.size() > kMaxNameUnits) return FileReference(0);
  NameQuery query;
  query.name = std::u16string(name);
  const UpcaseTable& upcase = volume.upcase();
  IndexWalker(
      volume, directory, kI30Name,
      [&](std::span<const uint8_t> key, uint32_t first32, uint32_t next16) {
        return MatchFileName(key, first32, next16, query, upcase);
      },
      [&](std::span<const uint8_t> key) { return CompareFileName(key, query, upcase); });
  if (!query.found) return FileReference(0);
  return FileReference((uint64_t{query.record_high & 0xFFFF} << 32) | query.record_low);
}

namespace {

FileReference WalkComponents(VolumeContext& volume, const std::vector<std::u16string>& components, size_t first) {
  FileReference current = kRootReference;
  for (size_t i = first; i < components.size() && current.value != 0; ++i)
    current = LookupChild(components[i], volume, current);
  return current;
}

}  // namespace

FileReference PathResolver(std::u16string_view path, VolumeContext& volume, platform::Platform& platform) {
  if (!platform.PathExists(path)) return FileReference(0);

  if (auto mounted = platform.LocateMountedPath(path)) {
    if (!OpenVolume(volume, platform, mounted->device) || !CheckNtfsVolume(volume)) return FileReference(0);
    return WalkComponents(volume, mounted->components, 0);
  }

  std::u16string text;
  switch (ClassifyPath(path)) {
    case PathForm::kRejected:
      return FileReference(0);
    case PathForm::kDrive:
      text = u"\\\\?\\" + std::u16string(path);
      break;
    case PathForm::kPrefixedDrive:
      text = std::u16string(path);
      break;
  }
  if (!text.empty() && text.back() == u'\\') text.pop_back();
  if (text.size() > kMaxNormalizedPath) return FileReference(0);

  std::vector<std::u16string> components;
  SplitPathComponents(text, components);
  if (components.size() < 3 || components[2].empty()) return FileReference(0);

  std::u16string device = u"\\\\.\\";
  device += components[2][0];
  device += u':';
  if (!OpenVolume(volume, platform, device) || !CheckNtfsVolume(volume)) return FileReference(0);
  return WalkComponents(volume, components, 3);
}

}  // namespace velmora
