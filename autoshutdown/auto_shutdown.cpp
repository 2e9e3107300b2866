// The auto-shutdown prompt, its box and its timeout thread.
#include "autoshutdown/auto_shutdown.h"

#include "app/shutdown.h"
#include "autoshutdown/vibrate.h"
#include "res/resource.h"

std::atomic<BOOL> g_bPromptDone(0);
std::atomic<BOOL> g_bShutdownBegin(0);
HANDLE g_hAutoShutdownEvent = NULL;
HANDLE g_hAutoShutdownThread = NULL;
std::atomic<LONG> g_lAutoShutdownEventState(AUTO_SHUTDOWN_EVENT_OPEN);

// Sets g_hAutoShutdownEvent unless the shutdown has closed it; returns FALSE (and sets nothing)
// when it was closed. The prompt thread sets the event after its box returns; a sequence run by
// the timeout thread closes it at its end. When the timeout found no box, the two can meet: the
// state makes sure the event is never set after its close, and that it is closed once.
static BOOL SetAutoShutdownEvent(void)
{
    LONG lState = AUTO_SHUTDOWN_EVENT_OPEN;
    if (!g_lAutoShutdownEventState.compare_exchange_strong(lState, AUTO_SHUTDOWN_EVENT_SETTING)) {
        // The shutdown closed it: the timeout thread stopped waiting on it long ago.
        NKDbgPrintfW(TEXT("[UIAutoShutDown] Shutdown already closed the event, not set \r\n"));
        return FALSE;
    }
    SetEvent(g_hAutoShutdownEvent);
    lState = AUTO_SHUTDOWN_EVENT_SETTING;
    if (!g_lAutoShutdownEventState.compare_exchange_strong(lState, AUTO_SHUTDOWN_EVENT_OPEN)) {
        // The shutdown ended while the event was being set and left its close to this thread.
        g_lAutoShutdownEventState = AUTO_SHUTDOWN_EVENT_CLOSED;
        CloseHandle(g_hAutoShutdownEvent);
    }
    return TRUE;
}

// Loads a string of the program's own module into a zero-filled buffer of cch characters.
static void LoadBoxString(UINT uId, LPWSTR pszBuffer, int cch)
{
    for (int i = 0; i < cch; i++) {
        pszBuffer[i] = 0;
    }
    LoadStringW(GetModuleHandleW(NULL), uId, pszBuffer, cch);
}

typedef struct _OWN_BOX_SEARCH {
    DWORD dwProcessId;
    HWND hWnd;
} OWN_BOX_SEARCH;

// Stops at the first visible top-level window of this process: the prompt's box.
static BOOL CALLBACK FindOwnBoxProc(HWND hWnd, LPARAM lParam)
{
    OWN_BOX_SEARCH *pSearch = (OWN_BOX_SEARCH *)lParam;
    DWORD dwProcessId = 0;
    GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId == pSearch->dwProcessId && IsWindowVisible(hWnd)) {
        pSearch->hWnd = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The prompt's own box. Another application may show a box with the same class and caption;
// answering that one would say Yes to a question this program never asked, and leave its own
// box standing with nobody left to time it out.
static HWND FindOwnPromptBox(LPCWSTR pszCaption)
{
    HWND hWnd = FindWindowW(BOX_CLASS_NAME, pszCaption);
    if (hWnd == NULL) {
        return NULL;
    }
    OWN_BOX_SEARCH search;
    search.dwProcessId = GetCurrentProcessId();
    search.hWnd = NULL;
    DWORD dwOwner = 0;
    GetWindowThreadProcessId(hWnd, &dwOwner);
    if (dwOwner == search.dwProcessId) {
        return hWnd;
    }
    NKDbgPrintfW(TEXT("[AutoShutdownThread] The Warning box found is another application's.\r\n"));
    EnumWindows(FindOwnBoxProc, (LPARAM)&search);
    return search.hWnd;
}

DWORD WINAPI AutoShutdownThread(LPVOID lpParameter)
{
    UNREFERENCED_PARAMETER(lpParameter);
    WCHAR szCaption[BOX_CAPTION_CCH];

    NKDbgPrintfW(TEXT("[AutoShutdownThread] Thread run...\r\n"));
    g_bShutdownBegin = 0;

    DWORD dwWait = WaitForSingleObject(g_hAutoShutdownEvent, AUTO_SHUTDOWN_WAIT_MS);
    if (dwWait == WAIT_OBJECT_0) {
        NKDbgPrintfW(TEXT("[AutoShutdownThread] Event signaled, Exit thread. \r\n"));
        return 0;
    }
    if (dwWait != WAIT_TIMEOUT) {
        // A failed wait leaves the box without its timeout; it stands until it is answered.
        return 0;
    }

    NKDbgPrintfW(TEXT("[AutoShutdownThread] Time out, shutdown start...\n"));
    LoadBoxString(IDS_CAPTION_WARNING, szCaption, BOX_CAPTION_CCH);
    HWND hWnd = FindOwnPromptBox(szCaption);
    if (hWnd != NULL) {
        // Set before the send: the box returns through the send, and the prompt thread then
        // knows that this thread runs the shutdown.
        g_bShutdownBegin = 1;
        SendMessageW(hWnd, WM_COMMAND, IDYES, 0);
        NKDbgPrintfW(TEXT("[AutoShutdownThread] SendMessage IDYES.\n"));
    }
    LONG lCompletedBefore = g_lNormalShutdownsCompleted;
    NormalShutdown();
    if (g_lNormalShutdownsCompleted == lCompletedBefore) {
        // The sequence could not run here (its mutex could not be created, or the process is
        // ending): release the prompt thread, which would otherwise wait for it for good.
        g_bShutdownBegin = 0;
    }
    return 0;
}

void UIAutoShutDown(void)
{
    WCHAR szCaption[BOX_CAPTION_CCH];
    WCHAR szText[BOX_TEXT_CCH];

    NKDbgPrintfW(TEXT("[UIAutoShutDown] UIAutoShutDown ++ \r\n"));
    LoadBoxString(IDS_CAPTION_WARNING, szCaption, BOX_CAPTION_CCH);
    LoadBoxString(IDS_QUESTION_AUTOSHUTDOWN, szText, BOX_TEXT_CCH);

    HANDLE hMutex = CreateMutexW(NULL, TRUE, MUTEX_UI_AUTO_SHUTDOWN);
    if (hMutex == NULL) {
        NKDbgPrintfW(TEXT("[UIAutoShutDown][Error] UIAutoShutDown --, CreateMutex failed. \r\n"));
        return;
    }

    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another instance's prompt is up: bring its box, with its owned windows, forward and
        // vibrate again. Its timeout is counted by that instance.
        NKDbgPrintfW(TEXT("[UIAutoShutDown] Already exists Shutdown messagebox\r\n"));
        HWND hWnd = FindWindowW(BOX_CLASS_NAME, szCaption);
        if (hWnd != NULL) {
            NKDbgPrintfW(TEXT("[UIAutoShutDown] Find Shutdown messagebox \r\n"));
            SetForegroundWindow((HWND)((ULONG_PTR)hWnd | 1));
            VibratePrompt();
        }
        ReleaseMutex(hMutex);
        NKDbgPrintfW(TEXT("[UIAutoShutDown] UIAutoShutDown --- \r\n"));
        return;
    }

    SetSystemPowerState(NULL, POWER_STATE_ON, POWER_FORCE);
    VibratePrompt();
    int iResult = MessageBoxW(NULL, szText, szCaption, BOX_STYLE_YESNO_QUESTION);
    NKDbgPrintfW(TEXT("[UIAutoShutDown] Show shutdown messagebox, g_bShutdownBegin=%d\r\n"),
                 (int)g_bShutdownBegin);

    if (g_bShutdownBegin) {
        // The timeout thread answered the box and runs NormalShutdown: this thread stays here,
        // whatever the box returned, until the power goes. Only when that thread's sequence
        // could not run at all does it clear the flag and let this thread go on.
        NKDbgPrintfW(TEXT("[UIAutoShutDown] Wait for NormalShutdown complete... \r\n"));
        while (g_bShutdownBegin) {
            Sleep(PROMPT_PARKED_SLEEP_MS);
        }
    }

    if (iResult == IDYES) {
        NKDbgPrintfW(TEXT("[UIAutoShutDown] Ret = IDYES \r\n"));
        SetAutoShutdownEvent();
        NormalShutdown();
    } else if (iResult == IDNO) {
        NKDbgPrintfW(TEXT("[UIAutoShutDown] Ret = IDNO \r\n"));
        SetAutoShutdownEvent();
    }
    // Any other result counts as no answer: nothing is done and the timeout thread goes on
    // waiting until the process ends.

    ReleaseMutex(hMutex);
    NKDbgPrintfW(TEXT("[UIAutoShutDown] UIAutoShutDown -- \r\n"));
}

void AutoShutdownPrompt(void)
{
    NKDbgPrintfW(TEXT("[AutoShutdown] AutoShutdownPrompt ++ \r\n"));
    g_hAutoShutdownEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (g_hAutoShutdownEvent == NULL) {
        // Without the event the timeout thread cannot wait, and a box would stand with no
        // timeout: the prompt is over, as when the thread cannot be started.
        NKDbgPrintfW(TEXT("[AutoShutdown] Create AutoShutdown Event failed! \r\n"));
        g_bPromptDone = 1;
        return;
    }

    g_hAutoShutdownThread = CreateThread(NULL, 0, AutoShutdownThread, NULL, 0, NULL);
    if (g_hAutoShutdownThread == NULL) {
        NKDbgPrintfW(TEXT("[AutoShutdown] Create AutoShutdown Thread failed! \r\n"));
        // No box is shown without its timeout, so the prompt is over: let the process end.
        g_bPromptDone = 1;
        return;
    }

    PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE);
    UIAutoShutDown();
    CloseHandle(g_hAutoShutdownThread);
    PowerPolicyNotify(PPN_UNATTENDEDMODE, FALSE);

    g_bPromptDone = 1;
    NKDbgPrintfW(TEXT("[AutoShutdown] AutoShutdownPrompt -- \r\n"));
}
