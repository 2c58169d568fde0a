// The one header through which the system reaches the operating system. On Windows it is the
// platform's own API; elsewhere the same subset, by the same names, is declared by us and
// provided by whichever platform library the binary is linked with.
#pragma once

#ifdef _WIN32
// The oldest Windows the exes run on: Windows 8 and Server 2012 brought SetProcessInformation.
// Declaring it keeps the headers from offering anything newer.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h first, in a block of its own: the others depend on its types.
#include <windows.h>

#include <pdh.h>
#include <pdhmsg.h>
#include <psapi.h>
#include <time.h>
#else
#include "winapi_subset.h"
#endif
