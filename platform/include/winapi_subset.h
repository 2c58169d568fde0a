// The part of the Windows API that the system uses, declared for platforms that lack it. Types,
// constants and status codes carry the platform's own values; functions keep its names,
// argument order and failure conventions. Definitions come from a platform library chosen at
// link time: the Linux rendition or the test double.
#pragma once

#include <cstdint>
#include <ctime>

#define WINAPI

typedef int BOOL;
typedef BOOL* PBOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef std::uint32_t DWORD;
typedef std::uint32_t ULONG;
typedef std::int32_t LONG;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::uintptr_t DWORD_PTR;
typedef void* HANDLE;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const wchar_t* LPCWSTR;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef DWORD_PTR* PDWORD_PTR;
typedef void* LPVOID;
typedef void* PSID;

// A time in 100-nanosecond intervals since 1601-01-01 (UTC), in two halves.
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define MAXDWORD 0xffffffffu

// Win32 error codes (GetLastError).
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_PARTIAL_COPY 299L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_SPECIFIC_ERROR 1066L

// Process access rights. A handle granted PROCESS_QUERY_INFORMATION is granted
// PROCESS_QUERY_LIMITED_INFORMATION too.
#define PROCESS_SET_INFORMATION 0x0200
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000

// Power throttling of a process (ProcessPowerThrottling): a bit set in ControlMask takes that
// mechanism out of the system's own choice, and the same bit in StateMask turns it on, clear off.
#define PROCESS_POWER_THROTTLING_CURRENT_VERSION 1
#define PROCESS_POWER_THROTTLING_EXECUTION_SPEED 0x1
#define PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION 0x4
typedef struct _PROCESS_POWER_THROTTLING_STATE {
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
} PROCESS_POWER_THROTTLING_STATE, *PPROCESS_POWER_THROTTLING_STATE;

// Priority classes.
#define IDLE_PRIORITY_CLASS 0x00000040
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000
#define NORMAL_PRIORITY_CLASS 0x00000020
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000
#define HIGH_PRIORITY_CLASS 0x00000080
#define REALTIME_PRIORITY_CLASS 0x00000100

extern "C" {

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
void WINAPI Sleep(DWORD milliseconds);
// The system's text for an error code (FORMAT_MESSAGE_FROM_SYSTEM, with IGNORE_INSERTS); returns
// its length without the terminating zero, or 0 on failure.
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
DWORD WINAPI FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, void* arguments);
BOOL WINAPI CloseHandle(HANDLE object);
// The pseudo handle of the calling process, which needs no closing.
HANDLE WINAPI GetCurrentProcess(void);
// Whether a process is a 32-bit one under WOW64 on 64-bit Windows.
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process);
// The machine as the platform itself sees it, unfiltered by WOW64. Of its fields the system reads
// only the number of logical processors, which counts those of the caller's processor group.
typedef struct _SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;
void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO systemInfo);
// Whether a byte is the first of a two-byte character in the ANSI code page.
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);

// When the process was created, and its times; a process that has not exited has no exit time.
BOOL WINAPI GetProcessTimes(HANDLE process, LPFILETIME creationTime, LPFILETIME exitTime,
                            LPFILETIME kernelTime, LPFILETIME userTime);

// Process status.
BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, LPDWORD bytesReturned);
HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
// The path of the process's executable; flags 0 ask for the Win32 form. On input *size is the
// buffer's size in characters, on success the path's length without its terminating zero; a buffer
// too small fails with ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI QueryFullProcessImageNameA(HANDLE process, DWORD flags, LPSTR exeName, PDWORD size);
DWORD WINAPI GetPriorityClass(HANDLE process);
BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priorityClass);
BOOL WINAPI GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask);
BOOL WINAPI SetProcessAffinityMask(HANDLE process, DWORD_PTR processMask);
// The processor groups that the process's threads are in. On input *groupCount is the array's
// length; an array too short fails with ERROR_INSUFFICIENT_BUFFER and the count needed.
BOOL WINAPI GetProcessGroupAffinity(HANDLE process, PUSHORT groupCount, PUSHORT groupArray);

// Process information: the classes in the platform's order, of which the system sets one.
typedef enum _PROCESS_INFORMATION_CLASS {
    ProcessMemoryPriority,
    ProcessMemoryExhaustionInfo,
    ProcessAppMemoryInfo,
    ProcessInPrivateInfo,
    ProcessPowerThrottling,
} PROCESS_INFORMATION_CLASS;
BOOL WINAPI SetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS informationClass,
                                  LPVOID information, DWORD size);

// C runtime: 64-bit calendar time and its local broken-down form. The result of
// _localtime64 lives in storage of the runtime's and is overwritten by the next call.
typedef std::int64_t __time64_t;
__time64_t _time64(__time64_t* destination);
struct tm* _localtime64(const __time64_t* time);

} // extern "C"

// Performance Data Helper.
typedef LONG PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;

#define PDH_CSTATUS_VALID_DATA ((DWORD)0x00000000)
#define PDH_CSTATUS_NEW_DATA ((DWORD)0x00000001)
#define PDH_CSTATUS_NO_INSTANCE ((DWORD)0x800007D1)
#define PDH_NO_DATA ((DWORD)0x800007D5)
#define PDH_CALC_NEGATIVE_DENOMINATOR ((DWORD)0x800007D6)
#define PDH_CSTATUS_NO_OBJECT ((DWORD)0xC0000BB8)
#define PDH_CSTATUS_NO_COUNTER ((DWORD)0xC0000BB9)
#define PDH_CSTATUS_INVALID_DATA ((DWORD)0xC0000BBA)
#define PDH_MEMORY_ALLOCATION_FAILURE ((DWORD)0xC0000BBB)
#define PDH_INVALID_HANDLE ((DWORD)0xC0000BBC)
#define PDH_INVALID_ARGUMENT ((DWORD)0xC0000BBD)
#define PDH_CSTATUS_BAD_COUNTERNAME ((DWORD)0xC0000BC0)
#define PDH_INVALID_PATH ((DWORD)0xC0000BC4)
#define PDH_INVALID_DATA ((DWORD)0xC0000BC6)

#define PDH_FMT_LONG ((DWORD)0x00000100)
#define PDH_FMT_DOUBLE ((DWORD)0x00000200)
#define PDH_FMT_LARGE ((DWORD)0x00000400)
#define PDH_FMT_NOCAP100 ((DWORD)0x00008000)

typedef struct _PDH_FMT_COUNTERVALUE {
    DWORD CStatus;
    union {
        LONG longValue;
        double doubleValue;
        LONGLONG largeValue;
        LPCSTR AnsiStringValue;
        LPCWSTR WideStringValue;
    };
} PDH_FMT_COUNTERVALUE, *PPDH_FMT_COUNTERVALUE;

extern "C" {
PDH_STATUS WINAPI PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR userData, PDH_HQUERY* query);
PDH_STATUS WINAPI PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR userData,
                                 PDH_HCOUNTER* counter);
// Takes the counter path in English whatever the display language; PdhAddCounterA reads it in
// the display language.
PDH_STATUS WINAPI PdhAddEnglishCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR userData,
                                        PDH_HCOUNTER* counter);
PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY query);
PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                              PPDH_FMT_COUNTERVALUE value);
} // extern "C"

// Service Control Manager.
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005

typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD control);

typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA;

extern "C" {
BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR serviceName,
                                                         LPHANDLER_FUNCTION handler);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status);
} // extern "C"

// Event log.
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

extern "C" {
HANDLE WINAPI RegisterEventSourceA(LPCSTR uncServerName, LPCSTR sourceName);
BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID rawData);
BOOL WINAPI DeregisterEventSource(HANDLE eventLog);
} // extern "C"
