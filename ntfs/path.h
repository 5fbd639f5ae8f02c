// From a path as the user typed it to the target's file reference, by
// walking the directory indexes on disk from the root down.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/types.h"
#include "base/error.h"

namespace velmora {

class VolumeContext;
class UpcaseTable;
namespace platform {
class Platform;
}

enum class PathForm { kRejected = 0, kPrefixedDrive = 1, kDrive = 2 };

// "\\?\X:..." (longer than 6 units) or "X:..." (longer than 2 units).
PathForm ClassifyPath(std::u16string_view path);

// Splits at backslashes; a doubled backslash counts as one separator and
// leaves its first backslash at the end of the component before it.
void SplitPathComponents(std::u16string_view text, std::vector<std::u16string>& components);

// The drive letter of a drive path, or 0.
char16_t DriveLetterOf(std::u16string_view path);

// A path whose last component may name one of the file's $DATA streams:
// "file:name" and "file:name:$DATA" the named stream, "file::$DATA" the
// unnamed one (the type is matched without regard to case).
struct StreamPath {
  std::u16string file;    // the path with the stream part taken off
  std::u16string stream;  // empty: the unnamed $DATA
};
// Splits the stream part off the last component. Only a colon past the
// drive part ("C:", "\\?\C:") and the last separator counts, so a path
// without one is returned whole. Refused, with the reason: an empty stream
// name without a type, a type other than $DATA, more than two colons, a
// stream name longer than a name may be.
Expected<StreamPath> SplitStreamPath(std::u16string_view path);

// The name sought by one directory lookup, and what the walk found.
struct NameQuery {
  bool found = false;
  std::u16string name;
  FileReference file;  // of the entry found
};

// The index visitor of a lookup: stops at the entry whose name equals the
// sought one through the upcase table, whatever its namespace.
Walk MatchFileName(std::span<const uint8_t> key, FileReference file, NameQuery& query, const UpcaseTable& upcase);
// The comparator: the order in which the volume keeps $I30 entries (units
// compared after upper-casing, a shorter name before a longer one it begins).
std::strong_ordering CompareFileName(std::span<const uint8_t> key, const NameQuery& query, const UpcaseTable& upcase);

// The entry of that name in the directory's $I30 index, sequence number 0;
// on failure, "not found" (no place) or why the index could not be read
// (placed in the index).
Expected<FileReference> FindChild(std::u16string_view name, VolumeContext& volume, FileReference directory);
// The same, 0 when absent or unreadable.
FileReference LookupChild(std::u16string_view name, VolumeContext& volume, FileReference directory);

// Opens the path's volume into volume (empty on entry; the caller closes
// it) and returns the target's reference; on failure, why: the path is
// drive-relative ("C:name", refused before anything is opened), does not
// exist, the volume cannot be opened or is not NTFS, or which component was
// not found in which directory. "/" separates components as "\" does.
Expected<FileReference> ResolvePath(std::u16string_view path, VolumeContext& volume, platform::Platform& platform);
// The same, 0 when not found (and for \$MFT, which is record 0).
FileReference PathResolver(std::u16string_view path, VolumeContext& volume, platform::Platform& platform);

}  // namespace velmora
