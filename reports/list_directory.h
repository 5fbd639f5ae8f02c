// The -l listing's per-entry visitor, exposed for tests and benchmarks.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "reports/reports.h"

namespace velmora {

// Shown in the access time column when the platform cannot convert the
// FILETIME; as wide as a converted time with a four-digit year, so the
// columns stay aligned.
inline constexpr std::string_view kUnconvertibleTimeText = "(invalid time)   ";

// One listed $I30 entry, as read from its $FILE_NAME key.
struct ListingEntry {
  FileReference reference;
  uint64_t access_time;  // FILETIME
  bool directory;
  uint8_t name_space;
  std::u16string name;   // up to an embedded NUL
};

// Prints one listing line for a $I30 entry whose key is a $FILE_NAME value
// and counts it; separate DOS (8.3) names and keys too short to hold a
// $FILE_NAME are passed over. Never ends the walk. The entry's reference
// goes whole (sequence number included) into the JSON line; the text shows
// the record number.
Walk ListingVisitor(ReportContext& context, std::span<const uint8_t> key, FileReference file, uint32_t& counter);

}  // namespace velmora
