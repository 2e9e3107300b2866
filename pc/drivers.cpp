// The handset's device drivers on a PC: "SPI5:" (the LCD), "DMP1:" (the log dump) and "BKL1:"
// (the backlight), opened by name like files. Every other name is a file of the PC.
//
// Settings (under HKLM\Software\Handset\Drivers): a string value per driver name,
//   "present" (default), "missing" (opening it fails with ERROR_FILE_NOT_FOUND) or "refuses"
//   (it opens, but refuses its controls with ERROR_GEN_FAILURE).
#include "pc/services.h"

#include <map>

namespace {

const DWORD kIoctlSetDevicePower = 0x00001000u;
const DWORD kIoctlDumpLog = 0x00221000u;

CRITICAL_SECTION* DriverLock() {
  static CRITICAL_SECTION* pcs = [] {
    auto* p = new CRITICAL_SECTION;
    InitializeCriticalSection(p);
    return p;
  }();
  return pcs;
}

// Open driver handles by the driver they reach. A handle value the system reuses after a close
// is entered again when a driver opens it, so a stale entry is only ever replaced.
std::map<HANDLE, std::wstring>& OpenDrivers() {
  static auto* pMap = new std::map<HANDLE, std::wstring>();
  return *pMap;
}

bool IsDriverName(LPCWSTR pszName) { return pszName != nullptr && lstrlenW(pszName) == 5 && pszName[4] == L':'; }

bool IsKnownDriver(const std::wstring& name) {
  return lstrcmpiW(name.c_str(), L"SPI5:") == 0 || lstrcmpiW(name.c_str(), L"DMP1:") == 0 ||
         lstrcmpiW(name.c_str(), L"BKL1:") == 0;
}

std::wstring DriverState(const std::wstring& name) { return SettingString(L"Drivers", name.c_str(), L"present"); }

}  // namespace

// Opens a driver by its name ("SPI5:", ...) as a handle that CloseHandle closes; any other name
// is opened by the real CreateFileW. INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND for a driver
// the handset does not have.
HANDLE HandsetCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  std::string args = "\"name\":" + JsonText(lpFileName) + ",\"access\":" + JsonHex(dwDesiredAccess) +
                     ",\"share\":" + std::to_string(dwShareMode) +
                     ",\"disposition\":" + std::to_string(dwCreationDisposition) +
                     ",\"attributes\":" + JsonHex(dwFlagsAndAttributes);
  if (lpFileName != nullptr && HandsetFault("CreateFileW", Utf8Text(lpFileName))) {
    LogCall("CreateFileW", args, JsonHex((ULONG_PTR)INVALID_HANDLE_VALUE), ERROR_ACCESS_DENIED, INJECTED_FAULT_JSON);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!IsDriverName(lpFileName)) {
    HANDLE hFile = CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                               dwFlagsAndAttributes, hTemplateFile);
    DWORD dwError = hFile == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    LogCall("CreateFileW", args, JsonHex((ULONG_PTR)hFile), dwError);
    SetLastError(dwError);
    return hFile;
  }
  std::wstring name = lpFileName;
  if (!IsKnownDriver(name) || DriverState(name) == L"missing") {
    LogCall("CreateFileW", args, JsonHex((ULONG_PTR)INVALID_HANDLE_VALUE), ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE hDriver = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (hDriver == nullptr) {
    DWORD dwError = GetLastError();
    LogCall("CreateFileW", args, JsonHex((ULONG_PTR)INVALID_HANDLE_VALUE), dwError);
    SetLastError(dwError);
    return INVALID_HANDLE_VALUE;
  }
  EnterCriticalSection(DriverLock());
  OpenDrivers()[hDriver] = name;
  LeaveCriticalSection(DriverLock());
  LogCall("CreateFileW", args, JsonHex((ULONG_PTR)hDriver));
  SetLastError(ERROR_SUCCESS);
  return hDriver;
}

// Carries a control to a driver opened by HandsetCreateFileW: the LCD's power state D4 and the
// log dump are noted as the handset's changes. Any other handle goes to the real
// DeviceIoControl. A driver set to refuse fails with ERROR_GEN_FAILURE.
BOOL HandsetDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  EnterCriticalSection(DriverLock());
  auto it = OpenDrivers().find(hDevice);
  std::wstring name = it != OpenDrivers().end() ? it->second : L"";
  LeaveCriticalSection(DriverLock());
  std::string args = "\"handle\":" + JsonHex((ULONG_PTR)hDevice) + ",\"code\":" + JsonHex(dwIoControlCode) +
                     ",\"in_size\":" + std::to_string(nInBufferSize) +
                     ",\"out_size\":" + std::to_string(nOutBufferSize);
  if (lpInBuffer != nullptr) {
    args += ",\"in\":" + JsonBytes(lpInBuffer, nInBufferSize);
  }
  if (name.empty()) {
    BOOL fDone = DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                 lpBytesReturned, lpOverlapped);
    DWORD dwError = fDone ? 0 : GetLastError();
    LogCall("DeviceIoControl", args, JsonBool(fDone), dwError);
    SetLastError(dwError);
    return fDone;
  }
  args += ",\"device\":" + JsonText(name.c_str());
  bool fRefuses = DriverState(name) == L"refuses";
  if (fRefuses || HandsetFault("DeviceIoControl", Utf8Text(name.c_str()))) {
    LogCall("DeviceIoControl", args, "false", ERROR_GEN_FAILURE, fRefuses ? "" : INJECTED_FAULT_JSON);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (lpBytesReturned != nullptr) {
    *lpBytesReturned = 0;
  }
  LogCall("DeviceIoControl", args, "true");
  if (lstrcmpiW(name.c_str(), L"SPI5:") == 0 && dwIoControlCode == kIoctlSetDevicePower && lpInBuffer != nullptr &&
      nInBufferSize >= 2 * sizeof(DWORD)) {
    DWORD rgdw[2];
    memcpy(rgdw, lpInBuffer, sizeof(rgdw));
    if (rgdw[0] == 4) {
      LogDevice("lcd.off", "\"state\":4,\"second_word\":" + std::to_string(rgdw[1]));
    }
  } else if (lstrcmpiW(name.c_str(), L"DMP1:") == 0 && dwIoControlCode == kIoctlDumpLog) {
    LogDevice("dmp.dump", "");
  }
  return TRUE;
}
