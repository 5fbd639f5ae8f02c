// What the damage campaigns share: how many of their damages a build runs.
#pragma once

#include <cstdint>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_CAMPAIGN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_CAMPAIGN_SANITIZED 1
#endif
#endif

namespace velmora::testing {

#ifdef VELMORA_CAMPAIGN_SANITIZED
inline constexpr bool kCampaignSanitized = true;
#else
inline constexpr bool kCampaignSanitized = false;
#endif

// Every Nth damage runs: VELMORA_CAMPAIGN_STRIDE when set (1: all of them),
// otherwise the campaign's own choice for a plain or a sanitized build
// (several times slower, so it samples).
inline uint64_t CampaignStride(uint64_t plain, uint64_t sanitized) {
  if (const char* text = std::getenv("VELMORA_CAMPAIGN_STRIDE")) {
    const uint64_t stride = std::strtoull(text, nullptr, 10);
    if (stride > 0) return stride;
  }
  return kCampaignSanitized ? sanitized : plain;
}

}  // namespace velmora::testing
