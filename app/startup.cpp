// Process start-up: builds the argument vector (the module path, then the command line split at
// white space with double quotes grouping) and runs the main routine.
#include "app/startup.h"

static BOOL IsBlank(WCHAR wch)
{
    return wch == TEXT(' ') || wch == TEXT('\t') || wch == TEXT('\r') || wch == TEXT('\n');
}

int SplitCommandLine(LPCWSTR lpCmdLine, LPWSTR pszStorage, LPWSTR *rgpszArgs, int iMaxArgs)
{
    int nArgs = 0;
    LPCWSTR pszIn = lpCmdLine;
    LPWSTR pszOut = pszStorage; // null: only count

    if (pszIn == NULL) {
        return 0;
    }
    for (;;) {
        while (*pszIn != 0 && IsBlank(*pszIn)) {
            pszIn++;
        }
        if (*pszIn == 0) {
            break;
        }
        if (rgpszArgs != NULL && nArgs < iMaxArgs) {
            rgpszArgs[nArgs] = pszOut;
        }
        nArgs++;
        BOOL bInQuotes = FALSE;
        while (*pszIn != 0 && (bInQuotes || !IsBlank(*pszIn))) {
            if (*pszIn == TEXT('"')) {
                bInQuotes = !bInQuotes;
            } else if (pszOut != NULL) {
                *pszOut++ = *pszIn;
            }
            pszIn++;
        }
        if (pszOut != NULL) {
            *pszOut++ = 0;
        }
    }
    return nArgs;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    UNREFERENCED_PARAMETER(hInstance);
    UNREFERENCED_PARAMETER(hPrevInstance);
    UNREFERENCED_PARAMETER(nShowCmd);
    WCHAR szModulePath[MODULE_PATH_CCH];

    if (GetModuleFileNameW(NULL, szModulePath, MODULE_PATH_CCH) == 0) {
        return 0;
    }

    LPCWSTR pszCmdLine = lpCmdLine != NULL ? lpCmdLine : TEXT("");
    int cchCmdLine = lstrlenW(pszCmdLine);
    int nSplit = SplitCommandLine(pszCmdLine, NULL, NULL, 0);

    // One block: the vector (module path, the arguments, a null element), then the split text.
    UINT cbVector = (UINT)((nSplit + 2) * sizeof(LPWSTR));
    UINT cbText = (UINT)((cchCmdLine + 1) * sizeof(WCHAR));
    LPBYTE pBlock = (LPBYTE)LocalAlloc(LPTR, cbVector + cbText);
    if (pBlock == NULL) {
        return 0;
    }
    LPWSTR *argv = (LPWSTR *)pBlock;
    LPWSTR pszText = (LPWSTR)(pBlock + cbVector);

    argv[0] = szModulePath;
    SplitCommandLine(pszCmdLine, pszText, argv + 1, nSplit);
    argv[nSplit + 1] = NULL;

    int iResult = ShutdownMain(nSplit + 1, argv);
    LocalFree(pBlock);
    return iResult;
}
