// Stand-in for the handset SDK's <windows.h>, which is not on this machine: only the types the
// platform header's handset branch needs, so that tests/tools/handset_header.py can see which
// branch a build for the handset takes. It says nothing else about the SDK.
#pragma once
#define HS_HANDSET_SDK_STUB 1

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned long DWORD;
typedef int BOOL;
typedef long LONG;
typedef int INT;
typedef unsigned int UINT;
typedef long HRESULT;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef DWORD* LPDWORD;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef struct HKEY__* HKEY;
typedef struct _SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME;
#define TEXT(s) L##s
