// Application termination: snapshot the processes, find their visible windows, ask them to
// close, and terminate the phone application outright.
#include "steps/apps.h"

TaskEntry g_TaskList[MAX_TASKS];
INT numTasks = 0;
TASK_ENUM_CONTEXT TaskEnumContext;

// System programs that must keep running until the kernel goes down, in the order compared.
static const LPCWSTR g_rgszProtectedTasks[] = {
    TEXT("NK.EXE"),       TEXT("filesys.exe"), TEXT("device.exe"),   TEXT("CeLogFlush.exe"),
    TEXT("gwes.exe"),     TEXT("shell32.exe"), TEXT("services.exe"), TEXT("connmgr.exe"),
    TEXT("poutlook.exe"), TEXT("tmail.exe"),   TEXT("welcome.exe"),
};
#define PROTECTED_TASK_COUNT (sizeof(g_rgszProtectedTasks) / sizeof(g_rgszProtectedTasks[0]))

BOOL IsKillableTask(const TaskEntry *pTask)
{
    for (DWORD i = 0; i < PROTECTED_TASK_COUNT; i++) {
        if (lstrcmpiW(pTask->szName, g_rgszProtectedTasks[i]) == 0) {
            return 0;
        }
    }
    return 1;
}

// Copies the executable name of a snapshot record without its directory part. The record's
// name is read only within its 260 characters, terminated or not; a longer name is cut.
static void CopyTaskName(WCHAR *pszDest, const WCHAR *pszExeFile)
{
    int cchExe = 0;
    while (cchExe < MAX_PATH && pszExeFile[cchExe] != 0) {
        cchExe++;
    }
    int ichName = cchExe;
    while (ichName > 0 && pszExeFile[ichName - 1] != TEXT('\\')) {
        ichName--;
    }
    lstrcpynW(pszDest, pszExeFile + ichName,
              cchExe - ichName + 1 < TASK_NAME_CCH ? cchExe - ichName + 1 : TASK_NAME_CCH);
}

DWORD GetTaskListCE(TaskEntry *pTaskList, DWORD dwCapacity)
{
    PROCESSENTRY32 pe32;
    BYTE *pbEntry = (BYTE *)&pe32;
    for (DWORD i = 0; i < sizeof(pe32); i++) {
        pbEntry[i] = 0;
    }
    if (dwCapacity == 0) {
        return 0;
    }

    HANDLE hProcessSnap = CreateToolhelp32Snapshot(TASK_SNAPSHOT_FLAGS, 0);
    if (hProcessSnap == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[GetTaskListCE] hProcessSnap=-1.errorcode = %d \r\n"), GetLastError());
        return 0;
    }

    pe32.dwSize = PROCESSENTRY32_BYTES;
    if (!Process32First(hProcessSnap, &pe32)) {
        NKDbgPrintfW(TEXT("[GetTaskListCE] Process32First(hProcessSnap, &pe32)=FALSE. \r\n"));
        CloseToolhelp32Snapshot(hProcessSnap);
        return 0;
    }

    DWORD dwCount = 0;
    for (;;) {
        TaskEntry *pTask = &pTaskList[dwCount];
        CopyTaskName(pTask->szName, pe32.szExeFile);
        pTask->dwUsageCount = pe32.cntUsage;
        pTask->dwProcessId = pe32.th32ProcessID;
        pTask->dwParentProcessId = pe32.th32ParentProcessID;
        pTask->dwThreadCount = pe32.cntThreads;
        pTask->dwModuleId = pe32.th32ModuleID;
        dwCount++;
        if (dwCount >= dwCapacity) {
            break;
        }
        if (!Process32Next(hProcessSnap, &pe32)) {
            break;
        }
    }

    CloseToolhelp32Snapshot(hProcessSnap);
    return dwCount;
}

BOOL CALLBACK ShutDownAppsEnumProc(HWND hWnd, LPARAM lParam)
{
    TASK_ENUM_CONTEXT *pContext = (TASK_ENUM_CONTEXT *)lParam;
    DWORD dwProcessId = 0;

    if (!GetWindowThreadProcessId(hWnd, &dwProcessId)) {
        return TRUE;
    }
    if (pContext->dwNumTasks == 0) {
        return TRUE;
    }
    for (DWORD i = 0; i < pContext->dwNumTasks; i++) {
        TaskEntry *pTask = &pContext->pTaskList[i];
        if (pTask->dwProcessId != dwProcessId) {
            continue;
        }
        // The last visible window the enumeration delivers for a process is the one kept.
        if (IsWindowVisible(hWnd)) {
            pTask->hWnd = hWnd;
        }
        return TRUE;
    }
    return TRUE;
}

// Terminates the phone application; asks it to close instead when it cannot be opened.
static void KillPhoneApp(const TaskEntry *pTask)
{
    NKDbgPrintfW(TEXT("[%s] OpenProcess %s \r\n"), TEXT("KillProcess"), pTask->szName);
    HANDLE hProcess = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pTask->dwProcessId);
    if (hProcess == NULL) {
        PostMessageW(pTask->hWnd, WM_CLOSE, 0, 0);
        return;
    }
    NKDbgPrintfW(TEXT("[%s] OpenProcess %s \r\n"), TEXT("KillProcess"), pTask->szName);
    NKDbgPrintfW(TEXT("[%s] %s terminate \r\n"), TEXT("KillProcess"), pTask->szName);
    if (TerminateProcess(hProcess, PHONE_APP_EXIT_CODE)) {
        NKDbgPrintfW(TEXT("[%s] %s closehandle \r\n"), TEXT("KillProcess"), pTask->szName);
    }
    CloseHandle(hProcess);
}

void ShutDownApps(void)
{
    BYTE *pbTasks = (BYTE *)g_TaskList;
    for (DWORD i = 0; i < sizeof(g_TaskList); i++) {
        pbTasks[i] = 0;
    }

    numTasks = (INT)GetTaskListCE(g_TaskList, MAX_TASKS);
    NKDbgPrintfW(TEXT("[ShutDownApps] numTasks=%d \r\n"), numTasks);

    TaskEnumContext.pTaskList = &g_TaskList[0];
    TaskEnumContext.dwNumTasks = (DWORD)numTasks;
    EnumWindows(ShutDownAppsEnumProc, (LPARAM)&TaskEnumContext);

    for (INT i = 0; i < numTasks; i++) {
        TaskEntry *pTask = &g_TaskList[i];
        if (pTask->hWnd == NULL) {
            continue;
        }
        if (!IsKillableTask(pTask)) {
            continue;
        }
        NKDbgPrintfW(TEXT("[%s] %s \r\n"), TEXT("KillProcess"), pTask->szName);
        if (lstrcmpiW(pTask->szName, PHONE_APP_NAME) != 0) {
            // Posted, not sent: the application closes in its own time.
            PostMessageW(pTask->hWnd, WM_CLOSE, 0, 0);
            continue;
        }
        KillPhoneApp(pTask);
    }

    NKDbgPrintfW(TEXT("[ShutDownApps] downd~!!! \r\n"));
}
