// The radio interface layer of the handset on a PC: a radio thread that answers the power-off
// command with a radio-state notification after a set delay, or never, and sends the handset's
// further notifications at their times.
//
// Settings (under HKLM\Software\Handset\Radio):
//   Confirm          "off" (default): the radio goes off and reports it; "never": no report;
//                    "other_state": it reports another state; "mask_clear": the report's field
//                    mask is clear; "short_payload": the report is 8 bytes; "no_payload": it has
//                    no payload at all (the radio goes off in the last three)
//   ConfirmAfterMs   delay of the report after the command (default 1000)
//   InitResult, CommandResult   an HRESULT that RIL_Initialize / RIL_DevSpecific return instead
//                    of doing anything (default 0: they work)
//   Notify\N         further notifications after the command, N from 1: Code (dword, default
//                    the radio-state code), AfterMs (dword), Words (the payload as 32-bit words in
//                    hex, separated by spaces; absent: no payload at all)
#include "pc/services.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

const DWORD kCommandPowerOff = 6000;
const DWORD kRadioStateOff = 1;
const DWORD kRadioThreadExitWaitMs = 2000;

struct RadioInstance {
  RILNOTIFYCALLBACK pfnNotify;
  DWORD dwParam;
  DWORD dwClasses;
  HANDLE hCommandEvent;  // set when the power-off command arrives
  HANDLE hQuitEvent;     // set when the instance is closed
  HANDLE hThread;
};

struct RadioReport {
  DWORD dwAfterMs;
  DWORD dwCode;
  std::vector<DWORD> words;
  bool fNoPayload;
  bool fRadioOff;  // the radio really went off with this report
};

// The payload of the radio-state report each confirmation mode sends; false for "never".
bool ConfirmReport(const std::wstring& mode, RadioReport* pReport) {
  pReport->dwCode = RIL_NOTIFY_RADIOSTATECHANGED;
  pReport->fNoPayload = false;
  pReport->fRadioOff = mode != L"other_state";
  // cbSize, the parameter mask (the state is given), the state, two reserved words.
  if (mode == L"off") {
    pReport->words = {20, 1, kRadioStateOff, 0, 0};
  } else if (mode == L"other_state") {
    pReport->words = {20, 1, 2, 0, 0};
  } else if (mode == L"mask_clear") {
    pReport->words = {20, 0xFFFFFFFE, kRadioStateOff, 0, 0};
  } else if (mode == L"short_payload") {
    pReport->words = {20, 1};
  } else if (mode == L"no_payload") {
    pReport->words.clear();
    pReport->fNoPayload = true;
  } else {
    return false;
  }
  return true;
}

// The reports the command sets off, in the order they come: the further notifications, then
// the confirmation, each at its delay (a tie keeps that order).
std::vector<RadioReport> Schedule() {
  std::vector<RadioReport> reports;
  for (unsigned n = 1;; n++) {
    WCHAR szKey[32];
    StringCchPrintfW(szKey, 32, L"Radio\\Notify\\%u", n);
    if (!SettingKeyExists(szKey)) {
      break;
    }
    // A payload of no words is an empty one; no Words value at all is no payload.
    std::wstring words = SettingString(szKey, L"Words", L"-");
    RadioReport report{SettingDword(szKey, L"AfterMs", 0),
                       SettingDword(szKey, L"Code", RIL_NOTIFY_RADIOSTATECHANGED),
                       {},
                       words == L"-",
                       false};
    const WCHAR* psz = words.c_str();
    WCHAR* pszEnd = nullptr;
    for (;;) {
      unsigned long ul = wcstoul(psz, &pszEnd, 16);
      if (pszEnd == psz) {
        break;
      }
      report.words.push_back(DWORD(ul));
      psz = pszEnd;
    }
    reports.push_back(report);
  }
  RadioReport confirm{SettingDword(L"Radio", L"ConfirmAfterMs", 1000), 0, {}, false, false};
  if (ConfirmReport(SettingString(L"Radio", L"Confirm", L"off"), &confirm)) {
    reports.push_back(confirm);
  }
  std::stable_sort(reports.begin(), reports.end(),
                   [](const RadioReport& a, const RadioReport& b) { return a.dwAfterMs < b.dwAfterMs; });
  return reports;
}

// Hands one report to the instance when it subscribed to the report's class. The payload's
// block holds at least a power-off report's first three words, as the handset's radio layer
// reuses its buffer: bytes past a short payload read as the rest of such a report.
void Deliver(RadioInstance* pRadio, const RadioReport& report) {
  if ((report.dwCode & 0xFFFF0000u & pRadio->dwClasses) == 0) {
    return;
  }
  DWORD cb = DWORD(report.words.size() * sizeof(DWORD));
  DWORD rgdwBlock[16] = {20, 1, kRadioStateOff};
  memcpy(rgdwBlock, report.words.data(), std::min<size_t>(cb, sizeof(rgdwBlock)));
  cb = std::min<DWORD>(cb, sizeof(rgdwBlock));
  if (report.fRadioOff) {
    LogDevice("radio.off", "");
  }
  LogDevice("radio.notify", "\"code\":" + JsonHex(report.dwCode) +
                                ",\"payload\":" + (report.fNoPayload ? std::string("\"\"") : JsonBytes(rgdwBlock, cb)));
  pRadio->pfnNotify(report.dwCode, report.fNoPayload ? nullptr : rgdwBlock, cb, pRadio->dwParam);
}

// Waits for the power-off command, then sends each report at its time through the instance's
// notification callback. Closing the instance ends the wait.
DWORD WINAPI RadioThread(LPVOID lpParameter) {
  NameThisThread("radio");
  auto* pRadio = static_cast<RadioInstance*>(lpParameter);
  HANDLE rgh[2] = {pRadio->hQuitEvent, pRadio->hCommandEvent};
  if (WaitForMultipleObjects(2, rgh, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
    return 0;
  }
  DWORD dwStart = GetTickCount();
  for (const RadioReport& report : Schedule()) {
    DWORD dwElapsed = GetTickCount() - dwStart;
    DWORD dwWait = report.dwAfterMs > dwElapsed ? report.dwAfterMs - dwElapsed : 0;
    if (WaitForSingleObject(pRadio->hQuitEvent, dwWait) != WAIT_TIMEOUT) {
      return 0;
    }
    Deliver(pRadio, report);
  }
  return 0;
}

}  // namespace

// Opens an instance of the radio layer on port dwIndex and starts its radio thread; *lphRil
// receives the instance. E_FAIL when the thread cannot be started.
HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK /*pfnResult: no command answers*/, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD dwParam, HRIL* lphRil) {
  std::string args = "\"port\":" + std::to_string(dwIndex) + ",\"classes\":" + JsonHex(dwNotificationClasses) +
                     ",\"param\":" + std::to_string(dwParam);
  DWORD dwSetResult = SettingDword(L"Radio", L"InitResult", 0);
  if (dwSetResult != 0 || HandsetFault("RIL_Initialize")) {
    HRESULT hrFail = dwSetResult != 0 ? HRESULT(dwSetResult) : E_FAIL;
    LogCall("RIL_Initialize", args, JsonHex(DWORD(hrFail)), 0, dwSetResult != 0 ? "" : INJECTED_FAULT_JSON);
    return hrFail;
  }
  auto* pRadio = new RadioInstance{pfnNotify,
                                   dwParam,
                                   dwNotificationClasses,
                                   CreateEventW(nullptr, FALSE, FALSE, nullptr),
                                   CreateEventW(nullptr, TRUE, FALSE, nullptr),
                                   nullptr};
  pRadio->hThread = ServiceCreateThread(RadioThread, pRadio, 0, nullptr);
  HRESULT hr = S_OK;
  if (pRadio->hThread == nullptr || pRadio->hCommandEvent == nullptr || pRadio->hQuitEvent == nullptr ||
      pfnNotify == nullptr || lphRil == nullptr) {
    hr = E_FAIL;
  }
  if (hr != S_OK) {
    if (pRadio->hThread != nullptr) {
      ServiceSetEvent(pRadio->hQuitEvent);
      WaitForSingleObject(pRadio->hThread, kRadioThreadExitWaitMs);
      CloseHandle(pRadio->hThread);
    }
    CloseHandle(pRadio->hCommandEvent);
    CloseHandle(pRadio->hQuitEvent);
    delete pRadio;
    LogCall("RIL_Initialize", args, JsonHex(DWORD(hr)));
    return hr;
  }
  *lphRil = pRadio;
  LogCall("RIL_Initialize", args + ",\"handle\":" + JsonHex((ULONG_PTR)pRadio), JsonHex(0));
  return S_OK;
}

// Passes a device-specific command to the modem; the power-off command (6000, a little-endian
// word) starts the radio's power-off. E_INVALIDARG for a null instance or command.
HRESULT RIL_DevSpecific(HRIL hRil, const BYTE* lpbParams, DWORD dwSize) {
  std::string args = "\"handle\":" + JsonHex((ULONG_PTR)hRil) + ",\"size\":" + std::to_string(dwSize) +
                     ",\"bytes\":" + JsonBytes(lpbParams, dwSize);
  if (hRil == nullptr || lpbParams == nullptr) {
    LogCall("RIL_DevSpecific", args, JsonHex(DWORD(E_INVALIDARG)));
    return E_INVALIDARG;
  }
  DWORD dwSetResult = SettingDword(L"Radio", L"CommandResult", 0);
  if (dwSetResult != 0 || HandsetFault("RIL_DevSpecific")) {
    HRESULT hrFail = dwSetResult != 0 ? HRESULT(dwSetResult) : E_FAIL;
    LogCall("RIL_DevSpecific", args, JsonHex(DWORD(hrFail)), 0, dwSetResult != 0 ? "" : INJECTED_FAULT_JSON);
    return hrFail;
  }
  LogCall("RIL_DevSpecific", args, JsonHex(0));
  DWORD dwCommand = 0;
  if (dwSize == sizeof(dwCommand)) {
    memcpy(&dwCommand, lpbParams, sizeof(dwCommand));
  }
  if (dwCommand == kCommandPowerOff) {
    ServiceSetEvent(static_cast<RadioInstance*>(hRil)->hCommandEvent);
  }
  return S_OK;
}

// Closes an instance: its radio thread is stopped (a report under way is waited for, bounded)
// and no callback comes after this returns. A null instance is E_INVALIDARG.
HRESULT RIL_Deinitialize(HRIL hRil) {
  std::string args = "\"handle\":" + JsonHex((ULONG_PTR)hRil);
  if (hRil == nullptr) {
    LogCall("RIL_Deinitialize", args, JsonHex(DWORD(E_INVALIDARG)));
    return E_INVALIDARG;
  }
  auto* pRadio = static_cast<RadioInstance*>(hRil);
  ServiceSetEvent(pRadio->hQuitEvent);
  if (GetThreadId(pRadio->hThread) != GetCurrentThreadId()) {
    WaitForSingleObject(pRadio->hThread, kRadioThreadExitWaitMs);
  }
  CloseHandle(pRadio->hThread);
  CloseHandle(pRadio->hCommandEvent);
  CloseHandle(pRadio->hQuitEvent);
  delete pRadio;
  LogCall("RIL_Deinitialize", args, "0");
  return S_OK;
}
