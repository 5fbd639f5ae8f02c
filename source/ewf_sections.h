// The section chain of an EWF (version 1) segment file, walked to tell
// whether the file ends its set: the last segment's chain ends in a "done"
// section, every other one's in "next". libewf opens a set that lacks its
// last segments and reads the chunks it never saw as if they were there.
#pragma once

#include <string>

#include "source/byte_source.h"

namespace velmora::source {

// File header of a segment, from the start of the file.
namespace ewf_header {
inline constexpr uint64_t kSize = 13;                 // signature (8), 1, segment number (2), 0
inline constexpr uint64_t kSegmentNumber = 9;         // u16
}  // namespace ewf_header

// Section descriptor, from its own start; offsets count from the file start.
namespace ewf_section {
inline constexpr uint64_t kType = 0;                  // 16 bytes of ASCII, NUL-padded
inline constexpr uint64_t kTypeLength = 16;
inline constexpr uint64_t kNextOffset = 16;           // u64: the next descriptor, or this one in the last
inline constexpr uint64_t kDescriptorSize = 76;
}  // namespace ewf_section

// A chain longer than this is refused (a segment holds a few sections per
// table of 16,384 chunks).
inline constexpr int kMaxEwfSections = 1 << 16;

enum class EwfSegmentEnd { kDone, kNext, kBroken };

// How the segment's section chain ends; kBroken when it cannot be walked.
EwfSegmentEnd WalkEwfSections(source::ByteSource& segment);

}  // namespace velmora::source
