// The handset-only services: what the handset's system offers beyond the Windows API and a
// Windows PC lacks (power manager, shell registry services, notification database, notification
// LEDs, radio interface layer, board power lines). Declared once, here, for every build: the
// simulator implements them on Linux, the library in pc/ on a PC, the handset's system on the
// handset. Included by platform/platform.h's branches after the target's base types (DWORD,
// HANDLE, HKEY, SYSTEMTIME, PBYTE...) are declared; it declares no behaviour.
#pragma once

// Handles of the handset-only services.
typedef struct HREGNOTIFY__ *HREGNOTIFY;
typedef HANDLE HRIL;

// ---------------------------------------------------------------------------------------------
// Power manager
// ---------------------------------------------------------------------------------------------
#define PPN_UNATTENDEDMODE  0x0003u
#define POWER_NAME          0x00000001u
#define POWER_FORCE         0x00001000u
#define POWER_STATE_ON      0x00010000u
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
typedef struct tagNOTIFICATIONCONDITION *PNOTIFICATIONCONDITION;

HRESULT RegistryGetString(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPWSTR pszData,
                          UINT cchData);
HRESULT RegistryNotifyCallback(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName,
                               REGISTRYNOTIFYCALLBACK pfnCallback, DWORD dwUserData,
                               PNOTIFICATIONCONDITION pCondition, HREGNOTIFY *phNotify);
HRESULT RegistryCloseNotification(HREGNOTIFY hNotify);

// ---------------------------------------------------------------------------------------------
// Notification database
// ---------------------------------------------------------------------------------------------
typedef struct UserNotificationTrigger {
    DWORD dwSize;
    DWORD dwType;
    DWORD dwEvent;
    WCHAR *lpszApplication;
    WCHAR *lpszArguments;
    SYSTEMTIME stStartTime;
    SYSTEMTIME stEndTime;
} CE_NOTIFICATION_TRIGGER, *PCE_NOTIFICATION_TRIGGER;

typedef struct UserNotificationType {
    DWORD ActionFlags;
    WCHAR *pwszDialogTitle;
    WCHAR *pwszDialogText;
    WCHAR *pwszSound;
    DWORD nMaxSound;
    DWORD dwReserved;
} CE_USER_NOTIFICATION, *PCE_USER_NOTIFICATION;

typedef struct UserNotificationInfoHeader {
    HANDLE hNotification;
    DWORD dwStatus;
    CE_NOTIFICATION_TRIGGER *pcent;
    CE_USER_NOTIFICATION *pceun;
} CE_NOTIFICATION_INFO_HEADER, *PCE_NOTIFICATION_INFO_HEADER;

#define CNT_EVENT       1
#define CNT_TIME        2
#define CNT_PERIOD      3
#define CNT_CLASSICTIME 4

BOOL CeGetUserNotificationHandles(HANDLE *rghNotifications, DWORD cHandles,
                                  LPDWORD pcHandlesNeeded);
BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded,
                           LPBYTE pBuffer);

// ---------------------------------------------------------------------------------------------
// Notification LEDs (a vibrator is the LED whose cycle adjustment is -1)
// ---------------------------------------------------------------------------------------------
#define NLED_COUNT_INFO_ID    0
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

BOOL NLedGetDeviceInfo(UINT nInfoId, void *pOutput);
BOOL NLedSetDevice(UINT nInfoId, void *pInput);

// ---------------------------------------------------------------------------------------------
// Radio interface layer
// ---------------------------------------------------------------------------------------------
#define RIL_NCLASS_RADIOSTATE        0x00800000u
#define RIL_NOTIFY_RADIOSTATECHANGED 0x00800001u
typedef void (*RILRESULTCALLBACK)(DWORD dwCode, HRESULT hrCmdID, const void *lpData, DWORD cbData,
                                  DWORD dwParam);
typedef void (*RILNOTIFYCALLBACK)(DWORD dwCode, const void *lpData, DWORD cbData, DWORD dwParam);

HRESULT RIL_Initialize(DWORD dwIndex, RILRESULTCALLBACK pfnResult, RILNOTIFYCALLBACK pfnNotify,
                       DWORD dwNotificationClasses, DWORD dwParam, HRIL *lphRil);
HRESULT RIL_DevSpecific(HRIL hRil, const BYTE *lpbParams, DWORD dwSize);
HRESULT RIL_Deinitialize(HRIL hRil);

// ---------------------------------------------------------------------------------------------
// Board power lines
// ---------------------------------------------------------------------------------------------
BOOL GpioSetDirection(DWORD dwGpio, DWORD dwDirection);
BOOL GpioSetValue(DWORD dwGpio, DWORD dwValue);
