// Single-value registry readers: one open, query and close per call. They return the platform's
// status (0 on success) and leave the caller's output untouched on failure, so every caller
// presets its output.
#pragma once

#include "platform/platform.h"

// Reads a string value into pszOut, offering the query cbOut bytes.
LONG RegReadString(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPWSTR pszOut, DWORD cbOut);
// Reads a 32-bit value; at most 4 bytes are read into *pdwOut.
LONG RegReadDword(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD *pdwOut);
