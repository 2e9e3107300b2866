// Shell registry services of the handset on a PC: a string read in one call, and a callback on
// the change of one value, delivered by a watcher thread built on RegNotifyChangeKeyValue.
#include "pc/services.h"

#include <vector>

namespace {

const DWORD kWatcherExitWaitMs = 5000;

struct Watch {
  HKEY hKey;  // the watcher's own handle: the caller may close its key once registered
  std::wstring value;
  REGISTRYNOTIFYCALLBACK pfnCallback;
  DWORD dwUserData;
  HANDLE hChangeEvent;
  HANDLE hQuitEvent;
  HANDLE hThread;
  DWORD dwThreadId;
  LONG lClosedFromCallback;  // the callback closed the watch: the thread frees it on its way out
};

// The value's bytes, or false when it does not exist.
bool ReadValue(HKEY hKey, const std::wstring& value, std::vector<BYTE>* pData) {
  DWORD cb = 0;
  if (RegQueryValueExW(hKey, value.c_str(), nullptr, nullptr, nullptr, &cb) != ERROR_SUCCESS) {
    return false;
  }
  pData->assign(cb, 0);
  if (RegQueryValueExW(hKey, value.c_str(), nullptr, nullptr, pData->data(), &cb) != ERROR_SUCCESS) {
    return false;
  }
  pData->resize(cb);
  return true;
}

void FreeWatch(Watch* pWatch) {
  RegCloseKey(pWatch->hKey);
  CloseHandle(pWatch->hChangeEvent);
  CloseHandle(pWatch->hQuitEvent);
  CloseHandle(pWatch->hThread);
  delete pWatch;
}

// Calls the program back whenever the watched value's existence or bytes differ from what it
// last saw: with the data, or with a null pointer when the value was deleted. The notification
// is armed before the value is read, so that a change made while the callback runs (or between
// two looks) is not lost.
DWORD WINAPI WatcherThread(LPVOID lpParameter) {
  NameThisThread("regnotify");
  auto* pWatch = static_cast<Watch*>(lpParameter);
  std::vector<BYTE> seen;
  bool fSeen = ReadValue(pWatch->hKey, pWatch->value, &seen);
  for (;;) {
    if (RegNotifyChangeKeyValue(pWatch->hKey, FALSE, REG_NOTIFY_CHANGE_LAST_SET, pWatch->hChangeEvent, TRUE) !=
        ERROR_SUCCESS) {
      break;
    }
    std::vector<BYTE> now;
    bool fNow = ReadValue(pWatch->hKey, pWatch->value, &now);
    if (fNow != fSeen || now != seen) {
      fSeen = fNow;
      seen = now;
      LogDevice("registry.callback",
                "\"notification\":" + JsonHex((ULONG_PTR)pWatch) + ",\"has_data\":" + JsonBool(fNow));
      // A changed value always comes with a data pointer, also when it holds no bytes.
      std::vector<BYTE> data(now);
      data.push_back(0);
      pWatch->pfnCallback(reinterpret_cast<HREGNOTIFY>(pWatch), pWatch->dwUserData, fNow ? data.data() : nullptr,
                          fNow ? UINT(now.size()) : 0);
      if (pWatch->lClosedFromCallback) {
        FreeWatch(pWatch);
        return 0;
      }
    }
    HANDLE rgh[2] = {pWatch->hQuitEvent, pWatch->hChangeEvent};
    if (WaitForMultipleObjects(2, rgh, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      break;
    }
  }
  return 0;
}

std::string KeyArgs(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName) {
  return "\"root\":" + JsonHex((ULONG_PTR)hkey) + ",\"subkey\":" + JsonText(pszSubKey != nullptr ? pszSubKey : L"") +
         ",\"value\":" + JsonText(pszValueName);
}

std::string HrJson(HRESULT hr) { return JsonHex(DWORD(hr)); }

}  // namespace

// Reads the string value pszValueName of hkey\pszSubKey (pszSubKey may be null) into pszData,
// terminated, in at most cchData characters. S_OK; E_INVALIDARG for a missing buffer or a value
// that is no string; HRESULT_FROM_WIN32 of ERROR_FILE_NOT_FOUND for a missing key or value and
// of ERROR_INSUFFICIENT_BUFFER for a string that does not fit (pszData then holds nothing).
HRESULT RegistryGetString(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPWSTR pszData, UINT cchData) {
  std::string args = KeyArgs(hkey, pszSubKey, pszValueName) + ",\"capacity\":" + std::to_string(cchData);
  if (pszData == nullptr || cchData == 0) {
    LogCall("RegistryGetString", args, HrJson(E_INVALIDARG));
    return E_INVALIDARG;
  }
  pszData[0] = 0;
  if (HandsetFault("RegistryGetString", Utf8Text(pszSubKey))) {
    LogCall("RegistryGetString", args, HrJson(E_FAIL), 0, INJECTED_FAULT_JSON);
    return E_FAIL;
  }
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hkey, pszSubKey != nullptr ? pszSubKey : L"", 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
    HRESULT hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    LogCall("RegistryGetString", args, HrJson(hr));
    return hr;
  }
  std::vector<BYTE> data;
  DWORD dwType = 0;
  DWORD cb = 0;
  HRESULT hr = S_OK;
  if (RegQueryValueExW(hKey, pszValueName, nullptr, &dwType, nullptr, &cb) != ERROR_SUCCESS ||
      !ReadValue(hKey, pszValueName != nullptr ? pszValueName : L"", &data)) {
    hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  } else if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) {
    hr = E_INVALIDARG;
  }
  RegCloseKey(hKey);
  if (hr != S_OK) {
    LogCall("RegistryGetString", args, HrJson(hr));
    return hr;
  }
  // The stored bytes need not end with a terminator: the text ends at the first one or at the
  // end of the data.
  std::wstring text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    WCHAR wc = WCHAR(data[i] | (data[i + 1] << 8));
    if (wc == 0) {
      break;
    }
    text += wc;
  }
  if (text.size() + 1 > cchData) {
    hr = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    LogCall("RegistryGetString", args, HrJson(hr));
    return hr;
  }
  memcpy(pszData, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  LogCall("RegistryGetString", args + ",\"text\":" + JsonText(pszData), "0");
  return S_OK;
}

// Watches the value pszValueName of hkey\pszSubKey: pfnCallback is called on the watcher thread
// ("regnotify") each time the value changes, with its bytes, or with a null pointer once it is
// deleted. The condition is not supported (it must be null). *phNotify receives the watch.
// E_INVALIDARG for a missing key, callback or handle place; HRESULT_FROM_WIN32 of the failure
// when the key cannot be opened or the thread started.
HRESULT RegistryNotifyCallback(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName, REGISTRYNOTIFYCALLBACK pfnCallback,
                               DWORD dwUserData, PNOTIFICATIONCONDITION pCondition, HREGNOTIFY* phNotify) {
  std::string args = "\"key\":" + JsonHex((ULONG_PTR)hkey) +
                     ",\"subkey\":" + JsonText(pszSubKey != nullptr ? pszSubKey : L"") +
                     ",\"value\":" + JsonText(pszValueName) + ",\"user_data\":" + std::to_string(dwUserData) +
                     ",\"condition\":" + (pCondition != nullptr ? "\"set\"" : "null");
  if (hkey == nullptr || pfnCallback == nullptr || phNotify == nullptr || pCondition != nullptr) {
    LogCall("RegistryNotifyCallback", args, HrJson(E_INVALIDARG));
    return E_INVALIDARG;
  }
  if (HandsetFault("RegistryNotifyCallback", Utf8Text(pszValueName))) {
    LogCall("RegistryNotifyCallback", args, HrJson(E_FAIL), 0, INJECTED_FAULT_JSON);
    return E_FAIL;
  }
  auto* pWatch = new Watch{
      nullptr, pszValueName != nullptr ? pszValueName : L"", pfnCallback, dwUserData, nullptr, nullptr, nullptr, 0, 0};
  LONG lResult =
      RegOpenKeyExW(hkey, pszSubKey != nullptr ? pszSubKey : L"", 0, KEY_NOTIFY | KEY_QUERY_VALUE, &pWatch->hKey);
  if (lResult != ERROR_SUCCESS) {
    delete pWatch;
    LogCall("RegistryNotifyCallback", args, HrJson(HRESULT_FROM_WIN32(lResult)));
    return HRESULT_FROM_WIN32(lResult);
  }
  pWatch->hChangeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  pWatch->hQuitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  pWatch->hThread = ServiceCreateThread(WatcherThread, pWatch, CREATE_SUSPENDED, &pWatch->dwThreadId);
  if (pWatch->hThread == nullptr || pWatch->hChangeEvent == nullptr || pWatch->hQuitEvent == nullptr) {
    DWORD dwError = GetLastError();
    if (pWatch->hThread != nullptr) {
      TerminateThread(pWatch->hThread, 0);  // never ran: it was created suspended
    }
    FreeWatch(pWatch);
    LogCall("RegistryNotifyCallback", args, HrJson(HRESULT_FROM_WIN32(dwError)));
    return HRESULT_FROM_WIN32(dwError);
  }
  *phNotify = reinterpret_cast<HREGNOTIFY>(pWatch);
  LogCall("RegistryNotifyCallback", args + ",\"notification\":" + JsonHex((ULONG_PTR)pWatch), "0");
  ResumeThread(pWatch->hThread);
  return S_OK;
}

// Ends a watch: no callback starts after this returns. Called from the watch's own callback it
// returns at once and the watcher thread ends after the callback; from elsewhere it waits for
// the watcher thread to end (bounded). E_INVALIDARG for a null watch.
HRESULT RegistryCloseNotification(HREGNOTIFY hNotify) {
  std::string args = "\"notification\":" + JsonHex((ULONG_PTR)hNotify);
  if (hNotify == nullptr) {
    LogCall("RegistryCloseNotification", args, HrJson(E_INVALIDARG));
    return E_INVALIDARG;
  }
  auto* pWatch = reinterpret_cast<Watch*>(hNotify);
  LogCall("RegistryCloseNotification", args, "0");
  ServiceSetEvent(pWatch->hQuitEvent);
  if (pWatch->dwThreadId == GetCurrentThreadId()) {
    pWatch->lClosedFromCallback = 1;
    return S_OK;
  }
  if (WaitForSingleObject(pWatch->hThread, kWatcherExitWaitMs) == WAIT_OBJECT_0) {
    FreeWatch(pWatch);
  }
  // A watcher that did not end in time keeps its resources: freeing them under it would be
  // worse than the leak.
  return S_OK;
}
