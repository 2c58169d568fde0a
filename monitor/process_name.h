// The name by which the policy knows a process: its image's file name.
#pragma once

#include "platform.h"

// Fills name (MAX_PATH bytes) with the file name of the process's image: what follows the last
// backslash character of its path in the ANSI code page. Leaves it alone when the path cannot be
// read or does not fit, or the file name does not fit. Control characters become '?'.
void NameProcess(HANDLE process, char* name);
