// The main routine: the mode character and the three modes.
#include "app/shutdown.h"
#include "app/startup.h"
#include "autoshutdown/auto_shutdown.h"
#include "autoshutdown/call_monitor.h"
#include "res/resource.h"

void LpShutDown(void)
{
    HANDLE hMutex = CreateMutexW(NULL, TRUE, MUTEX_LP_SHUTDOWN);
    if (hMutex == NULL) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("LpShutDown"));
        NKDbgPrintfW(TEXT("CreateMutex LpShutDown error\r\n"));
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        return;
    }
    // The handle stays open so that the name exists for the rest of the process's life.
    ReleaseMutex(hMutex);
    NormalShutdown();
}

void UIShutDown(void)
{
    WCHAR szText[BOX_TEXT_CCH];
    WCHAR szCaption[BOX_CAPTION_CCH];
    HINSTANCE hInstance = GetModuleHandleW(NULL);

    for (int i = 0; i < BOX_TEXT_CCH; i++) {
        szText[i] = 0;
    }
    for (int i = 0; i < BOX_CAPTION_CCH; i++) {
        szCaption[i] = 0;
    }
    LoadStringW(hInstance, IDS_QUESTION_SHUTDOWN, szText, BOX_TEXT_CCH);
    LoadStringW(hInstance, IDS_CAPTION_WARNING, szCaption, BOX_CAPTION_CCH);

    HANDLE hMutex = CreateMutexW(NULL, TRUE, MUTEX_UI_SHUTDOWN);
    if (hMutex == NULL) {
        NKDbgPrintfW(TEXT("[SHUTDOWN|%s]"), TEXT("UIShutDown"));
        NKDbgPrintfW(TEXT("CreateMutex UIShutDown error\r\n"));
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another instance shows its question: bring that box, with its owned windows, forward.
        HWND hWnd = FindWindowW(BOX_CLASS_NAME, szCaption);
        if (hWnd != NULL) {
            SetForegroundWindow((HWND)((ULONG_PTR)hWnd | 1));
        }
        return;
    }
    int iAnswer = MessageBoxW(NULL, szText, szCaption, BOX_STYLE_YESNO_QUESTION);
    if (iAnswer == IDYES) {
        NormalShutdown();
    }
    ReleaseMutex(hMutex);
}

int ShutdownMain(int argc, LPWSTR *argv)
{
    if (argc <= 1) {
        NKDbgPrintfW(TEXT("Exit ShutDown main for argc is 0. \r\n"));
        return 0;
    }
    switch (argv[1][0]) {
    case TEXT('1'):
        LpShutDown();
        break;
    case TEXT('2'):
        UIShutDown();
        break;
    case TEXT('3'):
        NKDbgPrintfW(TEXT("Enter ShutDown main for autoshutdown. \r\n"));
        if (HaveActiveCall()) {
            if (!MonitorPhoneState()) {
                // No change callback: nothing would ever start the prompt, so watch the
                // counter here instead.
                PollPhoneState();
            }
        } else {
            AutoShutdownPrompt();
        }
        // A late answer crossing the timeout can finish the prompt while the timeout thread is
        // still inside NormalShutdown, or just about to enter it. The process ends only once no
        // run is under way, and from then on no run can start.
        while (!g_bPromptDone || !CloseNormalShutdownRuns()) {
            Sleep(MODE_POLL_INTERVAL_MS);
        }
        break;
    default:
        break;
    }
    return 0;
}
