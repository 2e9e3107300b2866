// Registry value readers.
#include "registry/reg_read.h"

static LONG RegReadValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPBYTE pbOut,
                         DWORD cbCapacity)
{
    HKEY hKey = NULL;
    DWORD dwType = 0;
    DWORD cbData = cbCapacity;

    LONG lResult = RegOpenKeyExW(hRoot, pszSubKey, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult = RegQueryValueExW(hKey, pszValueName, NULL, &dwType, pbOut, &cbData);
    if (hKey != NULL) {
        RegCloseKey(hKey);
    }
    return lResult;
}

LONG RegReadString(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPWSTR pszOut, DWORD cbOut)
{
    return RegReadValue(hRoot, pszSubKey, pszValueName, (LPBYTE)pszOut, cbOut);
}

LONG RegReadDword(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD *pdwOut)
{
    return RegReadValue(hRoot, pszSubKey, pszValueName, (LPBYTE)pdwOut, sizeof(DWORD));
}
