// The platform of a build for the handset itself (a compiler for the handset's system, which
// defines _WIN32_WCE): the system's own headers, plus the handset-only services, which that
// system provides in its own libraries with C linkage. Its message boxes are of class "Dialog".
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>
#include <strsafe.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// The window class of a message box on this platform.
#define MESSAGE_BOX_CLASS TEXT("Dialog")

// The snapshot flag that leaves the heaps out.
#ifndef TH32CS_SNAPNOHEAPS
#define TH32CS_SNAPNOHEAPS 0x40000000u
#endif

extern "C" {
// Kernel services outside the system's windows.h.
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);
BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot);

#include "platform/handset_services.h"
}
