// Which mount holds a path, from the text of /proc/self/mountinfo.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

struct MountEntry {
  std::string root;         // the directory of the file system mounted here ("/" unless a bind mount)
  std::string mount_point;
  std::string fs_type;
  std::string source;       // device or image file; for FUSE whatever the daemon named
};

// One entry per well-formed line, in file order, octal escapes (\040) undone.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

struct MountLocation {
  const MountEntry* mount = nullptr;
  std::vector<std::string> components;  // below the file system's own root
};

// The mount that holds an absolute, canonical path (the longest mount point
// containing it; the later entry where mounts are stacked) and the path's
// components inside that file system.
std::optional<MountLocation> LocateInMounts(std::span<const MountEntry> mounts, std::string_view path);

}  // namespace velmora::platform
