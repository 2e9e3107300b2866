// The notification database of the handset on a PC, read from the registry.
//
// Settings: one key per notification, HKLM\Software\Handset\Notifications\1, \2, ... in the
// order the database hands out their handles (numbering stops at the first missing key):
//   Type          trigger type (default 4, a timed user notification as the clock sets)
//   Application   the application to run (default \Windows\clock.exe); "NoApplication"=1 gives
//                 a trigger without an application
//   Arguments     its command line (default empty)
//   Start, End    "YYYY-MM-DD hh:mm:ss" (End defaults to Start)
#include "pc/services.h"

#include <cstdio>
#include <vector>

namespace {

const ULONG_PTR kFirstHandle = 0x7E0001;

struct Notification {
  DWORD dwType;
  BOOL fHasApplication;
  std::wstring application;
  std::wstring arguments;
  SYSTEMTIME stStart;
  SYSTEMTIME stEnd;
};

SYSTEMTIME ParseTime(const std::wstring& text) {
  SYSTEMTIME st = {};
  unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (swscanf(text.c_str(), L"%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s) == 6) {
    st.wYear = WORD(y);
    st.wMonth = WORD(mo);
    st.wDay = WORD(d);
    st.wHour = WORD(h);
    st.wMinute = WORD(mi);
    st.wSecond = WORD(s);
  }
  return st;
}

std::vector<Notification> ReadDatabase() {
  std::vector<Notification> list;
  for (unsigned n = 1;; n++) {
    WCHAR szKey[64];
    StringCchPrintfW(szKey, 64, L"Notifications\\%u", n);
    if (!SettingKeyExists(szKey)) {
      break;
    }
    Notification entry;
    entry.dwType = SettingDword(szKey, L"Type", 4);
    entry.fHasApplication = SettingDword(szKey, L"NoApplication", 0) == 0;
    entry.application = SettingString(szKey, L"Application", L"\\Windows\\clock.exe");
    entry.arguments = SettingString(szKey, L"Arguments", L"");
    std::wstring start = SettingString(szKey, L"Start", L"");
    entry.stStart = ParseTime(start);
    entry.stEnd = ParseTime(SettingString(szKey, L"End", start.c_str()));
    list.push_back(entry);
  }
  return list;
}

DWORD FetchedSize(const Notification& entry) {
  DWORD cb = sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER);
  if (entry.fHasApplication) {
    cb += DWORD((entry.application.size() + 1) * sizeof(WCHAR));
  }
  return cb + DWORD((entry.arguments.size() + 1) * sizeof(WCHAR));
}

// Header, trigger, then the strings; every pointer aims into the buffer.
void WriteEntry(const Notification& entry, ULONG_PTR uHandle, BYTE* pBuffer) {
  auto* pHeader = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(pBuffer);
  auto* pTrigger = reinterpret_cast<CE_NOTIFICATION_TRIGGER*>(pBuffer + sizeof(CE_NOTIFICATION_INFO_HEADER));
  auto* pszStrings =
      reinterpret_cast<WCHAR*>(pBuffer + sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER));
  pHeader->hNotification = reinterpret_cast<HANDLE>(uHandle);
  pHeader->dwStatus = 0;
  pHeader->pcent = pTrigger;
  pHeader->pceun = nullptr;
  pTrigger->dwSize = sizeof(CE_NOTIFICATION_TRIGGER);
  pTrigger->dwType = entry.dwType;
  pTrigger->dwEvent = 0;
  pTrigger->lpszApplication = nullptr;
  if (entry.fHasApplication) {
    memcpy(pszStrings, entry.application.c_str(), (entry.application.size() + 1) * sizeof(WCHAR));
    pTrigger->lpszApplication = pszStrings;
    pszStrings += entry.application.size() + 1;
  }
  memcpy(pszStrings, entry.arguments.c_str(), (entry.arguments.size() + 1) * sizeof(WCHAR));
  pTrigger->lpszArguments = pszStrings;
  pTrigger->stStartTime = entry.stStart;
  pTrigger->stEndTime = entry.stEnd;
}

std::string TimeText(const SYSTEMTIME& st) {
  char sz[32];
  snprintf(sz, sizeof(sz), "\"%04u-%02u-%02u %02u:%02u:%02u\"", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
           st.wSecond);
  return sz;
}

}  // namespace

// *pcHandlesNeeded receives the number of notifications; with a buffer of at least that many
// handles, they are written too. TRUE unless the buffer is too small (ERROR_INSUFFICIENT_BUFFER)
// or pcHandlesNeeded is null.
BOOL CeGetUserNotificationHandles(HANDLE* rghNotifications, DWORD cHandles, LPDWORD pcHandlesNeeded) {
  std::vector<Notification> list = ReadDatabase();
  DWORD cNeeded = DWORD(list.size());
  std::string args =
      "\"buffer\":" + JsonBool(rghNotifications != nullptr) + ",\"capacity\":" + std::to_string(cHandles);
  if (pcHandlesNeeded != nullptr &&
      HandsetFault("CeGetUserNotificationHandles", rghNotifications != nullptr ? "fetch" : "count")) {
    LogCall("CeGetUserNotificationHandles", args, "false", ERROR_GEN_FAILURE, INJECTED_FAULT_JSON);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (pcHandlesNeeded == nullptr || (rghNotifications != nullptr && cHandles < cNeeded)) {
    LogCall("CeGetUserNotificationHandles", args, "false", ERROR_INSUFFICIENT_BUFFER);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *pcHandlesNeeded = cNeeded;
  if (rghNotifications != nullptr) {
    for (DWORD i = 0; i < cNeeded; i++) {
      rghNotifications[i] = reinterpret_cast<HANDLE>(kFirstHandle + i);
    }
  }
  LogCall("CeGetUserNotificationHandles", args, std::to_string(cNeeded));
  return TRUE;
}

// The size-then-fetch protocol: *pcBytesNeeded receives the size of the notification; with a
// buffer of that size it is filled (header, trigger, strings) and TRUE is returned. FALSE with
// ERROR_INSUFFICIENT_BUFFER for a buffer too small, ERROR_INVALID_HANDLE for an unknown handle.
BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded, LPBYTE pBuffer) {
  std::vector<Notification> list = ReadDatabase();
  ULONG_PTR uHandle = reinterpret_cast<ULONG_PTR>(hNotification);
  std::string args = "\"handle\":" + JsonHex(uHandle) + ",\"size\":" + std::to_string(cBufferSize) +
                     ",\"buffer\":" + JsonBool(pBuffer != nullptr);
  if (uHandle < kFirstHandle || uHandle - kFirstHandle >= list.size() || pcBytesNeeded == nullptr) {
    LogCall("CeGetUserNotification", args, "false", ERROR_INVALID_HANDLE);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size_t index = uHandle - kFirstHandle;
  args += ",\"notification\":" + std::to_string(index + 1);
  if (HandsetFault("CeGetUserNotification", std::to_string(index + 1))) {
    *pcBytesNeeded = 0;
    LogCall("CeGetUserNotification", args, "false", ERROR_GEN_FAILURE, INJECTED_FAULT_JSON);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  const Notification& entry = list[index];
  DWORD cbNeeded = FetchedSize(entry);
  *pcBytesNeeded = cbNeeded;
  if (pBuffer == nullptr || cBufferSize < cbNeeded) {
    LogCall("CeGetUserNotification", args, "false", ERROR_INSUFFICIENT_BUFFER);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  WriteEntry(entry, uHandle, pBuffer);
  args += ",\"type\":" + std::to_string(entry.dwType) +
          ",\"application\":" + (entry.fHasApplication ? JsonText(entry.application.c_str()) : std::string("null")) +
          ",\"start\":" + TimeText(entry.stStart);
  LogCall("CeGetUserNotification", args, "true");
  return TRUE;
}
