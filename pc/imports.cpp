// Failures of real Windows calls of the program, by the handset's fault rules: at start-up the
// program's import entries for the operations a rule names are pointed at replacements that
// consult the rules and fail as the handset's platform fails them, or pass the call on. The
// services of this library make such calls through ServiceCreateThread and ServiceSetEvent, which
// bypass the import entries, so that each rule counts the program's calls alone; an entry no
// rule names is left as it is.
#include "pc/services.h"

#include <mmsystem.h>

namespace {

decltype(&GetModuleFileNameW) g_pfnGetModuleFileNameW = nullptr;
decltype(&LoadStringW) g_pfnLoadStringW = nullptr;
decltype(&LoadLibraryW) g_pfnLoadLibraryW = nullptr;
decltype(&FindWindowW) g_pfnFindWindowW = nullptr;
decltype(&SetWindowsHookExW) g_pfnSetWindowsHookExW = nullptr;
decltype(&GetFileSize) g_pfnGetFileSize = nullptr;
decltype(&PlaySoundW) g_pfnPlaySoundW = nullptr;
decltype(&CreateThread) g_pfnCreateThread = nullptr;
decltype(&SetEvent) g_pfnSetEvent = nullptr;
decltype(&CreateToolhelp32Snapshot) g_pfnCreateToolhelp32Snapshot = nullptr;

// The kernel's own entry, not the executable's import entry.
template <class Fn>
Fn KernelEntry(const char* pszName) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), pszName)));
}

HANDLE WINAPI FaultyCreateThread(LPSECURITY_ATTRIBUTES lpAttributes, SIZE_T cbStack, LPTHREAD_START_ROUTINE pfnStart,
                                 LPVOID lpParameter, DWORD dwFlags, LPDWORD lpThreadId) {
  if (HandsetFault("CreateThread")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return g_pfnCreateThread(lpAttributes, cbStack, pfnStart, lpParameter, dwFlags, lpThreadId);
}

BOOL WINAPI FaultySetEvent(HANDLE hEvent) {
  if (HandsetFault("SetEvent")) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return g_pfnSetEvent(hEvent);
}

DWORD WINAPI FaultyGetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (HandsetFault("GetModuleFileNameW")) {
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  return g_pfnGetModuleFileNameW(hModule, lpFilename, nSize);
}

int WINAPI FaultyLoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  // Only a string that exists is failed by a rule.
  int cch = g_pfnLoadStringW(hInstance, uID, lpBuffer, cchBufferMax);
  if (cch > 0 && HandsetFault("LoadStringW", std::to_string(uID))) {
    if (cchBufferMax > 0 && lpBuffer != nullptr) {
      lpBuffer[0] = 0;
    }
    SetLastError(ERROR_NOT_FOUND);
    return 0;
  }
  return cch;
}

HMODULE WINAPI FaultyLoadLibraryW(LPCWSTR lpLibFileName) {
  if (HandsetFault("LoadLibraryW", Utf8Text(lpLibFileName))) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return g_pfnLoadLibraryW(lpLibFileName);
}

HWND WINAPI FaultyFindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  if (HandsetFault("FindWindowW", Utf8Text(lpWindowName))) {
    return nullptr;
  }
  return g_pfnFindWindowW(lpClassName, lpWindowName);
}

HHOOK WINAPI FaultySetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId) {
  if (HandsetFault("SetWindowsHookExW")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return g_pfnSetWindowsHookExW(idHook, lpfn, hmod, dwThreadId);
}

DWORD WINAPI FaultyGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  if (HandsetFault("GetFileSize")) {
    SetLastError(ERROR_GEN_FAILURE);
    return INVALID_FILE_SIZE;
  }
  return g_pfnGetFileSize(hFile, lpFileSizeHigh);
}

BOOL WINAPI FaultyPlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound) {
  if (HandsetFault("PlaySoundW")) {
    return FALSE;
  }
  return g_pfnPlaySoundW(pszSound, hmod, fdwSound);
}

// A handset set so (Processes\SnapshotFails) has no process snapshot: every call fails with
// Processes\SnapshotError (default ERROR_NOT_ENOUGH_MEMORY).
HANDLE WINAPI FailingCreateToolhelp32Snapshot(DWORD /*dwFlags*/, DWORD /*th32ProcessID*/) {
  SetLastError(SettingDword(L"Processes", L"SnapshotError", ERROR_NOT_ENOUGH_MEMORY));
  return INVALID_HANDLE_VALUE;
}

struct Replacement {
  const char* pszName;
  void* pfnReplacement;
  void** ppfnOriginal;
};

const Replacement kReplacements[] = {
    {"GetModuleFileNameW", (void*)FaultyGetModuleFileNameW, (void**)&g_pfnGetModuleFileNameW},
    {"LoadStringW", (void*)FaultyLoadStringW, (void**)&g_pfnLoadStringW},
    {"LoadLibraryW", (void*)FaultyLoadLibraryW, (void**)&g_pfnLoadLibraryW},
    {"FindWindowW", (void*)FaultyFindWindowW, (void**)&g_pfnFindWindowW},
    {"SetWindowsHookExW", (void*)FaultySetWindowsHookExW, (void**)&g_pfnSetWindowsHookExW},
    {"GetFileSize", (void*)FaultyGetFileSize, (void**)&g_pfnGetFileSize},
    {"PlaySoundW", (void*)FaultyPlaySoundW, (void**)&g_pfnPlaySoundW},
    {"CreateThread", (void*)FaultyCreateThread, (void**)&g_pfnCreateThread},
    {"SetEvent", (void*)FaultySetEvent, (void**)&g_pfnSetEvent},
    {"CreateToolhelp32Snapshot", (void*)FailingCreateToolhelp32Snapshot, (void**)&g_pfnCreateToolhelp32Snapshot},
};

// Whether the replacement is wanted: a rule names its call, or the handset is set so.
bool Wanted(const Replacement& replacement) {
  if (lstrcmpA(replacement.pszName, "CreateToolhelp32Snapshot") == 0) {
    return SettingDword(L"Processes", L"SnapshotFails", 0) != 0;
  }
  return HandsetFaultNamed(replacement.pszName);
}

// Points one import entry at pfn, keeping the original.
void Repoint(void** ppEntry, const Replacement& replacement) {
  DWORD dwOld = 0;
  if (VirtualProtect(ppEntry, sizeof(void*), PAGE_READWRITE, &dwOld)) {
    *replacement.ppfnOriginal = *ppEntry;
    *ppEntry = replacement.pfnReplacement;
    VirtualProtect(ppEntry, sizeof(void*), dwOld, &dwOld);
  }
}

}  // namespace

HANDLE ServiceCreateThread(LPTHREAD_START_ROUTINE pfnStart, LPVOID lpParameter, DWORD dwFlags, LPDWORD lpThreadId) {
  static auto pfnCreateThread = KernelEntry<decltype(&CreateThread)>("CreateThread");
  return pfnCreateThread(nullptr, 0, pfnStart, lpParameter, dwFlags, lpThreadId);
}

BOOL ServiceSetEvent(HANDLE hEvent) {
  static auto pfnSetEvent = KernelEntry<decltype(&SetEvent)>("SetEvent");
  return pfnSetEvent(hEvent);
}

void PatchImportsForFaults() {
  auto* pbBase = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  auto* pDos = reinterpret_cast<IMAGE_DOS_HEADER*>(pbBase);
  auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pbBase + pDos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) {
    return;
  }
  bool rgfNamed[sizeof(kReplacements) / sizeof(kReplacements[0])];
  bool fAny = false;
  for (size_t i = 0; i < sizeof(kReplacements) / sizeof(kReplacements[0]); i++) {
    rgfNamed[i] = Wanted(kReplacements[i]);
    fAny = fAny || rgfNamed[i];
  }
  if (!fAny) {
    return;
  }
  for (auto* pImport = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pbBase + dir.VirtualAddress); pImport->Name != 0;
       pImport++) {
    auto* pNames = reinterpret_cast<IMAGE_THUNK_DATA*>(pbBase + pImport->OriginalFirstThunk);
    auto* pEntries = reinterpret_cast<void**>(pbBase + pImport->FirstThunk);
    for (; pImport->OriginalFirstThunk != 0 && pNames->u1.AddressOfData != 0; pNames++, pEntries++) {
      if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal)) {
        continue;
      }
      auto* pByName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pbBase + pNames->u1.AddressOfData);
      for (size_t i = 0; i < sizeof(kReplacements) / sizeof(kReplacements[0]); i++) {
        if (rgfNamed[i] && lstrcmpA(reinterpret_cast<const char*>(pByName->Name), kReplacements[i].pszName) == 0) {
          Repoint(pEntries, kReplacements[i]);
        }
      }
    }
  }
}
