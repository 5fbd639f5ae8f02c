// The Win32 headers the Windows platform uses, without the macros that
// would rename the platform's own methods: with UNICODE, <shlwapi.h> makes
// PathIsDirectory mean PathIsDirectoryW, <winbase.h> LookupAccountSid
// LookupAccountSidW and <fileapi.h> CreateDirectory CreateDirectoryW. The
// W functions are called by their own names.
#pragma once

#include <windows.h>
#include <shlwapi.h>
#include <winioctl.h>

#undef PathIsDirectory
#undef LookupAccountSid
#undef CreateDirectory
