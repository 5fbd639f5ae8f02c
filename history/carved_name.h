// A $FILE_NAME value found where nothing in use points to it (index slack,
// a record's bytes past its used size): decoded only once it reads as one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "ntfs/mft_scan.h"
#include "ntfs/types.h"

namespace velmora {

// The directory bit of a $FILE_NAME's flags.
inline constexpr uint32_t kFileNameDirectoryFlag = 0x10000000;

struct CarvedName {
  FileReference parent;  // with its sequence number
  FileTimes times;       // this $FILE_NAME's own
  uint64_t allocated_size = 0;
  uint64_t real_size = 0;
  uint32_t flags = 0;    // file attribute flags; 0x10000000 a directory
  uint8_t name_space = 0;
  std::u16string name;
};

// FILETIMEs accepted as a time a file system wrote: 1980-01-01 up to
// 2108-01-01 UTC (the span of the FAT times files are copied from, and far
// past any clock today). Random bytes land in it with about 0.2% odds a
// field, so four times in range is strong evidence on its own.
inline constexpr uint64_t kPlausibleTimeFirst = 119'600'064'000'000'000;
inline constexpr uint64_t kPlausibleTimeEnd = 160'000'000'000'000'000;

// The $FILE_NAME value of `length` bytes at `offset` of bytes, when it
// holds together: the name (1 to 255 UTF-16 units, no NUL, no '/') inside
// the value, a known namespace, every time plausible, an allocated size
// that is a whole number of 8-byte units and a real size under 2^60.
// Nothing here asks what the parent is: the callers know.
std::optional<CarvedName> ReadCarvedFileName(LeBytes bytes, uint64_t offset, uint64_t length);
// Whether ReadCarvedFileName would take it, without decoding anything: for
// a carver that drops most of what it finds (copies of live entries).
bool CarvedFileNameHolds(LeBytes bytes, uint64_t offset, uint64_t length);

}  // namespace velmora
