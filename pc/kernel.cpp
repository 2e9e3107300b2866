// Kernel services of the handset on a PC: the debug print, the hardware layer's control codes,
// library entries by 16-bit name, and the closing of a toolhelp snapshot.
#include "pc/services.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The hardware layer's OEM command: {command, value} as two 32-bit words.
const DWORD kIoctlHalOemCommand = 0x01013E80u;
const DWORD kHalCommandShutdown = 1;
const DWORD kHalCommandWriteErtc = 10;

CRITICAL_SECTION* DebugPortLock() {
  static CRITICAL_SECTION* pcs = [] {
    auto* p = new CRITICAL_SECTION;
    InitializeCriticalSection(p);
    return p;
  }();
  return pcs;
}

}  // namespace

// Formats with the C runtime's wide printf (%s: a wide string), writes the text as UTF-8 to
// stderr and as 16-bit text to the debugger, and records the call with its text. A text longer
// than the port's 1024-character buffer is cut, as the kernel's own print does.
void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  WCHAR szText[1024];
  va_list args;
  va_start(args, lpszFmt);
  StringCchVPrintfW(szText, 1024, lpszFmt, args);  // a longer text is cut, terminated
  va_end(args);

  EnterCriticalSection(DebugPortLock());
  char szUtf8[4096];
  int cb = WideCharToMultiByte(CP_UTF8, 0, szText, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr);
  if (cb > 1) {
    fwrite(szUtf8, 1, cb - 1, stderr);
    fflush(stderr);
  }
  OutputDebugStringW(szText);
  LogCall("NKDbgPrintfW", "\"text\":" + JsonText(szText), "");
  LeaveCriticalSection(DebugPortLock());
}

// Carries out the OEM command of the hardware layer: writing the ERTC's wake-up value and the
// shutdown command are recorded as what the handset did. Other codes are not supported.
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID /*lpOutBuf: no command answers*/,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned) {
  std::string args = "\"code\":" + JsonHex(dwIoControlCode) + ",\"in_size\":" + std::to_string(nInBufSize) +
                     ",\"out_size\":" + std::to_string(nOutBufSize);
  if (lpInBuf != nullptr) {
    args += ",\"in\":" + JsonBytes(lpInBuf, nInBufSize);
  }
  if (dwIoControlCode != kIoctlHalOemCommand || lpInBuf == nullptr || nInBufSize < 2 * sizeof(DWORD)) {
    LogCall("KernelIoControl", args, "false", ERROR_NOT_SUPPORTED);
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  DWORD rgdw[2];
  memcpy(rgdw, lpInBuf, sizeof(rgdw));
  if (HandsetFault("KernelIoControl", std::to_string(rgdw[0]))) {
    LogCall("KernelIoControl", args, "false", ERROR_GEN_FAILURE, INJECTED_FAULT_JSON);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (lpBytesReturned != nullptr) {
    *lpBytesReturned = 0;
  }
  LogCall("KernelIoControl", args, "true");
  if (rgdw[0] == kHalCommandWriteErtc) {
    LogDevice("ertc.write", "\"value\":" + JsonHex(rgdw[1]));
  } else if (rgdw[0] == kHalCommandShutdown) {
    LogDevice("kernel.shutdown", "\"value\":" + std::to_string(rgdw[1]));
  }
  return TRUE;
}

// The entry of hModule named by lpProcName, or null (ERROR_PROC_NOT_FOUND). Entry names are
// plain ASCII; a name that is not is found nowhere.
FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
  char szName[256];
  BOOL fAscii = lpProcName != nullptr;
  int i = 0;
  for (; fAscii && lpProcName[i] != 0 && i < 255; i++) {
    fAscii = lpProcName[i] < 0x80;
    szName[i] = char(lpProcName[i]);
  }
  szName[i] = 0;
  bool fInjected = lpProcName != nullptr && HandsetFault("GetProcAddressW", Utf8Text(lpProcName));
  FARPROC pfn = fAscii && !fInjected ? GetProcAddress(hModule, szName) : nullptr;
  DWORD dwError = pfn == nullptr ? (fAscii && !fInjected ? GetLastError() : DWORD(ERROR_PROC_NOT_FOUND)) : 0;
  LogCall("GetProcAddressW", "\"module\":" + JsonHex((ULONG_PTR)hModule) + ",\"name\":" + JsonText(lpProcName),
          pfn != nullptr ? "\"entry\"" : "null", dwError, fInjected ? INJECTED_FAULT_JSON : "");
  SetLastError(dwError);
  return pfn;
}

// A snapshot is a kernel handle on a PC: closing it is closing the handle.
BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot) {
  BOOL fClosed = CloseHandle(hSnapshot);
  DWORD dwError = fClosed ? 0 : GetLastError();
  LogCall("CloseToolhelp32Snapshot", "\"handle\":" + JsonHex((ULONG_PTR)hSnapshot), JsonBool(fClosed), dwError);
  SetLastError(dwError);
  return fClosed;
}
