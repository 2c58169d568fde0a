/* A test-only pdh.dll: serves the processor-time counter from a file beside the DLL, so a test
 * can make the machine look busy or idle, or the counter fail. The file, counter.txt, read afresh
 * at every collection, holds either the value to serve (a decimal number) or a status for the
 * collection to fail with (0x followed by hexadecimal digits). A file language.txt holding "de"
 * makes it a German Windows: the localized add then knows the counter by its German path only,
 * while the English add knows the English path on any language, as on Windows. Never shipped: the
 * production executable uses the platform's pdh.dll. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define PDH_INVALID_HANDLE 0xC0000BBCu
#define PDH_INVALID_DATA 0xC0000BC6u
#define PDH_NO_DATA 0x800007D5u
#define PDH_CSTATUS_INVALID_DATA 0xC0000BBAu
#define PDH_CSTATUS_NO_OBJECT 0xC0000BB8u

static const char EnglishPath[] = "\\Processor(_Total)\\% Processor Time";
static const char GermanPath[] = "\\Prozessor(_Total)\\Prozessorzeit (%)";

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

/* Reads the first line of a file beside the DLL into text; an empty text when there is none. */
static void ReadBeside(const char* name, char* text, int size) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(Self, path, sizeof path);
    while (length > 0 && path[length - 1] != '\\') {
        --length;
    }
    path[length] = '\0';
    strncat(path, name, sizeof path - strlen(path) - 1);
    text[0] = '\0';
    FILE* file = fopen(path, "r");
    if (file != NULL) {
        if (fgets(text, size, file) == NULL) {
            text[0] = '\0';
        }
        fclose(file);
    }
}

/* Reads counter.txt: the value to serve, or the status to fail with (0 when it holds a value). */
static DWORD ReadScript(void) {
    char text[64];
    ReadBeside("counter.txt", text, sizeof text);
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

static LONG AddCounter(HANDLE query, LPCSTR path, const char* known, HANDLE* counter) {
    if (query != &QueryToken) {
        return (LONG)PDH_INVALID_HANDLE;
    }
    if (strcmp(path, known) != 0) {
        return (LONG)PDH_CSTATUS_NO_OBJECT;
    }
    *counter = &CounterToken;
    return 0;
}

LONG WINAPI PdhAddCounterA(HANDLE query, LPCSTR path, DWORD_PTR user, HANDLE* counter) {
    (void)user;
    char language[8];
    ReadBeside("language.txt", language, sizeof language);
    const int german = strncmp(language, "de", 2) == 0;
    return AddCounter(query, path, german ? GermanPath : EnglishPath, counter);
}

LONG WINAPI PdhAddEnglishCounterA(HANDLE query, LPCSTR path, DWORD_PTR user, HANDLE* counter) {
    (void)user;
    return AddCounter(query, path, EnglishPath, counter);
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
