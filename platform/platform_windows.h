// The platform with a Windows compiler: the real Windows headers, plus what the handset's SDK
// declares and a Windows PC lacks (kernel debug print, power manager, radio interface layer,
// notification database, shell registry services, GPIO lines, notification LEDs). On a PC these
// handset-only services come from the library in pc/; everything else is the real Windows API.
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

// Handles of the handset-only services.
typedef struct HREGNOTIFY__* HREGNOTIFY;
typedef HANDLE HRIL;

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
#define CreateFileW HandsetCreateFileW
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
#define CreateMutexW RecordedCreateMutexW
#define CreateEventW RecordedCreateEventW
#define CloseHandle RecordedCloseHandle
#define WaitForSingleObject RecordedWaitForSingleObject
#define MessageBoxW RecordedMessageBoxW

// ---------------------------------------------------------------------------------------------
// Power manager
// ---------------------------------------------------------------------------------------------
#define PPN_UNATTENDEDMODE 0x0003u
#define POWER_NAME 0x00000001u
#define POWER_FORCE 0x00001000u
#define POWER_STATE_ON 0x00010000u
#define POWER_STATE_SUSPEND 0x00200000u
typedef enum _CEDEVICE_POWER_STATE {
  PwrDeviceUnspecified = -1,
  D0 = 0,
  D1,
  D2,
  D3,
  D4,
  PwrDeviceMaximum
} CEDEVICE_POWER_STATE;

DWORD SetSystemPowerState(LPCWSTR pwsSystemState, DWORD StateFlags, DWORD Options);
DWORD SetDevicePower(LPCWSTR pvDevice, DWORD dwDeviceFlags, CEDEVICE_POWER_STATE dwState);
BOOL PowerPolicyNotify(DWORD dwMessage, DWORD dwData);
void SystemIdleTimerReset(void);

// ---------------------------------------------------------------------------------------------
// Shell registry services
// ---------------------------------------------------------------------------------------------
typedef void (*REGISTRYNOTIFYCALLBACK)(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData,
                                       const UINT cbData);
typedef struct tagNOTIFICATIONCONDITION* PNOTIFICATIONCONDITION;

HRESULT RegistryGetString(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPWSTR pszData,
                          UINT cchData);
HRESULT RegistryNotifyCallback(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName,
                               REGISTRYNOTIFYCALLBACK pfnCallback, DWORD dwUserData,
                               PNOTIFICATIONCONDITION pCondition, HREGNOTIFY* phNotify);
HRESULT RegistryCloseNotification(HREGNOTIFY hNotify);

// ---------------------------------------------------------------------------------------------
// Notification database
// ---------------------------------------------------------------------------------------------
typedef struct UserNotificationTrigger {
  DWORD dwSize;
  DWORD dwType;
  DWORD dwEvent;
  WCHAR* lpszApplication;
  WCHAR* lpszArguments;
  SYSTEMTIME stStartTime;
  SYSTEMTIME stEndTime;
} CE_NOTIFICATION_TRIGGER, *PCE_NOTIFICATION_TRIGGER;

typedef struct UserNotificationType {
  DWORD ActionFlags;
  WCHAR* pwszDialogTitle;
  WCHAR* pwszDialogText;
  WCHAR* pwszSound;
  DWORD nMaxSound;
  DWORD dwReserved;
} CE_USER_NOTIFICATION, *PCE_USER_NOTIFICATION;

typedef struct UserNotificationInfoHeader {
  HANDLE hNotification;
  DWORD dwStatus;
  CE_NOTIFICATION_TRIGGER* pcent;
  CE_USER_NOTIFICATION* pceun;
} CE_NOTIFICATION_INFO_HEADER, *PCE_NOTIFICATION_INFO_HEADER;

#define CNT_EVENT 1
#define CNT_TIME 2
#define CNT_PERIOD 3
#define CNT_CLASSICTIME 4

BOOL CeGetUserNotificationHandles(HANDLE* rghNotifications, DWORD cHandles,
                                  LPDWORD pcHandlesNeeded);
BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded,
                           LPBYTE pBuffer);

// ---------------------------------------------------------------------------------------------
// Notification LEDs (a vibrator is the LED whose cycle adjustment is -1)
// ---------------------------------------------------------------------------------------------
#define NLED_COUNT_INFO_ID 0
#define NLED_SUPPORTS_INFO_ID 1
#define NLED_SETTINGS_INFO_ID 2
typedef struct NLED_COUNT_INFO {
  UINT cLeds;
} NLED_COUNT_INFO;
typedef struct NLED_SUPPORTS_INFO {
  UINT LedNum;
  LONG lCycleAdjust;
  BOOL fAdjustTotalCycleTime;
  BOOL fAdjustOnTime;
  BOOL fAdjustOffTime;
  BOOL fMetaCycleOn;
  BOOL fMetaCycleOff;
} NLED_SUPPORTS_INFO;
typedef struct NLED_SETTINGS_INFO {
  UINT LedNum;
  INT OffOnBlink;
  LONG TotalCycleTime;
  LONG OnTime;
  LONG OffTime;
  INT MetaCycleOn;
  INT MetaCycleOff;
} NLED_SETTINGS_INFO;

BOOL NLedGetDeviceInfo(UINT nInfoId, void* pOutput);
BOOL NLedSetDevice(UINT nInfoId, void* pInput);

// ---------------------------------------------------------------------------------------------
// Radio interface layer
// ---------------------------------------------------------------------------------------------
#define RIL_NCLASS_RADIOSTATE 0x00800000u
#define RIL_NOTIFY_RADIOSTATECHANGED 0x00800001u
typedef void (*RILRESULTCALLBACK)(DWORD dwCode, HRESULT hrCmdID, const void* lpData, DWORD cbData,
                                  DWORD dwParam);
typedef void (*RILNOTIFYCALLBACK)(DWORD dwCode, const void* lpData, DWORD cbData, DWORD dwParam);

HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD dwParam, HRIL* lphRil);
HRESULT RIL_DevSpecific(HRIL hRil, const BYTE* lpbParams, DWORD dwSize);
HRESULT RIL_Deinitialize(HRIL hRil);

// ---------------------------------------------------------------------------------------------
// Board power lines
// ---------------------------------------------------------------------------------------------
BOOL GpioSetDirection(DWORD dwGpio, DWORD dwDirection);
BOOL GpioSetValue(DWORD dwGpio, DWORD dwValue);
