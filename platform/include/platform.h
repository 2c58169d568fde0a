// The one header through which the system reaches the operating system. On Windows it is the
// platform's own API; elsewhere the same subset, by the same names, is declared by us and
// provided by whichever platform library the binary is linked with.
#pragma once

#ifdef _WIN32
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
