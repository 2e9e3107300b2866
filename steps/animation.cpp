// Shutdown animation: a library named in the registry, or the critical-battery sound.
#include "steps/animation.h"

#include "app/shutdown.h"
#include "power/power_controls.h"

HANDLE g_hAnimCallEvent = NULL;

static const LPCWSTR g_rgszAnimKeys[ANIM_REG_KEY_COUNT] = {
    TEXT("System\\Startup\\1"),
    TEXT("System\\Startup\\2"),
    TEXT("System\\Startup\\3"),
};

static void TraceMusicPlayError(void)
{
    NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("MusicPlay"));
}

void MusicPlay(LPCWSTR pszPath)
{
    HANDLE hFile = CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        TraceMusicPlayError();
        NKDbgPrintfW(TEXT("CreateFile %s error\r\n"), pszPath);
        return;
    }

    DWORD dwSize = GetFileSize(hFile, NULL);
    if (dwSize == INVALID_FILE_SIZE) {
        TraceMusicPlayError();
        NKDbgPrintfW(TEXT("GetFileSize  error\r\n"));
        CloseHandle(hFile);
        return;
    }
    // An empty file holds no sound: nothing to allocate, nothing to hand to the playback.
    if (dwSize == 0) {
        TraceMusicPlayError();
        NKDbgPrintfW(TEXT("Empty file %s\r\n"), pszPath);
        CloseHandle(hFile);
        return;
    }

    BYTE *pbSound = (BYTE *)LocalAlloc(LMEM_FIXED, dwSize);
    if (pbSound == NULL) {
        TraceMusicPlayError();
        NKDbgPrintfW(TEXT("malloc  error\r\n"));
        CloseHandle(hFile);
        return;
    }

    DWORD dwRead = 0;
    if (!ReadFile(hFile, pbSound, dwSize, &dwRead, NULL) || dwRead != dwSize) {
        TraceMusicPlayError();
        NKDbgPrintfW(TEXT("ReadFile  error\r\n"));
        LocalFree(pbSound);
        CloseHandle(hFile);
        return;
    }
    CloseHandle(hFile);

    // The playback reads the block after this returns, so it is not released here.
    PlaySoundW((LPCWSTR)pbSound, NULL, SND_ASYNC | SND_MEMORY);
}

// Fallback when no library is registered: the critical-battery sound and a dark backlight.
static void PlayFallbackSignal(void)
{
    MusicPlay(CRITICAL_BATTERY_SOUND);
    BacklightOff();
}

void ShutDownAnimation(void)
{
    WCHAR szDllPath[ANIM_PATH_CCH];

    NKDbgPrintfW(TEXT("[ShutDownAnimation] Enter ~ \r\n"));

    HRESULT hr = RegistryGetString(ANIM_REG_ROOT, g_rgszAnimKeys[0], ANIM_REG_VALUE, szDllPath,
                                   ANIM_PATH_CCH);
    NKDbgPrintfW(TEXT("[ShutDownAnimation] regread = %#x.\r\n"), (DWORD)hr);
    if (hr != 0) {
        hr = RegistryGetString(ANIM_REG_ROOT, g_rgszAnimKeys[1], ANIM_REG_VALUE, szDllPath,
                               ANIM_PATH_CCH);
        if (hr != 0) {
            hr = RegistryGetString(ANIM_REG_ROOT, g_rgszAnimKeys[2], ANIM_REG_VALUE, szDllPath,
                                   ANIM_PATH_CCH);
        }
        if (hr != 0) {
            PlayFallbackSignal();
            return;
        }
        NKDbgPrintfW(TEXT("[ShutDownAnimation] regread = %#x.\r\n"), (DWORD)0);
    }

    g_hAnimCallEvent = CreateEventW(NULL, FALSE, FALSE, NULL);

    // The library stays loaded until the process ends.
    HMODULE hAnimLib = LoadLibraryW(szDllPath);
    if (hAnimLib == NULL) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("ShutDownAnimation"));
        NKDbgPrintfW(TEXT("LoadLibrary error=%d\r\n"), GetLastError());
        CloseHandle(g_hAnimCallEvent);
        return;
    }

    // The generic entry address becomes the entry's own type: three 32-bit arguments.
    PFN_DO_SHUTDOWN_ANIMATION pfnDoShutdownAnimation =
        (PFN_DO_SHUTDOWN_ANIMATION)(void *)GetProcAddressW(hAnimLib, ANIM_ENTRY_NAME);
    if (pfnDoShutdownAnimation == NULL) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("ShutDownAnimation"));
        NKDbgPrintfW(TEXT("GetProcAddress error=%d\r\n"), GetLastError());
        CloseHandle(g_hAnimCallEvent);
        return;
    }

    // Handles are 32-bit values on the handset; the library takes them as such.
    pfnDoShutdownAnimation(0, (DWORD)(UINT_PTR)g_hAnimDoneEvent, (DWORD)(UINT_PTR)g_hAnimCallEvent);

    CloseHandle(g_hAnimCallEvent);
    NKDbgPrintfW(TEXT("[ShutDownAnimation] Leave ~ \r\n"));
}
