/* A custom action of the Windows package, never installed: it runs inside msiexec, deferred and as
 * LocalSystem, after InstallServices, when the service is installed or reinstalled. Windows
 * Installer may create the service with the path of its exe as it stands, unquoted, and
 * C:\Program Files\Ostrevane\... has a space: an "unquoted service path" (CWE-428), which the
 * service manager could resolve to C:\Program.exe, and which fleet scanners report. Where the
 * stored path is not quoted, this stores it quoted through the service manager, as sc.exe config
 * would (Wine's sc.exe has no config); where it is, it leaves it alone. The exe's path comes in
 * CustomActionData, the one property a deferred action may read.
 * An unquoted path is a finding, not a broken service: the service runs from it. So nothing here
 * fails the install; what was done, or the Windows error that stopped it, goes to the MSI log.
 *   QuoteServicePath(install)   ERROR_SUCCESS, always */
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

static const WCHAR ServiceName[] = L"Ostrevane";

/* TEXT with each bracket written as the formatter's escape of one character, [\[] or [\]] (the
 * Formatted data type's page): a log line's record is formatted as MsiFormatRecord does, whose page
 * says the fields are substituted first and "the resulting string" then formatted for properties,
 * so "[Name]" in a path would be logged as that property's value. Wine's msi.dll does so too.
 * NULL where there is no memory; freed with HeapFree. */
static WCHAR* EscapeBrackets(const WCHAR* text) {
    size_t length = 0;
    size_t brackets = 0;
    for (const WCHAR* c = text; *c != L'\0'; ++c, ++length) {
        brackets += *c == L'[' || *c == L']';
    }
    WCHAR* escaped = HeapAlloc(GetProcessHeap(), 0, (length + 3 * brackets + 1) * sizeof(WCHAR));
    if (escaped == NULL) {
        return NULL;
    }
    WCHAR* out = escaped;
    for (const WCHAR* c = text; *c != L'\0'; ++c) {
        if (*c == L'[' || *c == L']') {
            *out++ = L'[';
            *out++ = L'\\';
            *out++ = *c;
            *out++ = L']';
        } else {
            *out++ = *c;
        }
    }
    *out = L'\0';
    return escaped;
}

/* One line in the MSI log. TEMPLATE holds no text from outside; TEXT goes in as field 1, with its
 * brackets escaped, so that it is logged as it is. */
static void Say(MSIHANDLE install, const WCHAR* template, const WCHAR* text, UINT error) {
    MSIHANDLE record = MsiCreateRecord(2);
    if (record == 0) {
        return;
    }
    WCHAR* escaped = EscapeBrackets(text);
    MsiRecordSetStringW(record, 0, template);
    MsiRecordSetStringW(record, 1, escaped != NULL ? escaped : L"(not enough memory to log it)");
    MsiRecordSetInteger(record, 2, (int)error);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
    if (escaped != NULL) {
        HeapFree(GetProcessHeap(), 0, escaped);
    }
}

static void SayFailure(MSIHANDLE install, const WCHAR* call, UINT error) {
    Say(install,
        L"QuoteServicePath: [1] failed with Windows error [2]. The service's path is left as it "
        L"stands and the service runs from it; \"sc.exe qc Ostrevane\" shows whether "
        L"BINARY_PATH_NAME is quoted.",
        call, error);
}

/* The service's stored path, or NULL with the failing call named in *call and its error in
 * *error. Freed with HeapFree. */
static QUERY_SERVICE_CONFIGW* StoredConfig(SC_HANDLE service, const WCHAR** call, UINT* error) {
    DWORD size = 0;
    if (QueryServiceConfigW(service, NULL, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        *call = L"QueryServiceConfigW";
        *error = GetLastError();
        return NULL;
    }
    QUERY_SERVICE_CONFIGW* config = HeapAlloc(GetProcessHeap(), 0, size);
    if (config == NULL) {
        *call = L"HeapAlloc";
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    if (!QueryServiceConfigW(service, config, size, &size)) {
        *call = L"QueryServiceConfigW";
        *error = GetLastError();
        HeapFree(GetProcessHeap(), 0, config);
        return NULL;
    }
    return config;
}

/* Stores QUOTED as the service's path where the stored one is not quoted, and says what it did or
 * why it could not. */
static void Quote(MSIHANDLE install, const WCHAR* quoted) {
    const WCHAR* call = L"OpenSCManagerW";
    UINT error = ERROR_SUCCESS;
    SC_HANDLE service = NULL;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        error = GetLastError();
    } else {
        call = L"OpenServiceW";
        service = OpenServiceW(manager, ServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
        if (service == NULL) {
            error = GetLastError();
        }
    }
    QUERY_SERVICE_CONFIGW* config = service != NULL ? StoredConfig(service, &call, &error) : NULL;
    if (config != NULL) {
        const WCHAR* stored = config->lpBinaryPathName != NULL ? config->lpBinaryPathName : L"";
        if (stored[0] == L'"') {
            Say(install, L"QuoteServicePath: the service's path is quoted already: [1]", stored, 0);
        } else if (ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                        SERVICE_NO_CHANGE, quoted, NULL, NULL, NULL, NULL, NULL,
                                        NULL)) {
            Say(install, L"QuoteServicePath: stored the service's path quoted: [1]", quoted, 0);
        } else {
            call = L"ChangeServiceConfigW";
            error = GetLastError();
        }
        HeapFree(GetProcessHeap(), 0, config);
    }
    if (error != ERROR_SUCCESS) {
        SayFailure(install, call, error);
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    if (manager != NULL) {
        CloseServiceHandle(manager);
    }
}

UINT __stdcall QuoteServicePath(MSIHANDLE install) {
    /* The path, between quotes: its length first, then the path one character in. */
    WCHAR probe[1] = L"";
    DWORD length = 0;
    UINT error = MsiGetPropertyW(install, L"CustomActionData", probe, &length);
    /* An empty value is a success (or, with no room even for its zero, more data) of length 0:
       no path was handed on, which is invalid data, not the call's own failure. Any other error
       is the call's, whatever it left in the length. */
    if (error != ERROR_MORE_DATA || length == 0) {
        SayFailure(install, L"MsiGetPropertyW(CustomActionData)",
                   error == ERROR_SUCCESS || error == ERROR_MORE_DATA ? ERROR_INVALID_DATA : error);
        return ERROR_SUCCESS;
    }
    WCHAR* quoted = HeapAlloc(GetProcessHeap(), 0, (length + 3) * sizeof(WCHAR));
    if (quoted == NULL) {
        SayFailure(install, L"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_SUCCESS;
    }
    DWORD size = length + 1;
    error = MsiGetPropertyW(install, L"CustomActionData", quoted + 1, &size);
    if (error != ERROR_SUCCESS || size != length) {
        SayFailure(install, L"MsiGetPropertyW(CustomActionData)",
                   error == ERROR_SUCCESS ? ERROR_INVALID_DATA : error);
    } else {
        quoted[0] = L'"';
        quoted[length + 1] = L'"';
        quoted[length + 2] = L'\0';
        Quote(install, quoted);
    }
    HeapFree(GetProcessHeap(), 0, quoted);
    return ERROR_SUCCESS;
}
