// One DWORD setting of the handset on a PC, read from HKLM\Software\Handset\<subkey>. Header-only
// so that the Wine runner's own programs, which are not linked with the services, read settings
// the same way the services do.
#pragma once

#include <windows.h>

#include <string>

// The setting pszValue under HKLM\Software\Handset\pszSubKey, or dwDefault when it is absent,
// unreadable or not a DWORD.
inline DWORD HandsetSettingDword(LPCWSTR pszSubKey, LPCWSTR pszValue, DWORD dwDefault) {
  std::wstring key = std::wstring(L"Software\\Handset\\") + pszSubKey;
  DWORD dwValue = 0;
  DWORD cb = sizeof(dwValue);
  DWORD dwType = 0;
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return dwDefault;
  }
  LONG lResult = RegQueryValueExW(hKey, pszValue, nullptr, &dwType, (LPBYTE)&dwValue, &cb);
  RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS && dwType == REG_DWORD ? dwValue : dwDefault;
}
