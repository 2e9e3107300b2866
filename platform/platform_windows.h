// The platform of a build for a Windows PC (HS_PLATFORM_PC, set by the Windows presets): the real
// Windows headers, plus what the handset's SDK declares and a Windows PC lacks (kernel debug
// print, the handset-only services of handset_services.h). On a PC these come from the library
// in pc/; everything else is the real Windows API.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <mmsystem.h>
#include <shlwapi.h>
#include <strsafe.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// The handset's entry point takes its command line as 16-bit text; on a PC that is wWinMain.
#define WinMain wWinMain

// The window class of a message box on this platform (the dialog class); "Dialog" on the handset.
#define MESSAGE_BOX_CLASS TEXT("#32770")

// The handset's snapshot record is PROCESSENTRY32 with 16-bit names.
#define TH32CS_SNAPNOHEAPS 0x40000000u

// ---------------------------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------------------------
// Prints formatted text (wide formats: %s is a wide string) to the kernel's debug output.
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
// Sends a control code to the kernel's hardware layer (the ERTC register, the shutdown
// command); TRUE when the layer carried it out.
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);
// A library entry by its 16-bit name, or null.
FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
// Closes a toolhelp snapshot.
BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot);

// ---------------------------------------------------------------------------------------------
// Device drivers by name ("SPI5:", "DMP1:", "BKL1:"); other names are the PC's own files.
// ---------------------------------------------------------------------------------------------
HANDLE HandsetCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL HandsetDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
#undef CreateFileW
#define CreateFileW     HandsetCreateFileW
#define DeviceIoControl HandsetDeviceIoControl

// ---------------------------------------------------------------------------------------------
// Real Windows calls that are also recorded in the event log on their way to the system, so that
// a run on a PC can be checked like a simulated one (one sequence, the ERTC before the LCD...).
// They behave exactly as the calls they pass to.
// ---------------------------------------------------------------------------------------------
HANDLE RecordedCreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                            LPCWSTR lpName);
HANDLE RecordedCreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                            BOOL bInitialState, LPCWSTR lpName);
BOOL RecordedCloseHandle(HANDLE hObject);
DWORD RecordedWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
int RecordedMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
#undef CreateMutexW
#undef CreateEventW
#undef MessageBoxW
#define CreateMutexW        RecordedCreateMutexW
#define CreateEventW        RecordedCreateEventW
#define CloseHandle         RecordedCloseHandle
#define WaitForSingleObject RecordedWaitForSingleObject
#define MessageBoxW         RecordedMessageBoxW

#include "platform/handset_services.h"
