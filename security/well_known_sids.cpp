#include "security/well_known_sids.h"

#include <array>
#include <initializer_list>
#include <string_view>

#include "security/sid.h"

namespace velmora::security {

namespace {

struct WellKnownSid {
  uint64_t authority;
  std::array<uint32_t, 6> sub{};
  uint8_t count = 0;
  std::u16string_view domain;
  std::u16string_view name;

  constexpr WellKnownSid(uint64_t a, std::initializer_list<uint32_t> s, std::u16string_view d, std::u16string_view n)
      : authority(a), domain(d), name(n) {
    for (uint32_t v : s) sub[count++] = v;
  }
};

constexpr std::u16string_view kNt = u"NT AUTHORITY";
constexpr std::u16string_view kBuiltin = u"BUILTIN";
constexpr std::u16string_view kNtService = u"NT SERVICE";
constexpr std::u16string_view kPackages = u"APPLICATION PACKAGE AUTHORITY";
constexpr std::u16string_view kLabel = u"Mandatory Label";

constexpr WellKnownSid kWellKnownSids[] = {
    {0, {0}, u"", u"NULL SID"},
    {1, {0}, u"", u"Everyone"},
    {2, {0}, u"", u"LOCAL"},
    {2, {1}, u"", u"CONSOLE LOGON"},
    {3, {0}, u"", u"CREATOR OWNER"},
    {3, {1}, u"", u"CREATOR GROUP"},
    {3, {2}, u"", u"CREATOR OWNER SERVER"},
    {3, {3}, u"", u"CREATOR GROUP SERVER"},
    {3, {4}, u"", u"OWNER RIGHTS"},
    {5, {1}, kNt, u"DIALUP"},
    {5, {2}, kNt, u"NETWORK"},
    {5, {3}, kNt, u"BATCH"},
    {5, {4}, kNt, u"INTERACTIVE"},
    {5, {6}, kNt, u"SERVICE"},
    {5, {7}, kNt, u"ANONYMOUS LOGON"},
    {5, {8}, kNt, u"PROXY"},
    {5, {9}, kNt, u"ENTERPRISE DOMAIN CONTROLLERS"},
    {5, {10}, kNt, u"SELF"},
    {5, {11}, kNt, u"Authenticated Users"},
    {5, {12}, kNt, u"RESTRICTED"},
    {5, {13}, kNt, u"TERMINAL SERVER USER"},
    {5, {14}, kNt, u"REMOTE INTERACTIVE LOGON"},
    {5, {15}, kNt, u"This Organization"},
    {5, {17}, kNt, u"IUSR"},
    {5, {18}, kNt, u"SYSTEM"},
    {5, {19}, kNt, u"LOCAL SERVICE"},
    {5, {20}, kNt, u"NETWORK SERVICE"},
    {5, {33}, kNt, u"WRITE RESTRICTED"},
    {5, {113}, kNt, u"Local account"},
    {5, {114}, kNt, u"Local account and member of Administrators group"},
    {5, {32, 544}, kBuiltin, u"Administrators"},
    {5, {32, 545}, kBuiltin, u"Users"},
    {5, {32, 546}, kBuiltin, u"Guests"},
    {5, {32, 547}, kBuiltin, u"Power Users"},
    {5, {32, 548}, kBuiltin, u"Account Operators"},
    {5, {32, 549}, kBuiltin, u"Server Operators"},
    {5, {32, 550}, kBuiltin, u"Print Operators"},
    {5, {32, 551}, kBuiltin, u"Backup Operators"},
    {5, {32, 552}, kBuiltin, u"Replicator"},
    {5, {32, 554}, kBuiltin, u"Pre-Windows 2000 Compatible Access"},
    {5, {32, 555}, kBuiltin, u"Remote Desktop Users"},
    {5, {32, 556}, kBuiltin, u"Network Configuration Operators"},
    {5, {32, 558}, kBuiltin, u"Performance Monitor Users"},
    {5, {32, 559}, kBuiltin, u"Performance Log Users"},
    {5, {32, 562}, kBuiltin, u"Distributed COM Users"},
    {5, {32, 568}, kBuiltin, u"IIS_IUSRS"},
    {5, {32, 569}, kBuiltin, u"Cryptographic Operators"},
    {5, {32, 573}, kBuiltin, u"Event Log Readers"},
    {5, {32, 578}, kBuiltin, u"Hyper-V Administrators"},
    {5, {32, 580}, kBuiltin, u"Remote Management Users"},
    {5, {80, 0}, kNtService, u"ALL SERVICES"},
    {5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}, kNtService, u"TrustedInstaller"},
    {15, {2, 1}, kPackages, u"ALL APPLICATION PACKAGES"},
    {15, {2, 2}, kPackages, u"ALL RESTRICTED APPLICATION PACKAGES"},
    {16, {0}, kLabel, u"Untrusted Mandatory Level"},
    {16, {4096}, kLabel, u"Low Mandatory Level"},
    {16, {8192}, kLabel, u"Medium Mandatory Level"},
    {16, {8448}, kLabel, u"Medium Plus Mandatory Level"},
    {16, {12288}, kLabel, u"High Mandatory Level"},
    {16, {16384}, kLabel, u"System Mandatory Level"},
    {16, {20480}, kLabel, u"Protected Process Mandatory Level"},
};

}  // namespace

platform::AccountLookup LookupWellKnownSid(std::span<const uint8_t> sid, uint32_t name_capacity, uint32_t domain_capacity) {
  platform::AccountLookup result;
  const auto view = SidView::At(sid, 0);
  if (!view) {
    result.error = platform::kErrorInvalidParameter;
    return result;
  }
  const uint64_t authority = view->authority();
  const uint8_t count = view->sub_authority_count();
  for (const WellKnownSid& known : kWellKnownSids) {
    if (known.authority != authority || known.count != count) continue;
    bool same = true;
    for (uint8_t i = 0; i < count && same; ++i) same = view->sub_authority(i) == known.sub[i];
    if (!same) continue;
    const auto name_needed = static_cast<uint32_t>(known.name.size() + 1);
    const auto domain_needed = static_cast<uint32_t>(known.domain.size() + 1);
    if (name_capacity < name_needed || domain_capacity < domain_needed) {
      result.error = platform::kErrorInsufficientBuffer;
      result.name_needed = name_needed;
      result.domain_needed = domain_needed;
      return result;
    }
    result.name = known.name;
    result.domain = known.domain;
    return result;
  }
  result.error = platform::kErrorNoneMapped;
  return result;
}

}  // namespace velmora::security
