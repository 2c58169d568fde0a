/* The package's quoting action as it would be if it ever failed: the same entry, which says so in
 * the MSI log and returns ERROR_INSTALL_FAILURE. The MSI test puts it in the place of the real
 * DLL, to show that the action's Return="ignore" keeps an install going through a failure, and
 * that without it the same failure fails the install. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

__declspec(dllexport) UINT __stdcall QuoteServicePath(MSIHANDLE install) {
    MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, L"QuoteServicePath: failing on purpose");
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
    return ERROR_INSTALL_FAILURE;
}
