/* A test-only pdh.dll: serves the processor-time counter from a file beside the DLL, so a test
 * can make the machine look busy or idle. The file, counter.txt, holds one number, read afresh
 * at every formatted read. Never shipped: the production executable uses the platform's pdh.dll.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define PDH_INVALID_HANDLE 0xC0000BBCu
#define PDH_INVALID_DATA 0xC0000BC6u
#define PDH_NO_DATA 0x800007D5u
#define PDH_CSTATUS_INVALID_DATA 0xC0000BBAu

typedef struct {
    DWORD CStatus;
    union {
        LONG longValue;
        double doubleValue;
        LONGLONG largeValue;
    };
} CounterValue;

static int QueryToken;
static int CounterToken;
static int Collections;
static HMODULE Self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        Self = instance;
    }
    return TRUE;
}

static double ScriptedValue(void) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(Self, path, sizeof path);
    while (length > 0 && path[length - 1] != '\\') {
        --length;
    }
    path[length] = '\0';
    strncat(path, "counter.txt", sizeof path - strlen(path) - 1);
    double value = 0.0;
    FILE* file = fopen(path, "r");
    if (file != NULL) {
        if (fscanf(file, "%lf", &value) != 1) {
            value = 0.0;
        }
        fclose(file);
    }
    return value;
}

LONG WINAPI PdhOpenQueryA(LPCSTR source, DWORD_PTR user, HANDLE* query) {
    (void)source;
    (void)user;
    *query = &QueryToken;
    return 0;
}

LONG WINAPI PdhAddCounterA(HANDLE query, LPCSTR path, DWORD_PTR user, HANDLE* counter) {
    (void)user;
    if (query != &QueryToken) {
        return (LONG)PDH_INVALID_HANDLE;
    }
    if (strcmp(path, "\\Processor(_Total)\\% Processor Time") != 0) {
        return (LONG)0xC0000BC0u; /* PDH_CSTATUS_BAD_COUNTERNAME */
    }
    *counter = &CounterToken;
    return 0;
}

LONG WINAPI PdhCollectQueryData(HANDLE query) {
    if (query != &QueryToken) {
        return (LONG)PDH_INVALID_HANDLE;
    }
    ++Collections;
    return 0;
}

LONG WINAPI PdhGetFormattedCounterValue(HANDLE counter, DWORD format, LPDWORD type,
                                        CounterValue* value) {
    (void)format;
    if (counter != &CounterToken) {
        return (LONG)PDH_INVALID_HANDLE;
    }
    if (type != NULL) {
        *type = 0;
    }
    if (Collections < 2) {
        value->CStatus = PDH_CSTATUS_INVALID_DATA;
        return (LONG)PDH_INVALID_DATA;
    }
    value->CStatus = 0;
    value->doubleValue = ScriptedValue();
    return 0;
}
