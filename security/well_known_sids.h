// Account names for SIDs where the system keeps no Windows account database.
//
// The SIDs every Windows system knows by the same name (Everyone, SYSTEM,
// BUILTIN\Administrators, TrustedInstaller, the mandatory labels ...) are
// answered with the domain and account names Windows gives them; any other
// SID, such as a domain or local user, is not mapped.
#pragma once

#include <cstdint>
#include <span>

#include "platform/platform.h"

namespace velmora::security {

// LookupAccountSidW's contract over the built-in table: success with both
// names; kErrorInsufficientBuffer with the capacities needed when either
// name and its terminator do not fit; kErrorNoneMapped with empty names for
// a SID not in the table; kErrorInvalidParameter for bytes that are not a
// valid SID (revision 1, at most 15 sub-authorities, all of them present).
platform::AccountLookup LookupWellKnownSid(std::span<const uint8_t> sid, uint32_t name_capacity, uint32_t domain_capacity);

}  // namespace velmora::security
