#include "platform/posix/mountinfo.h"

namespace velmora::platform {

namespace {

// Fields of a mountinfo line: id, parent id, major:minor, root, mount point,
// options, optional fields, then "-", file system type, source, super options.
constexpr size_t kRootField = 3;
constexpr size_t kMountPointField = 4;
constexpr size_t kFirstOptionalField = 6;

// The kernel writes space, tab, newline and backslash in names as \ooo.
std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i > 3) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> SplitOn(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool Contains(std::string_view mount_point, std::string_view path) {
  if (mount_point == "/") return true;
  return path.substr(0, mount_point.size()) == mount_point &&
         (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  for (std::string_view line : SplitOn(text, '\n')) {
    std::vector<std::string_view> fields = SplitOn(line, ' ');
    size_t separator = kFirstOptionalField;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;  // no type and source after "-"
    mounts.push_back({Unescape(fields[kRootField]), Unescape(fields[kMountPointField]),
                      Unescape(fields[separator + 1]), Unescape(fields[separator + 2])});
  }
  return mounts;
}

std::optional<MountLocation> LocateInMounts(std::span<const MountEntry> mounts, std::string_view path) {
  if (path.empty() || path[0] != '/') return std::nullopt;
  const MountEntry* best = nullptr;
  for (const MountEntry& m : mounts) {
    if (Contains(m.mount_point, path) && (best == nullptr || m.mount_point.size() >= best->mount_point.size()))
      best = &m;
  }
  if (best == nullptr) return std::nullopt;
  MountLocation location{best, {}};
  for (std::string_view part : SplitOn(best->root, '/')) location.components.emplace_back(part);
  const std::string_view below = best->mount_point == "/" ? path : path.substr(best->mount_point.size());
  for (std::string_view part : SplitOn(below, '/')) location.components.emplace_back(part);
  return location;
}

}  // namespace velmora::platform
