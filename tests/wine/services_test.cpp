// The handset-only services of a PC, run under Wine by tests/wine/differential.py: the protocols
// the program relies on (size-then-fetch, buffers that are one character short, values that
// come and go) and the settings that shape the handset.
#include "pc/services.h"

#include "pc/json_quote.h"

#include <cstdio>
#include <vector>

namespace {

int g_nFailures = 0;

void Expect(bool fOk, const char* pszWhat, long lDetail = 0) {
  if (!fOk) {
    g_nFailures++;
    printf("FAIL %s (%ld)\n", pszWhat, lDetail);
  }
}

void SetString(LPCWSTR pszKey, LPCWSTR pszName, LPCWSTR pszText, DWORD cbOverride = 0) {
  HKEY hKey = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
  DWORD cb = cbOverride != 0 ? cbOverride : DWORD((lstrlenW(pszText) + 1) * sizeof(WCHAR));
  RegSetValueExW(hKey, pszName, 0, REG_SZ, (const BYTE*)pszText, cb);
  RegCloseKey(hKey);
}

void SetDword(LPCWSTR pszKey, LPCWSTR pszName, DWORD dwValue) {
  HKEY hKey = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
  RegSetValueExW(hKey, pszName, 0, REG_DWORD, (const BYTE*)&dwValue, sizeof(dwValue));
  RegCloseKey(hKey);
}

void DeleteValue(LPCWSTR pszKey, LPCWSTR pszName) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_ALL_ACCESS, &hKey) == ERROR_SUCCESS) {
    RegDeleteValueW(hKey, pszName);
    RegCloseKey(hKey);
  }
}

const LPCWSTR kTestKey = L"Software\\HandsetServicesTest";

void TestRegistryGetString() {
  SetString(kTestKey, L"Five", L"abcde");
  SetString(kTestKey, L"Unterminated", L"xyz", 3 * sizeof(WCHAR));
  SetDword(kTestKey, L"Number", 7);
  struct {
    LPCWSTR pszSubKey;
    LPCWSTR pszValue;
    UINT cch;
    HRESULT hr;
    LPCWSTR pszText;
  } cases[] = {
      {kTestKey, L"Five", 6, S_OK, L"abcde"},  // exactly fits with its terminator
      {kTestKey, L"Five", 5, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), L""},
      {kTestKey, L"Unterminated", 4, S_OK, L"xyz"},  // stored without a terminator
      {kTestKey, L"Missing", 10, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L""},
      {L"Software\\NoSuchKeyHere", L"Five", 10, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L""},
      {kTestKey, L"Number", 10, E_INVALIDARG, L""},
      {kTestKey, L"Five", 0, E_INVALIDARG, L"?"},
  };
  for (const auto& c : cases) {
    WCHAR szBuffer[16] = L"?";
    HRESULT hr = RegistryGetString(HKEY_LOCAL_MACHINE, c.pszSubKey, c.pszValue, szBuffer, c.cch);
    Expect(hr == c.hr, "RegistryGetString result", hr);
    Expect(lstrcmpW(szBuffer, c.pszText) == 0, "RegistryGetString text", long(c.cch));
  }
}

void TestNotificationDatabase() {
  std::wstring base = std::wstring(HANDSET_SETTINGS_KEY) + L"\\Notifications";
  SetString((base + L"\\1").c_str(), L"Start", L"2008-06-16 06:30:00");
  SetString((base + L"\\1").c_str(), L"Arguments", L"AppRunAtTime");
  SetString((base + L"\\2").c_str(), L"Start", L"2008-06-15 09:00:00");
  SetDword((base + L"\\2").c_str(), L"NoApplication", 1);

  DWORD cNeeded = 0;
  Expect(CeGetUserNotificationHandles(nullptr, 0, &cNeeded) && cNeeded == 2, "count", cNeeded);
  HANDLE rgh[2] = {};
  Expect(!CeGetUserNotificationHandles(rgh, 1, &cNeeded) && GetLastError() == ERROR_INSUFFICIENT_BUFFER,
         "handles into a buffer one short");
  if (!CeGetUserNotificationHandles(rgh, 2, &cNeeded)) {
    Expect(false, "handles");
    return;
  }

  for (int i = 0; i < 2; i++) {
    DWORD cbNeeded = 0;
    Expect(!CeGetUserNotification(rgh[i], 0, &cbNeeded, nullptr) && cbNeeded > 0, "size query");
    std::vector<BYTE> buffer(cbNeeded);
    DWORD cbShort = 0;
    Expect(!CeGetUserNotification(rgh[i], cbNeeded - 1, &cbShort, buffer.data()) &&
               GetLastError() == ERROR_INSUFFICIENT_BUFFER,
           "fetch into a buffer one byte short");
    Expect(CeGetUserNotification(rgh[i], cbNeeded, &cbNeeded, buffer.data()), "fetch");
    auto* pHeader = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(buffer.data());
    BYTE* pbEnd = buffer.data() + buffer.size();
    Expect((BYTE*)pHeader->pcent > buffer.data() && (BYTE*)(pHeader->pcent + 1) <= pbEnd, "trigger inside the buffer");
    const CE_NOTIFICATION_TRIGGER* pTrigger = pHeader->pcent;
    Expect(pTrigger->dwType == CNT_CLASSICTIME, "type", pTrigger->dwType);
    Expect((BYTE*)pTrigger->lpszArguments < pbEnd, "arguments inside the buffer");
    if (i == 0) {
      Expect(lstrcmpW(pTrigger->lpszApplication, L"\\Windows\\clock.exe") == 0, "default application");
      Expect(lstrcmpW(pTrigger->lpszArguments, L"AppRunAtTime") == 0, "arguments");
      Expect(pTrigger->stStartTime.wDay == 16 && pTrigger->stStartTime.wHour == 6 && pTrigger->stEndTime.wMinute == 30,
             "start and end");
    } else {
      Expect(pTrigger->lpszApplication == nullptr, "no application");
    }
  }
  DWORD cb = 0;
  Expect(!CeGetUserNotification((HANDLE)(ULONG_PTR)0x1234, 0, &cb, nullptr) && GetLastError() == ERROR_INVALID_HANDLE,
         "unknown handle");
}

void TestLedsAndDrivers() {
  std::wstring leds = std::wstring(HANDSET_SETTINGS_KEY) + L"\\Leds";
  SetDword(leds.c_str(), L"Count", 2);
  SetDword(leds.c_str(), L"CycleAdjust1", DWORD(-1));
  NLED_COUNT_INFO count = {};
  Expect(NLedGetDeviceInfo(NLED_COUNT_INFO_ID, &count) && count.cLeds == 2, "LED count");
  for (UINT nLed = 0; nLed < 3; nLed++) {
    NLED_SUPPORTS_INFO supports = {};
    supports.LedNum = nLed;
    BOOL fKnown = NLedGetDeviceInfo(NLED_SUPPORTS_INFO_ID, &supports);
    Expect(fKnown == (nLed < 2), "LED exists", nLed);
    Expect(!fKnown || supports.lCycleAdjust == (nLed == 1 ? -1 : 0), "cycle adjust", nLed);
    NLED_SETTINGS_INFO settings = {};
    settings.LedNum = nLed;
    settings.OffOnBlink = 1;
    Expect(NLedSetDevice(NLED_SETTINGS_INFO_ID, &settings) == (nLed < 2), "LED set", nLed);
  }

  // Queries the handset is set to fail: the count, one LED's supports query, another's settings.
  SetDword(leds.c_str(), L"CountFails", 1);
  SetDword(leds.c_str(), L"SupportsFails1", 1);
  SetDword(leds.c_str(), L"SettingsFails0", 1);
  Expect(!NLedGetDeviceInfo(NLED_COUNT_INFO_ID, &count) && GetLastError() == ERROR_GEN_FAILURE, "LED count fails");
  struct {
    UINT nLed;
    bool fSupports;
    bool fSettings;
  } knobs[] = {{0, true, false}, {1, false, true}};
  for (const auto& k : knobs) {
    NLED_SUPPORTS_INFO supports = {};
    supports.LedNum = k.nLed;
    Expect(NLedGetDeviceInfo(NLED_SUPPORTS_INFO_ID, &supports) == k.fSupports, "LED supports set to fail", k.nLed);
    NLED_SETTINGS_INFO settings = {};
    settings.LedNum = k.nLed;
    Expect(NLedSetDevice(NLED_SETTINGS_INFO_ID, &settings) == k.fSettings, "LED settings set to fail", k.nLed);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, leds.c_str());

  std::wstring drivers = std::wstring(HANDSET_SETTINGS_KEY) + L"\\Drivers";
  SetString(drivers.c_str(), L"DMP1:", L"missing");
  SetString(drivers.c_str(), L"BKL1:", L"refuses");
  struct {
    LPCWSTR pszName;
    bool fOpens;
    bool fControls;
  } cases[] = {{L"SPI5:", true, true}, {L"DMP1:", false, false}, {L"BKL1:", true, false}, {L"XYZ9:", false, false}};
  for (const auto& c : cases) {
    HANDLE h = HandsetCreateFileW(c.pszName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Expect((h != INVALID_HANDLE_VALUE) == c.fOpens, "driver opens", long(c.pszName[0]));
    if (h == INVALID_HANDLE_VALUE) {
      Expect(GetLastError() == ERROR_FILE_NOT_FOUND, "missing driver's error");
      continue;
    }
    DWORD rgdw[2] = {4, 4};
    Expect(HandsetDeviceIoControl(h, 0x1000, rgdw, sizeof(rgdw), nullptr, 0, nullptr, nullptr) == c.fControls,
           "driver control", long(c.pszName[0]));
    Expect(CloseHandle(h), "driver handle closes");
  }
}

void TestKernelAndEntries() {
  DWORD rgdw[2] = {10, 0x6DF35B70};
  DWORD dwOut = 0;
  Expect(KernelIoControl(0x01013E80, rgdw, sizeof(rgdw), &dwOut, sizeof(dwOut), nullptr), "ERTC write");
  Expect(!KernelIoControl(0x01013E80, rgdw, 4, nullptr, 0, nullptr), "short OEM command");
  Expect(!KernelIoControl(0x1234, rgdw, sizeof(rgdw), nullptr, 0, nullptr) && GetLastError() == ERROR_NOT_SUPPORTED,
         "unknown control code");
  HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
  Expect(GetProcAddressW(hKernel, L"GetTickCount") != nullptr, "entry by 16-bit name");
  Expect(GetProcAddressW(hKernel, L"NoSuchEntry") == nullptr, "missing entry");
  Expect(GetProcAddressW(hKernel, L"GetTick\u00e9Count") == nullptr && GetLastError() == ERROR_PROC_NOT_FOUND,
         "non-ASCII entry name");
}

// What the watcher delivered, for the registry notification test.
struct Deliveries {
  LONG lCount;
  LONG lWithData;
  DWORD dwLastValue;
  HANDLE hEvent;
};
Deliveries g_deliveries = {};

void WatchCallback(HREGNOTIFY /*hNotify*/, DWORD /*dwUserData*/, const PBYTE pData, const UINT cbData) {
  InterlockedIncrement(&g_deliveries.lCount);
  if (pData != nullptr && cbData == sizeof(DWORD)) {
    InterlockedIncrement(&g_deliveries.lWithData);
    memcpy(&g_deliveries.dwLastValue, pData, sizeof(DWORD));
  }
  SetEvent(g_deliveries.hEvent);
}

void TestRegistryNotification() {
  SetDword(kTestKey, L"Counter", 1);
  g_deliveries.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HKEY hKey = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_ALL_ACCESS, &hKey);
  HREGNOTIFY hNotify = nullptr;
  Expect(RegistryNotifyCallback(hKey, nullptr, L"Counter", WatchCallback, 1, nullptr, &hNotify) == S_OK,
         "watch registered");
  RegCloseKey(hKey);  // the watch keeps its own key
  Sleep(200);
  SetDword(kTestKey, L"Other", 5);  // another value of the key: no callback
  Sleep(300);
  Expect(g_deliveries.lCount == 0, "no callback for another value", g_deliveries.lCount);
  SetDword(kTestKey, L"Counter", 2);
  Expect(WaitForSingleObject(g_deliveries.hEvent, 5000) == WAIT_OBJECT_0, "change delivered");
  Expect(g_deliveries.lWithData == 1 && g_deliveries.dwLastValue == 2, "change with its data");
  DeleteValue(kTestKey, L"Counter");
  Expect(WaitForSingleObject(g_deliveries.hEvent, 5000) == WAIT_OBJECT_0, "deletion delivered");
  Expect(g_deliveries.lCount == 2 && g_deliveries.lWithData == 1, "deletion without data");
  Expect(RegistryCloseNotification(hNotify) == S_OK, "watch closed");
  SetDword(kTestKey, L"Counter", 3);
  Sleep(300);
  Expect(g_deliveries.lCount == 2, "no callback after the close", g_deliveries.lCount);
  Expect(RegistryNotifyCallback(nullptr, nullptr, L"Counter", WatchCallback, 1, nullptr, &hNotify) == E_INVALIDARG,
         "watch without a key");
}

LONG g_lRadioReports = 0;
BYTE g_rgbRadioPayload[20];

void RadioNotify(DWORD dwCode, const void* lpData, DWORD cbData, DWORD dwParam) {
  if (dwCode == RIL_NOTIFY_RADIOSTATECHANGED && cbData == sizeof(g_rgbRadioPayload) && dwParam == 9) {
    memcpy(g_rgbRadioPayload, lpData, cbData);
  }
  InterlockedIncrement(&g_lRadioReports);
}

void TestRadio() {
  std::wstring radio = std::wstring(HANDSET_SETTINGS_KEY) + L"\\Radio";
  const BYTE rgbPowerOff[4] = {0x70, 0x17, 0, 0};
  const BYTE rgbOther[4] = {1, 0, 0, 0};
  struct {
    LPCWSTR pszConfirm;
    const BYTE* pbCommand;
    LONG lReports;
  } cases[] = {{L"off", rgbPowerOff, 1}, {L"never", rgbPowerOff, 0}, {L"off", rgbOther, 0}};
  for (const auto& c : cases) {
    SetString(radio.c_str(), L"Confirm", c.pszConfirm);
    SetDword(radio.c_str(), L"ConfirmAfterMs", 100);
    g_lRadioReports = 0;
    HRIL hRil = nullptr;
    Expect(RIL_Initialize(1, nullptr, RadioNotify, RIL_NCLASS_RADIOSTATE, 9, &hRil) == S_OK, "radio opened");
    Expect(RIL_DevSpecific(hRil, c.pbCommand, 4) == S_OK, "command taken");
    Sleep(600);
    Expect(g_lRadioReports == c.lReports, "radio reports", g_lRadioReports);
    Expect(RIL_Deinitialize(hRil) == S_OK, "radio closed");
  }
  Expect(g_rgbRadioPayload[0] == 20 && g_rgbRadioPayload[4] == 1 && g_rgbRadioPayload[8] == 1, "radio-off payload");
  // Closed before its delay: the report never comes.
  SetString(radio.c_str(), L"Confirm", L"off");
  SetDword(radio.c_str(), L"ConfirmAfterMs", 300);
  g_lRadioReports = 0;
  HRIL hRil = nullptr;
  RIL_Initialize(1, nullptr, RadioNotify, RIL_NCLASS_RADIOSTATE, 9, &hRil);
  RIL_DevSpecific(hRil, rgbPowerOff, 4);
  RIL_Deinitialize(hRil);
  Sleep(500);
  Expect(g_lRadioReports == 0, "no report after the close", g_lRadioReports);
  Expect(RIL_DevSpecific(nullptr, rgbPowerOff, 4) == E_INVALIDARG, "command without a radio");
}

struct RadioSeen {
  DWORD dwCode;
  bool fNull;
  DWORD cb;
  DWORD rgdw[4];
};
std::vector<RadioSeen>* g_pRadioSeen = nullptr;

void RadioRecord(DWORD dwCode, const void* lpData, DWORD cbData, DWORD /*dwParam*/) {
  RadioSeen seen{dwCode, lpData == nullptr, cbData, {}};
  if (lpData != nullptr) {
    memcpy(seen.rgdw, lpData, 3 * sizeof(DWORD));  // the block holds at least three words
  }
  g_pRadioSeen->push_back(seen);
}

// How each confirmation mode spoils the report, and further notifications at their times.
void TestRadioReports() {
  std::wstring radio = std::wstring(HANDSET_SETTINGS_KEY) + L"\\Radio";
  std::wstring notify = radio + L"\\Notify\\1";
  const BYTE rgbPowerOff[4] = {0x70, 0x17, 0, 0};
  struct {
    LPCWSTR pszConfirm;
    DWORD cb;
    bool fNull;
    DWORD dwMask;
    DWORD dwState;
  } cases[] = {{L"off", 20, false, 1, 1},
               {L"other_state", 20, false, 1, 2},
               {L"mask_clear", 20, false, 0xFFFFFFFE, 1},
               {L"short_payload", 8, false, 1, 1},
               {L"no_payload", 0, true, 0, 0}};
  std::vector<RadioSeen> seen;
  g_pRadioSeen = &seen;
  SetDword(radio.c_str(), L"ConfirmAfterMs", 50);
  for (const auto& c : cases) {
    SetString(radio.c_str(), L"Confirm", c.pszConfirm);
    seen.clear();
    HRIL hRil = nullptr;
    RIL_Initialize(1, nullptr, RadioRecord, RIL_NCLASS_RADIOSTATE, 0, &hRil);
    RIL_DevSpecific(hRil, rgbPowerOff, 4);
    Sleep(400);
    RIL_Deinitialize(hRil);
    Expect(seen.size() == 1, "one report", long(seen.size()));
    if (seen.size() == 1) {
      Expect(seen[0].cb == c.cb && seen[0].fNull == c.fNull, "report size", long(seen[0].cb));
      // Past a short payload the block reads as a power-off report, as the handset's does.
      Expect(c.fNull || (seen[0].rgdw[1] == c.dwMask && seen[0].rgdw[2] == c.dwState), "report words",
             long(seen[0].rgdw[2]));
    }
  }
  // A further notification before the confirmation, and one of a class not subscribed to.
  SetString(radio.c_str(), L"Confirm", L"never");
  SetDword(notify.c_str(), L"AfterMs", 20);
  SetDword(notify.c_str(), L"Code", RIL_NOTIFY_RADIOSTATECHANGED);
  SetString(notify.c_str(), L"Words", L"100 2");
  SetDword((radio + L"\\Notify\\2").c_str(), L"Code", 0x00400001);
  seen.clear();
  HRIL hRil = nullptr;
  RIL_Initialize(1, nullptr, RadioRecord, RIL_NCLASS_RADIOSTATE, 0, &hRil);
  RIL_DevSpecific(hRil, rgbPowerOff, 4);
  Sleep(300);
  RIL_Deinitialize(hRil);
  Expect(seen.size() == 1 && seen[0].cb == 8 && seen[0].rgdw[0] == 0x100 && seen[0].rgdw[1] == 2,
         "further notification", long(seen.size()));
  // Set to fail, the calls return what they are set to and start nothing.
  SetDword(radio.c_str(), L"InitResult", 0x80004005);
  Expect(RIL_Initialize(1, nullptr, RadioRecord, RIL_NCLASS_RADIOSTATE, 0, &hRil) == HRESULT(0x80004005),
         "initialisation set to fail");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, radio.c_str());
}

// Rules written before the first service call; the services read them once.
void SetFaultRules() {
  std::wstring faults = std::wstring(HANDSET_SETTINGS_KEY) + L"\\Faults";
  SetString(faults.c_str(), L"Rule1", L"GpioSetDirection:77@2");
  SetString(faults.c_str(), L"Rule2", L"GpioSetValue:78@2+");
  SetString(faults.c_str(), L"Rule3", L"KernelIoControl:99");
  SetString(faults.c_str(), L"Rule4", L"GpioSetValue@0");  // malformed: left out
  SetString(faults.c_str(), L"Rule5", L"GetModuleFileNameW@2");
  SetString(faults.c_str(), L"Rule6", L"LoadLibraryW:version.dll");
  SetString(faults.c_str(), L"Rule7", L"CreateFileW:DMP2:");
  SetString(faults.c_str(), L"Rule8", L"RegistryNotifyCallback:Watched7");
  SetString(faults.c_str(), L"Rule9", L"CreateThread@1");
  SetString(faults.c_str(), L"Rule10", L"SetEvent@1");
  SetDword((std::wstring(HANDSET_SETTINGS_KEY) + L"\\Processes").c_str(), L"SnapshotFails", 1);
}

DWORD WINAPI NoWork(LPVOID /*lpParameter*/) { return 0; }

void TestFaultRules() {
  struct {
    const char* pszRule;
    bool fOk;
    const char* pszOp;
    const char* pszDetail;
    long nth;
    bool fAndLater;
  } parse[] = {
      {"GpioSetValue", true, "GpioSetValue", "", 0, false},
      {"CeGetUserNotification:3@1", true, "CeGetUserNotification", "3", 1, false},
      {"NLedGetDeviceInfo:supports:2@4+", true, "NLedGetDeviceInfo", "supports:2", 4, true},
      {"X@0", false, "", "", 0, false},
      {"X@", false, "", "", 0, false},
      {"X@2x", false, "", "", 0, false},
      {"@3", false, "", "", 0, false},
  };
  for (const auto& c : parse) {
    std::string op, detail;
    long nth = -1;
    bool fAndLater = false;
    bool fOk = ParseFaultRule(c.pszRule, &op, &detail, &nth, &fAndLater);
    Expect(fOk == c.fOk, c.pszRule);
    Expect(!fOk || (op == c.pszOp && detail == c.pszDetail && nth == c.nth && fAndLater == c.fAndLater), c.pszRule);
  }
  // @2 fails the second matching call only; @2+ the second and every later one; other
  // details are not counted.
  const bool rgfDirection[] = {true, false, true, true};
  const bool rgfValue[] = {true, false, false, false};
  for (int i = 0; i < 4; i++) {
    Expect(GpioSetDirection(76, 1), "other line's direction", i);
    Expect(GpioSetDirection(77, 1) == rgfDirection[i], "direction by rule", i);
    Expect(GpioSetValue(78, 1) == rgfValue[i], "value by rule", i);
  }
  DWORD rgdw[2] = {99, 0};
  Expect(!KernelIoControl(0x01013E80, rgdw, sizeof(rgdw), nullptr, 0, nullptr) && GetLastError() == ERROR_GEN_FAILURE,
         "OEM command by rule");

  // Real Windows calls of the executable: its import entries are replaced for the rules' calls.
  PatchImportsForFaults();
  const bool rgfPath[] = {true, false, true};
  for (int i = 0; i < 3; i++) {
    WCHAR szPath[MAX_PATH] = {0};
    DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    Expect((cch != 0) == rgfPath[i], "module path by rule", i);
    Expect(cch != 0 || GetLastError() == ERROR_GEN_FAILURE, "module path's error", i);
  }
  Expect(LoadLibraryW(L"version.dll") == nullptr && GetLastError() == ERROR_MOD_NOT_FOUND, "library by rule");
  Expect(LoadLibraryW(L"shlwapi.dll") != nullptr, "other library");
  // The first call fails, the next passes; the services' own calls are not counted.
  HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Expect(!SetEvent(hEvent) && GetLastError() == ERROR_GEN_FAILURE && SetEvent(hEvent), "event set by rule");
  HANDLE hThread = CreateThread(nullptr, 0, NoWork, nullptr, 0, nullptr);
  Expect(hThread == nullptr && GetLastError() == ERROR_NOT_ENOUGH_MEMORY, "thread by rule");
  hThread = CreateThread(nullptr, 0, NoWork, nullptr, 0, nullptr);
  Expect(hThread != nullptr && WaitForSingleObject(hThread, 5000) == WAIT_OBJECT_0, "second thread");
  CloseHandle(hThread);
  CloseHandle(hEvent);
  Expect(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) == INVALID_HANDLE_VALUE &&
             GetLastError() == ERROR_NOT_ENOUGH_MEMORY,
         "no process snapshot");

  // A rule is consulted before the service looks at its argument: a driver that does not exist
  // fails as the rule says, not as a missing driver.
  Expect(HandsetCreateFileW(L"DMP2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE &&
             GetLastError() == ERROR_ACCESS_DENIED,
         "driver open by rule");
  Expect(HandsetCreateFileW(L"DMP3:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE &&
             GetLastError() == ERROR_FILE_NOT_FOUND,
         "missing driver without a rule");
  HREGNOTIFY hNotify = nullptr;
  Expect(
      RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kTestKey, L"Watched7", WatchCallback, 0, nullptr, &hNotify) == E_FAIL,
      "watch by rule");
}

// One quoting rule for every record: the services' text and the Wine runner's programs' text.
void TestJsonQuote() {
  struct Case {
    const char* pszText;
    size_t cch;
    const char* pszQuoted;
  };
  static const Case kCases[] = {
      {"plain", 5, "\"plain\""},
      {"say \"hi\" \\ bye", 14, "\"say \\\"hi\\\" \\\\ bye\""},
      {"a\nb\r\tc", 6, "\"a\\nb\\r\\tc\""},
      {"\x01\x1f\x7f", 3, "\"\\u0001\\u001f\x7f\""},
      {"nul\0end", 7, "\"nul\\u0000end\""},
      {"\xc2\xb5s \xe2\x80\xa6", 7, "\"\xc2\xb5s \xe2\x80\xa6\""},
  };
  for (const Case& c : kCases) {
    const std::string quoted = JsonQuote(std::string_view(c.pszText, c.cch));
    Expect(quoted == c.pszQuoted, c.pszQuoted);
  }
  Expect(JsonText(nullptr) == "null", "a null text is null");
  Expect(JsonText(L"tab\there") == "\"tab\\there\"", "wide text is quoted by the same rule");
}

}  // namespace

int main() {
  // A handset of the test's own: no settings but those each test writes.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, HANDSET_SETTINGS_KEY);
  SetFaultRules();
  TestFaultRules();
  TestRegistryGetString();
  TestNotificationDatabase();
  TestLedsAndDrivers();
  TestKernelAndEntries();
  TestRegistryNotification();
  TestRadio();
  TestRadioReports();
  TestJsonQuote();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, HANDSET_SETTINGS_KEY);
  printf("%s: %d failure(s)\n", g_nFailures == 0 ? "services pass" : "services FAIL", g_nFailures);
  return g_nFailures == 0 ? 0 : 1;
}
