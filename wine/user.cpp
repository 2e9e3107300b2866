// The user of the handset and the outside world, for runs under Wine: answers message boxes
// like a click, changes the registry at given times, plays other processes that hold named
// mutexes and show boxes, and starts further instances of the program.
//
//   handset_user [--caption TEXT] [--answer yes|no|cancel|none@MS ...]
//                [--delete-value KEY NAME@MS ...] [--set-dword KEY NAME VALUE@MS ...]
//                [--set-string KEY NAME TEXT@MS ...] [--hold-mutex NAME@MS ...]
//                [--release-mutex NAME@MS ...] [--show-box TITLE@MS ...] [--close-box TITLE@MS ...]
//                [--key VK@MS ...] [--program EXE] [--start-program ARGS@MS ...]
//                [--ready-file PATH] [--ended-file PATH] [--limit-ms MS]
//
// --answer: for each box of the program in turn (a message box of this caption that another
// process shows), MS milliseconds after it appeared, the answer arrives as WM_COMMAND with the
// button's id, as a click sends it; "none" leaves the box standing. Boxes after the last answer
// get the last answer again. The timed acts happen MS
// milliseconds after the start: a registry value of HKLM\KEY deleted or set (a call that ends
// removes its counter, one that starts again sets it), a named mutex taken or let go by this
// process, a box of this process shown or closed, a key (virtual-key code VK) pressed and let go
// as real input, another `EXE ARGS` started. Acts at 0 ms are
// done before anything else; with --ready-file the file is then written, so that the program
// can be started once the names and boxes exist. The clock of the other acts starts when the
// program is up (its services create the event "HandsetProgramStarted").
// The helper ends when everything is done, when an instance of the program took the handset's
// power away, once the file of --ended-file exists (the first instance has ended) and no further
// instance runs or is still to be started, or after --limit-ms (default 60000). Each act is
// recorded in the event log.
#include "wine/record.h"

#include "pc/fault_counts.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

const DWORD kPollMs = 5;
const DWORD kBoxShowWaitMs = 5000;
const DWORD kProgramStartWaitMs = 30000;

enum ActKind { kDelete, kSetDword, kSetString, kHoldMutex, kReleaseMutex, kShowBox, kCloseBox, kStart, kKey };

struct Act {
  ActKind kind;
  std::wstring key;   // registry key, or empty
  std::wstring name;  // value name, mutex name, box title, or program arguments
  std::wstring text;  // the string or the DWORD set, as text
  DWORD dwAtMs;
  bool fDone;
};

struct Answer {
  int iId;  // 0: none
  DWORD dwAfterMs;
};

struct HeldMutex {
  std::wstring name;
  HANDLE hMutex;
};

struct OwnBox {
  std::wstring title;
  HANDLE hThread;
  DWORD dwThreadId;
};

std::vector<HeldMutex> g_mutexes;
std::vector<OwnBox> g_boxes;
std::wstring g_program;
unsigned g_cStarted = 0;
// The further instances started, until each has ended.
std::vector<HANDLE> g_instances;
// Written by the runner once the first instance has ended (--ended-file).
std::wstring g_endedFile;

std::string Narrow(const std::wstring& text) {
  char sz[512];
  int cb = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, sz, sizeof(sz), nullptr, nullptr);
  return cb > 0 ? std::string(sz) : std::string();
}

// Splits "TEXT@MS"; false without the @ or the number.
bool SplitAt(const std::wstring& arg, std::wstring* pText, DWORD* pdwMs) {
  size_t at = arg.rfind(L'@');
  if (at == std::wstring::npos || at + 1 >= arg.size()) {
    return false;
  }
  *pText = arg.substr(0, at);
  *pdwMs = DWORD(wcstoul(arg.c_str() + at + 1, nullptr, 10));
  return true;
}

int AnswerId(const std::wstring& word) {
  if (word == L"yes") return IDYES;
  if (word == L"no") return IDNO;
  if (word == L"cancel") return IDCANCEL;
  if (word == L"none") return 0;
  return -1;
}

void Record(const char* pszOp, const std::string& args) {
  AppendRecord("\"kind\":\"device\",\"thread\":\"device\",\"op\":\"" + std::string(pszOp) + "\",\"args\":{" + args +
               "}");
}

LONG WriteValue(const Act& act) {
  HKEY hKey = nullptr;
  LONG lResult = act.kind == kDelete ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, act.key.c_str(), 0, KEY_SET_VALUE, &hKey)
                                     : RegCreateKeyExW(HKEY_LOCAL_MACHINE, act.key.c_str(), 0, nullptr, 0,
                                                       KEY_SET_VALUE, nullptr, &hKey, nullptr);
  if (lResult != ERROR_SUCCESS) {
    return lResult;
  }
  if (act.kind == kDelete) {
    lResult = RegDeleteValueW(hKey, act.name.c_str());
  } else if (act.kind == kSetDword) {
    DWORD dw = DWORD(wcstoul(act.text.c_str(), nullptr, 10));
    lResult = RegSetValueExW(hKey, act.name.c_str(), 0, REG_DWORD, (const BYTE*)&dw, sizeof(dw));
  } else {
    lResult = RegSetValueExW(hKey, act.name.c_str(), 0, REG_SZ, (const BYTE*)act.text.c_str(),
                             DWORD((act.text.size() + 1) * sizeof(WCHAR)));
  }
  RegCloseKey(hKey);
  return lResult;
}

// A box of this process: a message box on a thread of its own, standing until it is closed.
DWORD WINAPI BoxThread(LPVOID lpParameter) {
  auto* pTitle = static_cast<std::wstring*>(lpParameter);
  MessageBoxW(nullptr, L"", pTitle->c_str(), MB_OK);
  delete pTitle;
  return 0;
}

struct ThreadBoxSearch {
  std::wstring title;
  HWND hFound;
};

BOOL CALLBACK FindThreadBox(HWND hWnd, LPARAM lParam) {
  auto* pSearch = reinterpret_cast<ThreadBoxSearch*>(lParam);
  WCHAR szTitle[256] = {0};
  GetWindowTextW(hWnd, szTitle, 256);
  if (pSearch->title == szTitle) {
    pSearch->hFound = hWnd;
    return FALSE;
  }
  return TRUE;
}

HWND BoxOfThread(const OwnBox& box) {
  ThreadBoxSearch search{box.title, nullptr};
  EnumThreadWindows(box.dwThreadId, FindThreadBox, reinterpret_cast<LPARAM>(&search));
  return search.hFound;
}

void ShowBox(const std::wstring& title) {
  OwnBox box{title, nullptr, 0};
  box.hThread = CreateThread(nullptr, 0, BoxThread, new std::wstring(title), 0, &box.dwThreadId);
  // The box stands before the act is over, so that what comes next can find it.
  for (DWORD dwWaited = 0; box.hThread != nullptr && BoxOfThread(box) == nullptr && dwWaited < kBoxShowWaitMs;
       dwWaited += kPollMs) {
    Sleep(kPollMs);
  }
  g_boxes.push_back(box);
}

void CloseBoxes(const std::wstring& title) {
  for (OwnBox& box : g_boxes) {
    HWND hBox = box.hThread != nullptr && box.title == title ? BoxOfThread(box) : nullptr;
    if (hBox != nullptr) {
      PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      WaitForSingleObject(box.hThread, kBoxShowWaitMs);
      CloseHandle(box.hThread);
      box.hThread = nullptr;
    }
  }
}

// Starts `EXE ARGS` in the same Wine session; the child inherits the event log's name.
void StartProgram(const std::wstring& args) {
  std::wstring cmdline = L"\"" + g_program + L"\" " + args;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  BOOL fStarted =
      CreateProcessW(g_program.c_str(), &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  g_cStarted++;
  Record("program.start", "\"args\":" + JsonQuote(Narrow(args)) + ",\"instance\":" + std::to_string(g_cStarted + 1) +
                              ",\"pid\":" + std::to_string(fStarted ? pi.dwProcessId : 0) +
                              ",\"result\":" + (fStarted ? "true" : "false"));
  if (fStarted) {
    CloseHandle(pi.hThread);
    g_instances.push_back(pi.hProcess);
  }
}

// A key pressed and let go as the keyboard does it: real input, which passes the keyboard hooks
// of every process and then reaches the foreground window.
void PressKey(WORD wVk) {
  INPUT rgInput[2] = {};
  for (INPUT& input : rgInput) {
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = wVk;
  }
  rgInput[1].ki.dwFlags = KEYEVENTF_KEYUP;
  UINT cSent = SendInput(2, rgInput, sizeof(INPUT));
  Record("keyboard.pressed", "\"vk\":" + std::to_string(wVk) + ",\"sent\":" + std::to_string(cSent));
}

void DoAct(Act* pAct) {
  std::string args = "\"name\":" + JsonQuote(Narrow(pAct->name));
  switch (pAct->kind) {
    case kDelete:
    case kSetDword:
    case kSetString: {
      LONG lResult = WriteValue(*pAct);
      Record(pAct->kind == kDelete ? "registry.delete" : "registry.set",
             "\"key\":" + JsonQuote(Narrow(pAct->key)) + ",\"value\":" + JsonQuote(Narrow(pAct->name)) +
                 ",\"result\":" + std::to_string(lResult));
      break;
    }
    case kHoldMutex: {
      HANDLE hMutex = CreateMutexW(nullptr, TRUE, pAct->name.c_str());
      if (hMutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        WaitForSingleObject(hMutex, 0);  // taken only when nobody holds it
      }
      g_mutexes.push_back(HeldMutex{pAct->name, hMutex});
      Record("process.hold_mutex", args);
      break;
    }
    case kReleaseMutex:
      for (HeldMutex& held : g_mutexes) {
        if (held.hMutex != nullptr && held.name == pAct->name) {
          ReleaseMutex(held.hMutex);
          CloseHandle(held.hMutex);
          held.hMutex = nullptr;
        }
      }
      Record("process.release_mutex", args);
      break;
    case kShowBox:
      ShowBox(pAct->name);
      Record("windows.show_box", "\"title\":" + JsonQuote(Narrow(pAct->name)));
      break;
    case kCloseBox:
      CloseBoxes(pAct->name);
      Record("windows.close_box", "\"title\":" + JsonQuote(Narrow(pAct->name)));
      break;
    case kStart:
      StartProgram(pAct->name);
      break;
    case kKey:
      PressKey(WORD(wcstoul(pAct->name.c_str(), nullptr, 10)));
      break;
  }
  pAct->fDone = true;
}

struct ProgramBoxSearch {
  std::wstring caption;
  const std::vector<HWND>* pSeen;  // boxes already answered or passed over
  HWND hFound;
};

// A visible box of the program's with the caption: its class is the dialog's, and it is not one
// of this helper's own boxes (the other process's).
BOOL CALLBACK FindProgramBox(HWND hWnd, LPARAM lParam) {
  auto* pSearch = reinterpret_cast<ProgramBoxSearch*>(lParam);
  WCHAR szClass[16] = {0};
  WCHAR szTitle[256] = {0};
  DWORD dwPid = 0;
  GetWindowThreadProcessId(hWnd, &dwPid);
  if (dwPid == GetCurrentProcessId() ||
      std::find(pSearch->pSeen->begin(), pSearch->pSeen->end(), hWnd) != pSearch->pSeen->end() ||
      !IsWindowVisible(hWnd) || GetClassNameW(hWnd, szClass, 16) == 0 || lstrcmpW(szClass, L"#32770") != 0) {
    return TRUE;
  }
  GetWindowTextW(hWnd, szTitle, 256);
  if (pSearch->caption == szTitle) {
    pSearch->hFound = hWnd;
    return FALSE;
  }
  return TRUE;
}

// Reads one option; false for a bad one.
bool ParseOption(int argc, wchar_t** argv, int* pi, std::wstring* pCaption, std::vector<Answer>* pAnswers,
                 std::vector<Act>* pActs, DWORD* pdwLimitMs, std::wstring* pReadyFile) {
  std::wstring arg = argv[*pi];
  int cLeft = argc - *pi - 1;
  std::wstring text;
  DWORD dwMs = 0;
  static const struct {
    const wchar_t* pszName;
    ActKind kind;
    int cArgs;  // words before the TEXT@MS one
  } kActs[] = {
      {L"--delete-value", kDelete, 1},  {L"--set-dword", kSetDword, 2},         {L"--set-string", kSetString, 2},
      {L"--hold-mutex", kHoldMutex, 0}, {L"--release-mutex", kReleaseMutex, 0}, {L"--show-box", kShowBox, 0},
      {L"--close-box", kCloseBox, 0},   {L"--start-program", kStart, 0},        {L"--key", kKey, 0}};
  for (const auto& option : kActs) {
    if (arg != option.pszName) {
      continue;
    }
    if (cLeft < option.cArgs + 1 || !SplitAt(argv[*pi + option.cArgs + 1], &text, &dwMs)) {
      return false;
    }
    Act act{option.kind, L"", L"", L"", dwMs, false};
    if (option.cArgs == 0) {
      act.name = text;
    } else if (option.cArgs == 1) {
      act.key = argv[*pi + 1];
      act.name = text;
    } else {
      act.key = argv[*pi + 1];
      act.name = argv[*pi + 2];
      act.text = text;
    }
    pActs->push_back(act);
    *pi += option.cArgs + 1;
    return true;
  }
  if (cLeft < 1) {
    return false;
  }
  if (arg == L"--caption") {
    *pCaption = argv[++*pi];
  } else if (arg == L"--answer" && SplitAt(argv[++*pi], &text, &dwMs) && AnswerId(text) >= 0) {
    pAnswers->push_back(Answer{AnswerId(text), dwMs});
  } else if (arg == L"--limit-ms") {
    *pdwLimitMs = DWORD(wcstoul(argv[++*pi], nullptr, 10));
  } else if (arg == L"--program") {
    g_program = argv[++*pi];
  } else if (arg == L"--ready-file") {
    *pReadyFile = argv[++*pi];
  } else if (arg == L"--ended-file") {
    g_endedFile = argv[++*pi];
  } else {
    return false;
  }
  return true;
}

}  // namespace

// Whether every further instance started so far has ended.
bool InstancesEnded() {
  for (HANDLE hProcess : g_instances) {
    if (WaitForSingleObject(hProcess, 0) != WAIT_OBJECT_0) {
      return false;
    }
  }
  return true;
}

// Whether an instance of the program took the handset's power away (its services set the event).
bool PowerGone() {
  HANDLE hGone = OpenEventW(SYNCHRONIZE, FALSE, L"HandsetPowerGone");
  bool fGone = hGone != nullptr && WaitForSingleObject(hGone, 0) == WAIT_OBJECT_0;
  if (hGone != nullptr) {
    CloseHandle(hGone);
  }
  return fGone;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int wmain(int argc, wchar_t** argv) {
  std::wstring caption = L"Warning";
  std::vector<Answer> answers;
  std::vector<Act> acts;
  DWORD dwLimitMs = 60000;
  std::wstring readyFile;
  for (int i = 1; i < argc; i++) {
    if (!ParseOption(argc, argv, &i, &caption, &answers, &acts, &dwLimitMs, &readyFile)) {
      fwprintf(stderr, L"handset_user: bad argument %ls\n", argv[i]);
      return 2;
    }
  }

  // The fault rules' counts are the handset's: held here for the whole run, they last from the
  // first instance of the program to the last, however their lives overlap.
  OpenHandsetFaultCounts();
  for (Act& act : acts) {
    if (act.dwAtMs == 0) {
      DoAct(&act);
    }
  }
  if (!readyFile.empty()) {
    HANDLE hReady = CreateFileW(readyFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(hReady);
  }
  // The timeline counts from the program's start, which its services announce.
  for (DWORD dwWaited = 0; dwWaited < kProgramStartWaitMs; dwWaited += kPollMs) {
    HANDLE hStarted = OpenEventW(SYNCHRONIZE, FALSE, L"HandsetProgramStarted");
    if (hStarted != nullptr) {
      CloseHandle(hStarted);
      break;
    }
    Sleep(kPollMs);
  }
  DWORD dwStart = GetTickCount();
  size_t iAnswer = 0;
  std::vector<HWND> seenBoxes;
  HWND hBox = nullptr;
  DWORD dwShownAt = 0;
  for (;;) {
    DWORD dwNow = GetTickCount() - dwStart;
    bool fPending = false;
    for (Act& act : acts) {
      if (!act.fDone && dwNow >= act.dwAtMs) {
        DoAct(&act);
      }
      fPending = fPending || !act.fDone;
    }
    // A box beyond the list gets the list's last answer, as on the simulated handset; only the
    // list itself keeps the helper waiting for boxes.
    if (!answers.empty()) {
      fPending = fPending || iAnswer < answers.size();
      const Answer& answer = answers[std::min(iAnswer, answers.size() - 1)];
      if (hBox == nullptr) {
        ProgramBoxSearch search{caption, &seenBoxes, nullptr};
        EnumWindows(FindProgramBox, reinterpret_cast<LPARAM>(&search));
        if (search.hFound != nullptr) {
          hBox = search.hFound;
          dwShownAt = dwNow;
          Record("windows.box_shown", "\"title\":" + JsonQuote(Narrow(caption)));
        }
      } else if (dwNow - dwShownAt >= answer.dwAfterMs) {
        int iId = answer.iId;
        if (iId != 0) {
          // A click on a button reaches the box as WM_COMMAND with the button's id.
          PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(iId, BN_CLICKED), (LPARAM)GetDlgItem(hBox, iId));
          Record("windows.box_answered",
                 "\"title\":" + JsonQuote(Narrow(caption)) + ",\"result\":" + std::to_string(iId) + ",\"by\":\"user\"");
        }
        seenBoxes.push_back(hBox);
        hBox = nullptr;
        iAnswer++;
      }
    }
    // Names held and boxes shown stand until the run ends: the helper stays while any does.
    for (const HeldMutex& held : g_mutexes) {
      fPending = fPending || held.hMutex != nullptr;
    }
    for (const OwnBox& box : g_boxes) {
      fPending = fPending || box.hThread != nullptr;
    }
    // So do further instances: the handset runs while any of them does.
    fPending = fPending || !InstancesEnded();
    if (!fPending || PowerGone()) {
      return 0;
    }
    // The first instance has ended: the handset runs on while a further instance runs or is
    // still to be started, and the other acts matter only as long as it does.
    if (!g_endedFile.empty() && FileExists(g_endedFile) && InstancesEnded()) {
      bool fStartPending = false;
      for (const Act& act : acts) {
        fStartPending = fStartPending || (act.kind == kStart && !act.fDone);
      }
      if (!fStartPending) {
        return 0;
      }
    }
    if (dwNow >= dwLimitMs) {
      fwprintf(stderr, L"handset_user: gave up after %lu ms\n", (unsigned long)dwNow);
      return 1;
    }
    Sleep(kPollMs);
  }
}
