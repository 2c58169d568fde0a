/* Prints another process's priority class and affinity masks.
 * usage: probe PID */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: probe PID\n");
        return 2;
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
