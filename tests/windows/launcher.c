/* Starts a program detached from the caller's console and pipes, at normal priority and with
 * the affinity mask given, and prints its process identifier.
 * usage: launcher MASK PROGRAM */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: launcher MASK PROGRAM\n");
        return 2;
    }
    const DWORD_PTR mask = (DWORD_PTR)strtoull(argv[1], NULL, 0);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    /* No handles at all: the test reading our output must not wait for this process. */
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(argv[2], NULL, NULL, NULL, FALSE,
                        CREATE_SUSPENDED | DETACHED_PROCESS | NORMAL_PRIORITY_CLASS, NULL, NULL,
                        &startup, &process)) {
        fprintf(stderr, "launcher: CreateProcess failed: %lu\n", GetLastError());
        return 1;
    }
    if (!SetProcessAffinityMask(process.hProcess, mask)) {
        fprintf(stderr, "launcher: SetProcessAffinityMask failed: %lu\n", GetLastError());
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    ResumeThread(process.hThread);
    printf("%lu\n", process.dwProcessId);
    return 0;
}
