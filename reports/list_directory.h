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
// $FILE_NAME are passed over. Always returns 1, so it never ends the walk.
// The sequence number goes into the JSON reference only: the text shows the
// record number.
int ListingVisitor(ReportContext& context, std::span<const uint8_t> key, uint32_t record_low,
                   uint32_t record_high, uint32_t& counter, uint16_t sequence = 0);

}  // namespace velmora
