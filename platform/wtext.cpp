// Helpers for the handset's 16-bit text (WCHAR is char16_t).
//
// The host's wchar_t routines are 32-bit on Linux and must never see WCHAR text, so the
// program's string handling goes through these routines instead. They are defensive about
// null pointers because the program passes buffers straight from registry reads and
// resource loads, where a failed call can leave a pointer null.
#include <climits>

#include "platform/platform.h"

// Number of characters before the terminator; a null pointer counts as empty.
int lstrlenW(LPCWSTR lpString)
{
    if (lpString == nullptr) {
        return 0;
    }
    int cch = 0;
    while (lpString[cch] != 0 && cch < INT_MAX) {
        ++cch;
    }
    return cch;
}

// Copies at most iMaxLength - 1 characters of lpString2 and terminates the result, so the
// destination never overflows a buffer of iMaxLength characters. With iMaxLength <= 0 (or a
// null destination) nothing is written. A null source copies as the empty string.
LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength)
{
    if (lpString1 == nullptr || iMaxLength <= 0) {
        return lpString1;
    }
    int ich = 0;
    if (lpString2 != nullptr) {
        while (ich < iMaxLength - 1 && lpString2[ich] != 0) {
            lpString1[ich] = lpString2[ich];
            ++ich;
        }
    }
    lpString1[ich] = 0;
    return lpString1;
}

// ASCII letters fold to lower case; every other code unit compares as itself.
static WCHAR FoldAsciiW(WCHAR wc)
{
    if (wc >= u'A' && wc <= u'Z') {
        return static_cast<WCHAR>(wc - u'A' + u'a');
    }
    return wc;
}

// Shared by the two comparisons: code units compare as unsigned 16-bit values, a null
// pointer sorts before every string (two nulls are equal).
static int CompareW(LPCWSTR lpString1, LPCWSTR lpString2, BOOL fIgnoreCase)
{
    if (lpString1 == nullptr || lpString2 == nullptr) {
        return (lpString1 == nullptr ? 0 : 1) - (lpString2 == nullptr ? 0 : 1);
    }
    for (;; ++lpString1, ++lpString2) {
        WCHAR wc1 = fIgnoreCase ? FoldAsciiW(*lpString1) : *lpString1;
        WCHAR wc2 = fIgnoreCase ? FoldAsciiW(*lpString2) : *lpString2;
        if (wc1 != wc2) {
            return wc1 < wc2 ? -1 : 1;
        }
        if (wc1 == 0) {
            return 0;
        }
    }
}

int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    return CompareW(lpString1, lpString2, FALSE);
}

int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    return CompareW(lpString1, lpString2, TRUE);
}

// First occurrence of wMatch before the terminator, or null. Searching for the terminator
// itself finds nothing.
LPWSTR StrChrW(LPCWSTR lpStart, WCHAR wMatch)
{
    if (lpStart == nullptr) {
        return nullptr;
    }
    for (LPCWSTR pch = lpStart; *pch != 0; ++pch) {
        if (*pch == wMatch) {
            return const_cast<LPWSTR>(pch);
        }
    }
    return nullptr;
}

// Last occurrence of wMatch in [lpStart, lpEnd), or in the whole string when lpEnd is null.
// The scan also stops at the terminator, so an lpEnd beyond the string cannot lead the
// search past the end of the buffer.
LPWSTR StrRChrW(LPCWSTR lpStart, LPCWSTR lpEnd, WCHAR wMatch)
{
    if (lpStart == nullptr) {
        return nullptr;
    }
    LPCWSTR pchFound = nullptr;
    for (LPCWSTR pch = lpStart; *pch != 0 && (lpEnd == nullptr || pch < lpEnd); ++pch) {
        if (*pch == wMatch) {
            pchFound = pch;
        }
    }
    return const_cast<LPWSTR>(pchFound);
}

// First occurrence of lpSrch in lpFirst with case kept; an empty lpSrch matches at lpFirst.
LPWSTR StrStrW(LPCWSTR lpFirst, LPCWSTR lpSrch)
{
    if (lpFirst == nullptr || lpSrch == nullptr) {
        return nullptr;
    }
    for (LPCWSTR pchStart = lpFirst;; ++pchStart) {
        int ich = 0;
        while (lpSrch[ich] != 0 && pchStart[ich] == lpSrch[ich]) {
            ++ich;
        }
        if (lpSrch[ich] == 0) {
            return const_cast<LPWSTR>(pchStart);
        }
        if (*pchStart == 0) {
            return nullptr;
        }
    }
}

static BOOL IsSpaceW(WCHAR wc)
{
    return wc == u' ' || (wc >= u'\t' && wc <= u'\r');
}

// Reads a decimal number the way the C library's strtol does in base 10: leading white
// space, an optional sign, then digits up to the first non-digit. No digits gives 0. A value
// outside LONG's range saturates at LONG_MAX or LONG_MIN instead of wrapping.
LONG _wtol(LPCWSTR str)
{
    if (str == nullptr) {
        return 0;
    }
    LPCWSTR pch = str;
    while (IsSpaceW(*pch)) {
        ++pch;
    }
    BOOL fNegative = FALSE;
    if (*pch == u'+' || *pch == u'-') {
        fNegative = (*pch == u'-');
        ++pch;
    }
    // Accumulate the magnitude unsigned; the limit for a negative number is one larger.
    const DWORD dwLimit = fNegative ? DWORD(INT32_MAX) + 1u : DWORD(INT32_MAX);
    DWORD dwValue = 0;
    BOOL fOverflow = FALSE;
    for (; *pch >= u'0' && *pch <= u'9'; ++pch) {
        DWORD dwDigit = DWORD(*pch - u'0');
        if (fOverflow || dwValue > (dwLimit - dwDigit) / 10u) {
            fOverflow = TRUE;
            continue;
        }
        dwValue = dwValue * 10u + dwDigit;
    }
    if (fOverflow) {
        return fNegative ? INT32_MIN : INT32_MAX;
    }
    if (fNegative) {
        // -(2^31) does not fit a positive LONG, so negate in unsigned arithmetic.
        return dwValue == dwLimit ? INT32_MIN : -static_cast<LONG>(dwValue);
    }
    return static_cast<LONG>(dwValue);
}
