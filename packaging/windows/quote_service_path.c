/* A custom action of the Windows package, never installed: it runs inside msiexec, deferred and as
 * LocalSystem, after InstallServices, on install and on repair. Windows Installer creates the
 * service with the path of its exe as it stands, unquoted, and C:\Program Files\Ostrevane\... has
 * a space: an "unquoted service path" (CWE-428), which the service manager could resolve to
 * C:\Program.exe, and which fleet scanners report. This stores the path quoted, through the
 * service manager, as sc.exe config would (Wine's sc.exe has no config). The exe's path comes in
 * CustomActionData, the one property a deferred action may read.
 *   QuoteServicePath(install)   ERROR_SUCCESS, or ERROR_INSTALL_FAILURE, which fails the install */
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

static const WCHAR ServiceName[] = L"Ostrevane";

UINT __stdcall QuoteServicePath(MSIHANDLE install) {
    /* The path, between quotes: its length first, then the path one character in. */
    WCHAR probe[1] = L"";
    DWORD length = 0;
    if (MsiGetPropertyW(install, L"CustomActionData", probe, &length) != ERROR_MORE_DATA ||
        length == 0) {
        return ERROR_INSTALL_FAILURE;
    }
    WCHAR* quoted = HeapAlloc(GetProcessHeap(), 0, (length + 3) * sizeof(WCHAR));
    if (quoted == NULL) {
        return ERROR_INSTALL_FAILURE;
    }
    DWORD size = length + 1;
    UINT result = ERROR_INSTALL_FAILURE;
    if (MsiGetPropertyW(install, L"CustomActionData", quoted + 1, &size) == ERROR_SUCCESS &&
        size == length && quoted[1] != L'"') {
        quoted[0] = L'"';
        quoted[length + 1] = L'"';
        quoted[length + 2] = L'\0';
        SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
        SC_HANDLE service =
            manager != NULL ? OpenServiceW(manager, ServiceName, SERVICE_CHANGE_CONFIG) : NULL;
        if (service != NULL &&
            ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 quoted, NULL, NULL, NULL, NULL, NULL, NULL)) {
            result = ERROR_SUCCESS;
        }
        if (service != NULL) {
            CloseServiceHandle(service);
        }
        if (manager != NULL) {
            CloseServiceHandle(manager);
        }
    }
    HeapFree(GetProcessHeap(), 0, quoted);
    return result;
}
