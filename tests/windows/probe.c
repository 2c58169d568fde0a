/* Prints another process's priority class and affinity masks; the logical processors of this
 * process's group as the machine natively has them, which WOW64 does not fold into 32; or the
 * ANSI code page.
 * usage: probe PID | probe processors | probe acp */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: probe PID | probe processors | probe acp\n");
        return 2;
    }
    if (strcmp(argv[1], "processors") == 0) {
        SYSTEM_INFO native;
        GetNativeSystemInfo(&native);
        printf("%lu\n", native.dwNumberOfProcessors);
        return 0;
    }
    if (strcmp(argv[1], "acp") == 0) {
        printf("%u\n", GetACP());
        return 0;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, strtoul(argv[1], NULL, 0));
    if (process == NULL) {
        fprintf(stderr, "probe: OpenProcess failed: %lu\n", GetLastError());
        return 1;
    }
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    const DWORD priorityClass = GetPriorityClass(process);
    if (priorityClass == 0 || !GetProcessAffinityMask(process, &processMask, &systemMask)) {
        fprintf(stderr, "probe: query failed: %lu\n", GetLastError());
        return 1;
    }
    /* unsigned long is 32 bits on Windows; a 64-bit mask needs long long. */
    printf("priority=0x%lx process=0x%llx system=0x%llx\n", priorityClass,
           (unsigned long long)processMask, (unsigned long long)systemMask);
    CloseHandle(process);
    return 0;
}
