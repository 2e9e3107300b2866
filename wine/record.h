// A record appended to the event log (HANDSET_EVENT_LOG) by the Wine runner's own programs,
// which are not linked with the handset services: the animation library and the user.
#pragma once

#include <windows.h>

#include "pc/json_quote.h"
#include "pc/setting_dword.h"

#include <cstdio>
#include <string>

// Appends one JSON Lines record; body is the record's fields without braces. The sequence
// number is left out: the runner orders records by their place in the file.
inline void AppendRecord(const std::string& body) {
  WCHAR szPath[MAX_PATH];
  DWORD cch = GetEnvironmentVariableW(L"HANDSET_EVENT_LOG", szPath, MAX_PATH);
  if (cch == 0 || cch >= MAX_PATH) {
    return;
  }
  HANDLE hFile = CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    return;
  }
  std::string record = "{" + body + "}\n";
  DWORD cbWritten = 0;
  // The program's services append to the same file: one record at a time, whole.
  HANDLE hMutex = CreateMutexW(nullptr, FALSE, L"HandsetEventLog");
  if (hMutex != nullptr) {
    WaitForSingleObject(hMutex, INFINITE);
  }
  WriteFile(hFile, record.data(), DWORD(record.size()), &cbWritten, nullptr);
  if (hMutex != nullptr) {
    ReleaseMutex(hMutex);
    CloseHandle(hMutex);
  }
  CloseHandle(hFile);
}
