// What a source holds when it is not an NTFS volume, in words for the user:
// another file system's signature, a partition table, zeros.
#pragma once

#include <string>
#include <string_view>

#include "source/byte_source.h"

namespace velmora::source {

// "an exFAT file system", "a partition table: 2 partitions (1, 2), NTFS on 2",
// "only zeros in its first sector", ...; "an NTFS boot sector" when the
// first sector is one (its geometry is for the volume reader to judge).
std::string DescribeContents(ByteSource& source);

inline constexpr std::string_view kNtfsBootSectorContents = "an NTFS boot sector";
inline constexpr std::string_view kPartitionTableContents = "a partition table";

}  // namespace velmora::source
