// Shared parts of the handset-only services on a Windows PC: the event log every service
// writes to, and the handset settings read from the registry.
//
// The event log has the form of the simulator's `--events` log (JSON Lines), with the fields
// that apply on a PC: seq, t_us (wall time since the process started), kind, thread, tid, pid
// (the process: instances of the program write to the same log), op, args, result, last_error. The file is named by the
// environment variable HANDSET_EVENT_LOG; without it nothing is written.
#pragma once

#include "platform/platform.h"

#include <string>

// The services use the real calls; only the program's own are recorded.
#undef CreateMutexW
#undef CreateEventW
#undef CloseHandle
#undef WaitForSingleObject
#undef MessageBoxW
#undef CreateFileW
#undef DeviceIoControl

// The key under HKEY_LOCAL_MACHINE that describes the handset to these services.
#define HANDSET_SETTINGS_KEY L"Software\\Handset"

// JSON text of a value: a quoted UTF-8 string of 16-bit text (null: null), a hex number
// ("0x1A2B"), a boolean, and a run of bytes as hex pairs ("01 00 00 00").
std::string JsonText(LPCWSTR psz);
std::string JsonHex(ULONG_PTR u);
// The UTF-8 text of 16-bit text, unquoted (null: empty), as fault rules name details.
std::string Utf8Text(LPCWSTR psz);
std::string JsonBool(BOOL f);
std::string JsonBytes(const void* pv, DWORD cb);

// Appends one record. argsJson is the body of the args object without its braces
// ("\"code\":\"0x10\",\"in_size\":8"); resultJson is JSON text or empty for no result;
// extraJson holds further fields of the record. A call record carries the calling thread's name
// and the last error when it is not 0.
void LogCall(const char* pszOp, const std::string& argsJson, const std::string& resultJson, DWORD dwLastError = 0,
             const std::string& extraJson = "");
// A change the handset made by itself (the power went, the radio went off...).
void LogDevice(const char* pszOp, const std::string& argsJson);

// How long this process has written no record, in ms.
DWORD MsSinceLastRecord();
// Adds dwMilliseconds to the time of every later record: the time a cut wait left out.
void LeaveOutOfTheLog(DWORD dwMilliseconds);

// Names the calling thread in the log ("radio", "regnotify"); threads the services did not
// start are named by their start address ("start:0x...") and the process's first thread "main".
void NameThisThread(const char* pszName);

// Handset settings under HANDSET_SETTINGS_KEY\pszSubKey; the default when absent or unreadable.
DWORD SettingDword(LPCWSTR pszSubKey, LPCWSTR pszValue, DWORD dwDefault);
std::wstring SettingString(LPCWSTR pszSubKey, LPCWSTR pszValue, LPCWSTR pszDefault);
// Whether the settings have the subkey HANDSET_SETTINGS_KEY\pszSubKey (the numbered entries of a
// list end at the first that is missing).
bool SettingKeyExists(LPCWSTR pszSubKey);

// Whether this call of the service pszOp fails by one of the handset's fault rules (see
// pc/faults.cpp); counts the call for the rules that name it. detail is the call's main argument.
bool HandsetFault(const char* pszOp, const std::string& detail = std::string());
// Whether some fault rule names the operation pszOp (read from the settings afresh).
bool HandsetFaultNamed(const char* pszOp);
// Points the program's import entries of the real Windows calls that fault rules name at
// replacements that consult the rules first (see pc/imports.cpp). Called once at start-up.
void PatchImportsForFaults();
// CreateThread and SetEvent for the services themselves: the kernel's entries, never the
// program's import entries that a fault rule may have replaced.
HANDLE ServiceCreateThread(LPTHREAD_START_ROUTINE pfnStart, LPVOID lpParameter, DWORD dwFlags, LPDWORD lpThreadId);
BOOL ServiceSetEvent(HANDLE hEvent);
// Splits a fault rule ("OP", "OP:DETAIL", "OP@N", "OP@N+"); false when it is malformed.
bool ParseFaultRule(const char* pszRule, std::string* pOp, std::string* pDetail, long* pnth, bool* pfAndLater);
// The extra member of a call record whose failure a fault rule caused.
#define INJECTED_FAULT_JSON "\"injected_fault\":true"

// Ends the process at once, as a loss of power does: no clean-up of any kind runs.
[[noreturn]] void PowerGone(const char* pszWhy);
