/* A test-only pdh.dll: serves the processor-time counter from a file beside the DLL, so a test
 * can make the machine look busy or idle, or the counter fail. The file, counter.txt, read afresh
 * at every collection, holds either the value to serve (a decimal number) or a status for the
 * collection to fail with (0x followed by hexadecimal digits). Never shipped: the production
 * executable uses the platform's pdh.dll. */
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
static double Value; /* the last value read from counter.txt */
static HMODULE Self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        Self = instance;
    }
    return TRUE;
}

/* Reads counter.txt: the value to serve, or the status to fail with (0 when it holds a value). */
static DWORD ReadScript(void) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(Self, path, sizeof path);
    while (length > 0 && path[length - 1] != '\\') {
        --length;
    }
    path[length] = '\0';
    strncat(path, "counter.txt", sizeof path - strlen(path) - 1);
    char text[64] = "";
    FILE* file = fopen(path, "r");
    if (file != NULL) {
        if (fgets(text, sizeof text, file) == NULL) {
            text[0] = '\0';
        }
        fclose(file);
    }
    if (strncmp(text, "0x", 2) == 0) {
        return (DWORD)strtoul(text, NULL, 16);
    }
    Value = strtod(text, NULL);
    return 0;
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
    const DWORD status = ReadScript();
    if (status != 0) {
        return (LONG)status;
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
    value->doubleValue = Value;
    return 0;
}
