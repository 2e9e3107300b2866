// The event log of the handset-only services, thread names, and the handset settings.
#include "pc/services.h"

#include "pc/fault_counts.h"
#include "pc/json_quote.h"
#include "pc/setting_dword.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

CRITICAL_SECTION g_csLog;
HANDLE g_hLogFile = INVALID_HANDLE_VALUE;
// Other processes (the user helper) and the animation library append to the same file: each
// record is written whole under this mutex, so that no two appends interleave.
HANDLE g_hLogMutex = nullptr;
unsigned long long g_ullSeq = 0;
LARGE_INTEGER g_liStart;
LARGE_INTEGER g_liFrequency;
// Time a cut wait left out (CutLongWait): added to every later record's time, so that the log
// reads as the handset's would, where the wait took its whole time.
unsigned long long g_ullCutUs = 0;
// When the last record of this process was written, in the log's time.
unsigned long long g_ullLastRecordUs = 0;
DWORD g_dwMainThreadId = 0;
std::map<DWORD, std::string>* g_pThreadNames = nullptr;

typedef LONG(WINAPI* PFN_NT_QUERY_INFORMATION_THREAD)(HANDLE, int, PVOID, ULONG, PULONG);
const int kThreadQuerySetWin32StartAddress = 9;

const wchar_t kPowerGoneEvent[] = L"HandsetPowerGone";

// Ends this instance once another one has taken the handset's power away (PowerGone).
DWORD WINAPI EndWithThePower(LPVOID lpEvent) {
  if (WaitForSingleObject(static_cast<HANDLE>(lpEvent), INFINITE) == WAIT_OBJECT_0) {
    TerminateProcess(GetCurrentProcess(), 0);
  }
  return 0;
}

// Opens the log before the program's entry runs, on the process's first thread.
struct LogSetup {
  LogSetup() {
    InitializeCriticalSection(&g_csLog);
    QueryPerformanceFrequency(&g_liFrequency);
    QueryPerformanceCounter(&g_liStart);
    g_dwMainThreadId = GetCurrentThreadId();
    g_pThreadNames = new std::map<DWORD, std::string>();
    // The debug output keeps its own line ends ("\r\n"), as the handset's debug port does.
    _setmode(_fileno(stderr), _O_BINARY);
    WCHAR szPath[MAX_PATH];
    DWORD cch = GetEnvironmentVariableW(L"HANDSET_EVENT_LOG", szPath, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH) {
      // Appended, so that the animation library can add its records to the same file.
      g_hLogFile = ::CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
      g_hLogMutex = CreateMutexW(nullptr, FALSE, L"HandsetEventLog");
    }
    // The user helper starts its clock when the first instance of the program is up: the
    // handset's timeline counts from the program's start.
    CreateEventW(nullptr, TRUE, TRUE, L"HandsetProgramStarted");
    // The handset's power is one for every instance of the program: when it goes in one of
    // them, the others end with it.
    HANDLE hPowerGone = CreateEventW(nullptr, TRUE, FALSE, kPowerGoneEvent);
    if (hPowerGone != nullptr) {
      CloseHandle(ServiceCreateThread(EndWithThePower, hPowerGone, 0, nullptr));
    }
    PatchImportsForFaults();
    // Every instance holds the fault rules' shared counts from its start, so that they outlive an
    // instance that ends while another runs.
    OpenHandsetFaultCounts();
    atexit(NoteProcessExit);
  }
  // The program's entry returned (or it called exit): the process ends in the ordinary way.
  static void NoteProcessExit() { LogDevice("process.exit", ""); }
};
LogSetup g_logSetup;

std::string Utf8(LPCWSTR psz) {
  std::string s;
  for (; *psz != 0; ++psz) {
    unsigned u = *psz;
    if (u >= 0xD800 && u < 0xDC00 && psz[1] >= 0xDC00 && psz[1] < 0xE000) {
      u = 0x10000 + ((u - 0xD800) << 10) + (psz[1] - 0xDC00);
      ++psz;
    }
    if (u < 0x80) {
      s += char(u);
    } else if (u < 0x800) {
      s += char(0xC0 | (u >> 6));
      s += char(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
      s += char(0xE0 | (u >> 12));
      s += char(0x80 | ((u >> 6) & 0x3F));
      s += char(0x80 | (u & 0x3F));
    } else {
      s += char(0xF0 | (u >> 18));
      s += char(0x80 | ((u >> 12) & 0x3F));
      s += char(0x80 | ((u >> 6) & 0x3F));
      s += char(0x80 | (u & 0x3F));
    }
  }
  return s;
}

// The calling thread's name; the caller holds the log's lock.
std::string ThreadName() {
  DWORD dwId = GetCurrentThreadId();
  auto it = g_pThreadNames->find(dwId);
  if (it != g_pThreadNames->end()) {
    return it->second;
  }
  std::string name = "main";
  if (dwId != g_dwMainThreadId) {
    ULONG_PTR uStart = 0;
    auto pfnQuery = reinterpret_cast<PFN_NT_QUERY_INFORMATION_THREAD>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    if (pfnQuery != nullptr) {
      pfnQuery(GetCurrentThread(), kThreadQuerySetWin32StartAddress, &uStart, sizeof(uStart), nullptr);
    }
    name = "start:" + JsonHex(uStart).substr(1, std::string::npos);
    name.pop_back();
  }
  (*g_pThreadNames)[dwId] = name;
  return name;
}

void Append(const std::string& record) {
  if (g_hLogFile == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD cbWritten = 0;
  // An owner that ended without releasing (the power went) still leaves whole records behind.
  if (g_hLogMutex != nullptr) {
    WaitForSingleObject(g_hLogMutex, INFINITE);
  }
  ::WriteFile(g_hLogFile, record.data(), DWORD(record.size()), &cbWritten, nullptr);
  if (g_hLogMutex != nullptr) {
    ReleaseMutex(g_hLogMutex);
  }
}

// Wall time since the process started, in us, with the time left out by cut waits.
unsigned long long LogClockUs() {
  LARGE_INTEGER liNow;
  QueryPerformanceCounter(&liNow);
  return (unsigned long long)(liNow.QuadPart - g_liStart.QuadPart) * 1000000ull /
             (unsigned long long)g_liFrequency.QuadPart +
         g_ullCutUs;
}

// The caller holds the log's lock.
std::string Head(const char* pszKind, const char* pszOp) {
  unsigned long long ullUs = LogClockUs();
  g_ullLastRecordUs = ullUs;
  char szHead[96];
  snprintf(szHead, sizeof(szHead), "{\"seq\":%llu,\"t_us\":%llu,\"kind\":\"%s\",", g_ullSeq++, ullUs, pszKind);
  return std::string(szHead) + "\"op\":\"" + pszOp + "\"";
}

}  // namespace

std::string JsonText(LPCWSTR psz) {
  if (psz == nullptr) {
    return "null";
  }
  return JsonQuote(Utf8(psz));
}

std::string Utf8Text(LPCWSTR psz) { return psz == nullptr ? std::string() : Utf8(psz); }

std::string JsonHex(ULONG_PTR u) {
  char sz[32];
  snprintf(sz, sizeof(sz), "\"0x%llX\"", (unsigned long long)u);
  return sz;
}

std::string JsonBool(BOOL f) { return f ? "true" : "false"; }

std::string JsonBytes(const void* pv, DWORD cb) {
  if (pv == nullptr) {
    return "null";
  }
  std::string out = "\"";
  const BYTE* pb = static_cast<const BYTE*>(pv);
  for (DWORD i = 0; i < cb; i++) {
    char sz[4];
    snprintf(sz, sizeof(sz), "%02X", pb[i]);
    if (i > 0) {
      out += ' ';
    }
    out += sz;
  }
  return out + "\"";
}

void LogCall(const char* pszOp, const std::string& argsJson, const std::string& resultJson, DWORD dwLastError,
             const std::string& extraJson) {
  DWORD dwSaved = GetLastError();
  EnterCriticalSection(&g_csLog);
  std::string record = Head("call", pszOp);
  record += ",\"thread\":\"" + ThreadName() + "\",\"tid\":" + std::to_string(GetCurrentThreadId()) +
            ",\"pid\":" + std::to_string(GetCurrentProcessId());
  record += ",\"args\":{" + argsJson + "}";
  record += ",\"result\":" + (resultJson.empty() ? std::string("null") : resultJson);
  if (dwLastError != 0) {
    record += ",\"last_error\":" + std::to_string(dwLastError);
  }
  if (!extraJson.empty()) {
    record += "," + extraJson;
  }
  record += "}\n";
  Append(record);
  LeaveCriticalSection(&g_csLog);
  SetLastError(dwSaved);
}

void LogDevice(const char* pszOp, const std::string& argsJson) {
  DWORD dwSaved = GetLastError();
  EnterCriticalSection(&g_csLog);
  std::string record =
      Head("device", pszOp) + ",\"thread\":\"device\",\"pid\":" + std::to_string(GetCurrentProcessId());
  if (!argsJson.empty()) {
    record += ",\"args\":{" + argsJson + "}";
  }
  record += "}\n";
  Append(record);
  LeaveCriticalSection(&g_csLog);
  SetLastError(dwSaved);
}

DWORD MsSinceLastRecord() {
  EnterCriticalSection(&g_csLog);
  unsigned long long ullQuiet = (LogClockUs() - g_ullLastRecordUs) / 1000;
  LeaveCriticalSection(&g_csLog);
  return ullQuiet > 0xFFFFFFFEull ? 0xFFFFFFFE : DWORD(ullQuiet);
}

void LeaveOutOfTheLog(DWORD dwMilliseconds) {
  EnterCriticalSection(&g_csLog);
  g_ullCutUs += 1000ull * dwMilliseconds;
  LeaveCriticalSection(&g_csLog);
}

void NameThisThread(const char* pszName) {
  EnterCriticalSection(&g_csLog);
  (*g_pThreadNames)[GetCurrentThreadId()] = pszName;
  LeaveCriticalSection(&g_csLog);
}

DWORD SettingDword(LPCWSTR pszSubKey, LPCWSTR pszValue, DWORD dwDefault) {
  return HandsetSettingDword(pszSubKey, pszValue, dwDefault);
}

bool SettingKeyExists(LPCWSTR pszSubKey) {
  std::wstring key = std::wstring(HANDSET_SETTINGS_KEY) + L"\\" + pszSubKey;
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(hKey);
  return true;
}

std::wstring SettingString(LPCWSTR pszSubKey, LPCWSTR pszValue, LPCWSTR pszDefault) {
  std::wstring key = std::wstring(HANDSET_SETTINGS_KEY) + L"\\" + pszSubKey;
  WCHAR szValue[512] = {0};
  DWORD cb = sizeof(szValue) - sizeof(WCHAR);
  DWORD dwType = 0;
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return pszDefault;
  }
  LONG lResult = RegQueryValueExW(hKey, pszValue, nullptr, &dwType, (LPBYTE)szValue, &cb);
  RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS && dwType == REG_SZ ? std::wstring(szValue) : pszDefault;
}

void PowerGone(const char* pszWhy) {
  LogDevice("process.power_gone", std::string("\"why\":\"") + pszWhy + "\"");
  // Every other instance, and the user helper, end with it.
  HANDLE hPowerGone = OpenEventW(EVENT_MODIFY_STATE, FALSE, kPowerGoneEvent);
  if (hPowerGone != nullptr) {
    ServiceSetEvent(hPowerGone);
  }
  TerminateProcess(GetCurrentProcess(), 0);
  for (;;) {
    Sleep(INFINITE);
  }
}
