// The program's calls of the real Windows API that the event log also records: named objects,
// events, waits, handle closes and message boxes. Each passes its arguments to the system
// unchanged and returns what the system returned, with its last error.
#include "pc/services.h"

#include <algorithm>

namespace {

std::string WaitText(DWORD dwResult) {
  switch (dwResult) {
    case WAIT_OBJECT_0:
      return "\"WAIT_OBJECT_0\"";
    case WAIT_TIMEOUT:
      return "\"WAIT_TIMEOUT\"";
    case WAIT_ABANDONED:
      return "\"WAIT_ABANDONED\"";
    case WAIT_FAILED:
      return "\"WAIT_FAILED\"";
    default:
      return std::to_string(dwResult);
  }
}

std::string BoxResultText(int iResult) {
  switch (iResult) {
    case IDYES:
      return "\"IDYES\"";
    case IDNO:
      return "\"IDNO\"";
    case IDOK:
      return "\"IDOK\"";
    case IDCANCEL:
      return "\"IDCANCEL\"";
    default:
      return std::to_string(iResult);
  }
}

std::string HandleResult(HANDLE h) { return h == nullptr ? "null" : JsonHex((ULONG_PTR)h); }

// A call of the program that a fault rule fails: recorded, ERROR_NOT_ENOUGH_MEMORY, no result.
HANDLE InjectedNull(const char* pszOp, const std::string& args) {
  LogCall(pszOp, args, std::string(pszOp) == "MessageBoxW" ? "0" : "null", ERROR_NOT_ENOUGH_MEMORY,
          INJECTED_FAULT_JSON);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

// A timed wait of exactly Waits\CutTimeoutMs (0: none is cut) that ends as a time-out once this
// process has written no record for Waits\QuietMs, instead of sitting out its whole time on the
// PC's clock; the log's clock then jumps by the time left out, so that the log reads as if the
// wait had taken all of it. A run under test cuts the power-off watchdog's minute this way where
// the simulator shows that nothing happens between the program going quiet and the wait's end.
DWORD CutLongWait(HANDLE hHandle, DWORD dwMilliseconds) {
  const DWORD kSliceMs = 50;
  DWORD dwCut = SettingDword(L"Waits", L"CutTimeoutMs", 0);
  DWORD dwQuiet = SettingDword(L"Waits", L"QuietMs", 0);
  if (dwMilliseconds == INFINITE || dwCut == 0 || dwMilliseconds != dwCut || dwQuiet == 0 ||
      dwQuiet >= dwMilliseconds) {
    return WaitForSingleObject(hHandle, dwMilliseconds);
  }
  DWORD dwStart = GetTickCount();
  for (;;) {
    DWORD dwElapsed = GetTickCount() - dwStart;
    if (dwElapsed >= dwMilliseconds) {
      return WaitForSingleObject(hHandle, 0);
    }
    DWORD dwResult = WaitForSingleObject(hHandle, std::min(kSliceMs, dwMilliseconds - dwElapsed));
    if (dwResult != WAIT_TIMEOUT) {
      return dwResult;
    }
    if (MsSinceLastRecord() >= dwQuiet) {
      dwElapsed = GetTickCount() - dwStart;
      if (dwElapsed < dwMilliseconds) {
        LeaveOutOfTheLog(dwMilliseconds - dwElapsed);
      }
      return WAIT_TIMEOUT;
    }
  }
}

}  // namespace

// CreateMutexW, recorded with "already_existed" when the name was in use.
HANDLE RecordedCreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
  std::string args = "\"initial_owner\":" + JsonBool(bInitialOwner) + ",\"name\":" + JsonText(lpName);
  if (HandsetFault("CreateMutexW", Utf8Text(lpName))) {
    return InjectedNull("CreateMutexW", args);
  }
  HANDLE hMutex = CreateMutexW(lpMutexAttributes, bInitialOwner, lpName);
  DWORD dwError = GetLastError();
  BOOL fExisted = hMutex != nullptr && dwError == ERROR_ALREADY_EXISTS;
  LogCall("CreateMutexW", args, HandleResult(hMutex), hMutex == nullptr ? dwError : 0,
          fExisted ? "\"already_existed\":true" : "");
  SetLastError(dwError);
  return hMutex;
}

// CreateEventW, recorded with its reset kind, initial state and name.
HANDLE RecordedCreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                            LPCWSTR lpName) {
  std::string args = "\"manual_reset\":" + JsonBool(bManualReset) + ",\"initial_state\":" + JsonBool(bInitialState) +
                     ",\"name\":" + JsonText(lpName);
  if (HandsetFault("CreateEventW", Utf8Text(lpName))) {
    return InjectedNull("CreateEventW", args);
  }
  HANDLE hEvent = CreateEventW(lpEventAttributes, bManualReset, bInitialState, lpName);
  DWORD dwError = GetLastError();
  LogCall("CreateEventW", args, HandleResult(hEvent), hEvent == nullptr ? dwError : 0);
  SetLastError(dwError);
  return hEvent;
}

// CloseHandle, recorded with the handle.
BOOL RecordedCloseHandle(HANDLE hObject) {
  BOOL fClosed = CloseHandle(hObject);
  DWORD dwError = GetLastError();
  LogCall("CloseHandle", "\"handle\":" + JsonHex((ULONG_PTR)hObject), JsonBool(fClosed), fClosed ? 0 : dwError);
  SetLastError(dwError);
  return fClosed;
}

// WaitForSingleObject, recorded when it returns, with its result and the timeout the program gave.
DWORD RecordedWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  DWORD dwResult = CutLongWait(hHandle, dwMilliseconds);
  DWORD dwError = GetLastError();
  LogCall("WaitForSingleObject",
          "\"handle\":" + JsonHex((ULONG_PTR)hHandle) + ",\"timeout_ms\":" + std::to_string(dwMilliseconds),
          WaitText(dwResult), dwResult == WAIT_FAILED ? dwError : 0);
  SetLastError(dwError);
  return dwResult;
}

// MessageBoxW, recorded when the box returns, with its text, caption, style and answer.
int RecordedMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  std::string args = "\"owner\":" + HandleResult(hWnd) + ",\"text\":" + JsonText(lpText) +
                     ",\"caption\":" + JsonText(lpCaption) + ",\"style\":" + JsonHex(uType);
  if (HandsetFault("MessageBoxW", Utf8Text(lpCaption))) {
    // No box is shown: the call fails at once, as when the system has no room for it.
    InjectedNull("MessageBoxW", args);
    return 0;
  }
  int iResult = MessageBoxW(hWnd, lpText, lpCaption, uType);
  DWORD dwError = GetLastError();
  LogCall("MessageBoxW", args, BoxResultText(iResult), iResult == 0 ? dwError : 0);
  SetLastError(dwError);
  return iResult;
}
