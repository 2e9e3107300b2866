// The radio interface layer of the handset on a PC: a radio thread that answers the power-off
// command with a radio-state notification after a set delay, or never.
//
// Settings (under HKLM\Software\Handset\Radio):
//   Confirm          "off" (default): the radio goes off and reports it; "never": no report
//   ConfirmAfterMs   delay of the report after the command (default 1000)
#include "pc/services.h"

namespace {

const DWORD kCommandPowerOff = 6000;
const DWORD kRadioStateOff = 1;
const DWORD kRadioThreadExitWaitMs = 2000;

struct RadioInstance {
  RILNOTIFYCALLBACK pfnNotify;
  DWORD dwParam;
  HANDLE hCommandEvent;  // set when the power-off command arrives
  HANDLE hQuitEvent;     // set when the instance is closed
  HANDLE hThread;
};

// Waits for the power-off command, then for the radio's delay, then reports the radio off
// through the instance's notification callback. Closing the instance ends the wait.
DWORD WINAPI RadioThread(LPVOID lpParameter) {
  NameThisThread("radio");
  auto* pRadio = static_cast<RadioInstance*>(lpParameter);
  HANDLE rgh[2] = {pRadio->hQuitEvent, pRadio->hCommandEvent};
  if (WaitForMultipleObjects(2, rgh, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
    return 0;
  }
  if (SettingString(L"Radio", L"Confirm", L"off") != L"off") {
    return 0;
  }
  DWORD dwDelay = SettingDword(L"Radio", L"ConfirmAfterMs", 1000);
  if (WaitForSingleObject(pRadio->hQuitEvent, dwDelay) != WAIT_TIMEOUT) {
    return 0;
  }
  // cbSize, the parameter mask (the state is given), the state, two reserved words.
  DWORD rgdwPayload[5] = {sizeof(rgdwPayload), 1, kRadioStateOff, 0, 0};
  LogDevice("radio.off", "");
  LogDevice("radio.notify", "\"code\":" + JsonHex(RIL_NOTIFY_RADIOSTATECHANGED) +
                                ",\"payload\":" + JsonBytes(rgdwPayload, sizeof(rgdwPayload)));
  pRadio->pfnNotify(RIL_NOTIFY_RADIOSTATECHANGED, rgdwPayload, sizeof(rgdwPayload), pRadio->dwParam);
  return 0;
}

}  // namespace

// Opens an instance of the radio layer on port dwIndex and starts its radio thread; *lphRil
// receives the instance. E_FAIL when the thread cannot be started.
HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK /*pfnResult: no command answers*/, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD dwParam, HRIL* lphRil) {
  auto* pRadio = new RadioInstance{pfnNotify, dwParam, CreateEventW(nullptr, FALSE, FALSE, nullptr),
                                   CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr};
  pRadio->hThread = CreateThread(nullptr, 0, RadioThread, pRadio, 0, nullptr);
  HRESULT hr = S_OK;
  if (pRadio->hThread == nullptr || pRadio->hCommandEvent == nullptr || pRadio->hQuitEvent == nullptr ||
      pfnNotify == nullptr || lphRil == nullptr) {
    hr = E_FAIL;
  }
  std::string args = "\"port\":" + std::to_string(dwIndex) + ",\"classes\":" + JsonHex(dwNotificationClasses) +
                     ",\"param\":" + std::to_string(dwParam);
  if (hr != S_OK) {
    if (pRadio->hThread != nullptr) {
      SetEvent(pRadio->hQuitEvent);
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
  LogCall("RIL_DevSpecific", args, JsonHex(0));
  DWORD dwCommand = 0;
  if (dwSize >= sizeof(dwCommand)) {
    memcpy(&dwCommand, lpbParams, sizeof(dwCommand));
  }
  if (dwCommand == kCommandPowerOff) {
    SetEvent(static_cast<RadioInstance*>(hRil)->hCommandEvent);
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
  SetEvent(pRadio->hQuitEvent);
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
