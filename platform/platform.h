// The one header through which the program reaches the handset's operating system.
//
// It declares the target's types (32-bit DWORD/BOOL/LONG, 16-bit WCHAR, opaque handles),
// the constants the program relies on and every platform operation the program calls. Which
// declarations a build gets is said by the build, not guessed from the compiler (a compiler for
// the handset's system defines _WIN32 as a PC's does):
//   HS_PLATFORM_PC   a build for a Windows PC (the windows and windows32 presets): the real
//                    Windows API plus the handset-only services, implemented by pc/
//                    (platform_windows.h);
//   _WIN32_WCE       a compiler for the handset's own system: its SDK plus the handset-only
//                    services (platform_handset.h);
//   neither, on Linux the simulated handset (sim/) implements what is declared below.
// The handset-only services are declared once, in handset_services.h. No behaviour lives here.
#pragma once

#if defined(HS_PLATFORM_PC)
#include "platform/platform_windows.h"
#elif defined(_WIN32_WCE)
#include "platform/platform_handset.h"
#elif defined(_WIN32)
#error                                                                                             \
    "a Windows compiler: define HS_PLATFORM_PC for a build for a PC (the windows presets do), or build for the handset with its SDK (_WIN32_WCE)"
#else

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Scalar types of the target
// ---------------------------------------------------------------------------------------------
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t BOOL;
typedef std::int32_t LONG;
typedef std::int32_t INT;
typedef std::uint32_t UINT;
typedef std::uint32_t ULONG;
typedef std::int32_t HRESULT;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

// Text is 16-bit on the handset: a 260-byte read holds 130 characters there and here.
typedef char16_t WCHAR;
typedef WCHAR TCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
typedef char CHAR;
typedef const char *LPCSTR;

typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef BYTE *PBYTE;
typedef LONG *PLONG;

#define TEXT(s)                   u##s
// A parameter a routine takes for its signature's sake and does not read.
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define WINAPI
#define CALLBACK
#ifndef TRUE
#define TRUE  1
#define FALSE 0
#endif

// Opaque handles. Distinct types keep a window from being passed where a key is expected.
typedef void *HANDLE;
typedef struct HKEY__ *HKEY;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HHOOK__ *HHOOK;
typedef LONG_PTR (*FARPROC)();

#define INVALID_HANDLE_VALUE        ((HANDLE)(LONG_PTR)-1)

// ---------------------------------------------------------------------------------------------
// Status codes, last-error values, wait results
// ---------------------------------------------------------------------------------------------
#define ERROR_SUCCESS               0L
#define ERROR_FILE_NOT_FOUND        2L
#define ERROR_PATH_NOT_FOUND        3L
#define ERROR_ACCESS_DENIED         5L
#define ERROR_INVALID_HANDLE        6L
#define ERROR_NOT_ENOUGH_MEMORY     8L
#define ERROR_OUTOFMEMORY           14L
#define ERROR_NO_MORE_FILES         18L
#define ERROR_GEN_FAILURE           31L
#define ERROR_NOT_SUPPORTED         50L
#define ERROR_INVALID_PARAMETER     87L
#define ERROR_INSUFFICIENT_BUFFER   122L
#define ERROR_MOD_NOT_FOUND         126L
#define ERROR_PROC_NOT_FOUND        127L
#define ERROR_ALREADY_EXISTS        183L
#define ERROR_MORE_DATA             234L
#define ERROR_NO_MORE_ITEMS         259L
#define ERROR_NOT_OWNER             288L
#define ERROR_DEVICE_NOT_CONNECTED  1167L
#define ERROR_NOT_FOUND             1168L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_HOOK_NEEDS_HMOD       1428L
#define ERROR_TIMEOUT               1460L

#define S_OK                          ((HRESULT)0)
#define E_FAIL                        ((HRESULT)0x80004005L)
#define E_INVALIDARG                  ((HRESULT)0x80070057L)
#define E_OUTOFMEMORY                 ((HRESULT)0x8007000EL)
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define HRESULT_FROM_WIN32(x)                                                                      \
    ((HRESULT)(x) <= 0 ? (HRESULT)(x) : (HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000))
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr)    (((HRESULT)(hr)) < 0)

#define INFINITE           0xFFFFFFFFu
#define WAIT_OBJECT_0      0x00000000u
#define WAIT_ABANDONED     0x00000080u
#define WAIT_TIMEOUT       258u
#define WAIT_FAILED        0xFFFFFFFFu

// ---------------------------------------------------------------------------------------------
// Records of the target
// ---------------------------------------------------------------------------------------------
typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;
static_assert(sizeof(SYSTEMTIME) == 16, "calendar record is 16 bytes");

typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED *LPOVERLAPPED;

// Process snapshot record; 564 bytes on the handset and on the host.
#define MAX_PATH           260
typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH];
    DWORD th32MemoryBase;
    DWORD th32AccessKey;
} PROCESSENTRY32, *LPPROCESSENTRY32;
static_assert(sizeof(PROCESSENTRY32) == 564, "process record is 564 bytes");

// ---------------------------------------------------------------------------------------------
// Constants of the operations
// ---------------------------------------------------------------------------------------------
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define KEY_ALL_ACCESS     0xF003Fu
#define REG_NONE           0u
#define REG_SZ             1u
#define REG_EXPAND_SZ      2u
#define REG_BINARY         3u
#define REG_DWORD          4u
#define REG_MULTI_SZ       7u

#define GENERIC_READ          0x80000000u
#define GENERIC_WRITE         0x40000000u
#define FILE_SHARE_READ       0x00000001u
#define OPEN_EXISTING         3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_SIZE     0xFFFFFFFFu

#define LMEM_FIXED    0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR          (LMEM_FIXED | LMEM_ZEROINIT)

#define WM_CLOSE          0x0010u
#define WM_COMMAND        0x0111u
#define IDOK              1
#define IDCANCEL          2
#define IDYES             6
#define IDNO              7
#define MB_YESNO          0x00000004u
#define MB_ICONQUESTION   0x00000020u
#define MB_TOPMOST        0x00040000u
// The window class of a message box on this platform.
#define MESSAGE_BOX_CLASS TEXT("Dialog")

#define WH_KEYBOARD_LL 20
#define HC_ACTION      0
#define WM_KEYDOWN     0x0100u
#define WM_KEYUP       0x0101u
typedef struct tagKBDLLHOOKSTRUCT {
    DWORD vkCode;
    DWORD scanCode;
    DWORD flags;
    DWORD time;
    ULONG_PTR dwExtraInfo;
} KBDLLHOOKSTRUCT;

#define PROCESS_ALL_ACCESS 0x001F0FFFu
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPNOHEAPS 0x40000000u

#define SND_ASYNC  0x0001u
#define SND_MEMORY 0x0004u

// ---------------------------------------------------------------------------------------------
// Callback types
// ---------------------------------------------------------------------------------------------
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID lpParameter);
typedef BOOL (*WNDENUMPROC)(HWND hWnd, LPARAM lParam);
typedef LRESULT (*HOOKPROC)(int nCode, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------------------------
// Process entry: the platform starts the program here with its command line.
// ---------------------------------------------------------------------------------------------
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

// ---------------------------------------------------------------------------------------------
// Trace and text formatting (Microsoft-style wide formats: %s is a wide string)
// ---------------------------------------------------------------------------------------------
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
// Formats into pszDest, never writing more than cchDest characters (terminator included).
HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);

// Helpers for 16-bit text (never use the host's wchar_t routines on WCHAR text).
int lstrlenW(LPCWSTR lpString);
// Copies at most iMaxLength - 1 characters and always terminates (iMaxLength > 0).
LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2); // ASCII letters compared without case
LPWSTR StrChrW(LPCWSTR lpStart, WCHAR wMatch);       // first occurrence, or null
LPWSTR StrRChrW(LPCWSTR lpStart, LPCWSTR lpEnd,
                WCHAR wMatch);                   // last occurrence (lpEnd null: whole)
LPWSTR StrStrW(LPCWSTR lpFirst, LPCWSTR lpSrch); // first occurrence, case kept, or null
// Decimal text to long as the platform's wide strtol reads it (white space, sign, digits).
LONG _wtol(LPCWSTR str);

// ---------------------------------------------------------------------------------------------
// Synchronisation
// ---------------------------------------------------------------------------------------------
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);
BOOL CloseHandle(HANDLE hObject);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount(void);
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

// ---------------------------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------------------------
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, DWORD samDesired, HKEY *phkResult);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

// ---------------------------------------------------------------------------------------------
// Windows, resources, hooks
// ---------------------------------------------------------------------------------------------
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
BOOL SetForegroundWindow(HWND hWnd);
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
BOOL IsWindowVisible(HWND hWnd);
DWORD GetCurrentProcessId(void);
HHOOK SetWindowsHookExW(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId);
LRESULT CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam);
BOOL UnhookWindowsHookEx(HHOOK hhk);

// ---------------------------------------------------------------------------------------------
// Processes and libraries
// ---------------------------------------------------------------------------------------------
HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot);
HANDLE OpenProcess(DWORD fdwAccess, BOOL fInherit, DWORD IDProcess);
BOOL TerminateProcess(HANDLE hProcess, DWORD uExitCode);
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);

// ---------------------------------------------------------------------------------------------
// Memory, files and devices
// ---------------------------------------------------------------------------------------------
LPVOID LocalAlloc(UINT uFlags, UINT uBytes); // null when out of memory
LPVOID LocalFree(LPVOID hMem);               // null on success
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);

// ---------------------------------------------------------------------------------------------
// Other services
// ---------------------------------------------------------------------------------------------
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
BOOL PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound);

#include "platform/handset_services.h"

#endif // the simulated handset
