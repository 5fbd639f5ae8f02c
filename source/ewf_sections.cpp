#include "source/ewf_sections.h"

#include <array>
#include <cstring>

#include "base/bytes.h"

namespace velmora::source {

EwfSegmentEnd WalkEwfSections(source::ByteSource& segment) {
  const uint64_t size = segment.Size().value_or(0);
  uint64_t at = ewf_header::kSize;
  for (int step = 0; step < kMaxEwfSections; ++step) {
    std::array<uint8_t, ewf_section::kDescriptorSize> descriptor{};
    if (at > size || size - at < descriptor.size() || !segment.ReadAt(at, descriptor)) return EwfSegmentEnd::kBroken;
    const LeBytes bytes(descriptor);
    const uint64_t next = bytes.U64(ewf_section::kNextOffset);
    if (next == at) {
      const char* type = reinterpret_cast<const char*>(descriptor.data() + ewf_section::kType);
      if (std::strncmp(type, "done", ewf_section::kTypeLength) == 0) return EwfSegmentEnd::kDone;
      if (std::strncmp(type, "next", ewf_section::kTypeLength) == 0) return EwfSegmentEnd::kNext;
      return EwfSegmentEnd::kBroken;
    }
    if (next < at + ewf_section::kDescriptorSize) return EwfSegmentEnd::kBroken;  // backwards or overlapping
    at = next;
  }
  return EwfSegmentEnd::kBroken;
}

}  // namespace velmora::source
