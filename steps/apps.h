// Closing the running applications.
#pragma once

#include "platform/platform.h"

#define MAX_TASKS     256
#define TASK_NAME_CCH MAX_PATH
// Snapshot of the processes only, without their heaps.
#define TASK_SNAPSHOT_FLAGS (TH32CS_SNAPPROCESS | TH32CS_SNAPNOHEAPS)
// The snapshot record's size as this platform declares it (564 bytes on the handset). A size
// written as a number would be refused wherever the record is laid out differently.
#define PROCESSENTRY32_BYTES sizeof(PROCESSENTRY32)
#define PHONE_APP_NAME       TEXT("cprog.exe")
#define PHONE_APP_EXIT_CODE  1

// One running process: what the snapshot said about it, and its visible top-level window.
typedef struct _TaskEntry {
    DWORD dwUsageCount;
    DWORD dwProcessId;
    DWORD dwParentProcessId;
    DWORD dwThreadCount;
    DWORD dwModuleId;
    HWND hWnd;
    WCHAR szName[TASK_NAME_CCH];
} TaskEntry;

// What the window enumeration gets: the table and its number of valid rows.
typedef struct _TASK_ENUM_CONTEXT {
    TaskEntry *pTaskList;
    DWORD dwNumTasks;
} TASK_ENUM_CONTEXT;

extern TaskEntry g_TaskList[MAX_TASKS];
extern INT numTasks;
extern TASK_ENUM_CONTEXT TaskEnumContext;

// Asks every application with a visible window to close (WM_CLOSE), terminates the phone
// application, and leaves the protected system programs alone. Does not wait.
void ShutDownApps(void);
// Fills up to dwCapacity cleared rows from a new process snapshot; returns the rows filled.
DWORD GetTaskListCE(TaskEntry *pTaskList, DWORD dwCapacity);
// Records a visible top-level window in the row of its process; always goes on.
BOOL CALLBACK ShutDownAppsEnumProc(HWND hWnd, LPARAM lParam);
// 1 unless the row names one of the protected system programs.
BOOL IsKillableTask(const TaskEntry *pTask);
