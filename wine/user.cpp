// The user of the handset and the outside world, for runs under Wine: answers message boxes
// like a click and changes the registry at given times.
//
//   handset_user [--caption TEXT] [--answer yes|no|cancel|none@MS ...]
//                [--delete-value KEY NAME@MS ...] [--limit-ms MS]
//
// --answer: for each box in turn (a message box of this caption, found by FindWindowW), MS
// milliseconds after it appeared, the answer arrives as WM_COMMAND with the button's id, as a
// click sends it; "none" leaves the box standing. --delete-value: MS milliseconds after start,
// the value NAME of HKLM\KEY is deleted (a call that ends removes its counter this way). The
// helper ends when everything is done, or after --limit-ms (default 60000). Each act is
// recorded in the event log.
#include "wine/record.h"

#include <cwchar>
#include <vector>

namespace {

const DWORD kPollMs = 5;

struct Answer {
  int iId;  // 0: none
  DWORD dwAfterMs;
};

struct Deletion {
  std::wstring key;
  std::wstring name;
  DWORD dwAtMs;
  bool fDone;
};

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

void DeleteValue(Deletion* pDeletion) {
  HKEY hKey = nullptr;
  LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pDeletion->key.c_str(), 0, KEY_SET_VALUE, &hKey);
  if (lResult == ERROR_SUCCESS) {
    lResult = RegDeleteValueW(hKey, pDeletion->name.c_str());
    RegCloseKey(hKey);
  }
  AppendRecord(
      "\"kind\":\"device\",\"thread\":\"device\",\"op\":\"registry.delete\",\"args\":{"
      "\"key\":" +
      JsonQuote(Narrow(pDeletion->key)) + ",\"value\":" + JsonQuote(Narrow(pDeletion->name)) +
      ",\"result\":" + std::to_string(lResult) + "}");
  pDeletion->fDone = true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring caption = L"Warning";
  std::vector<Answer> answers;
  std::vector<Deletion> deletions;
  DWORD dwLimitMs = 60000;
  for (int i = 1; i < argc; i++) {
    std::wstring arg = argv[i];
    std::wstring text;
    DWORD dwMs = 0;
    if (arg == L"--caption" && i + 1 < argc) {
      caption = argv[++i];
    } else if (arg == L"--answer" && i + 1 < argc && SplitAt(argv[++i], &text, &dwMs) && AnswerId(text) >= 0) {
      answers.push_back(Answer{AnswerId(text), dwMs});
    } else if (arg == L"--delete-value" && i + 2 < argc && SplitAt(argv[i + 2], &text, &dwMs)) {
      deletions.push_back(Deletion{argv[i + 1], text, dwMs, false});
      i += 2;
    } else if (arg == L"--limit-ms" && i + 1 < argc) {
      dwLimitMs = DWORD(wcstoul(argv[++i], nullptr, 10));
    } else {
      fwprintf(stderr, L"handset_user: bad argument %ls\n", arg.c_str());
      return 2;
    }
  }

  DWORD dwStart = GetTickCount();
  size_t iAnswer = 0;
  HWND hLastBox = nullptr;
  HWND hBox = nullptr;
  DWORD dwShownAt = 0;
  for (;;) {
    DWORD dwNow = GetTickCount() - dwStart;
    bool fPending = false;
    for (Deletion& deletion : deletions) {
      if (!deletion.fDone && dwNow >= deletion.dwAtMs) {
        DeleteValue(&deletion);
      }
      fPending = fPending || !deletion.fDone;
    }
    if (iAnswer < answers.size()) {
      fPending = true;
      if (hBox == nullptr) {
        HWND hFound = FindWindowW(L"#32770", caption.c_str());
        if (hFound != nullptr && hFound != hLastBox && IsWindowVisible(hFound)) {
          hBox = hFound;
          dwShownAt = dwNow;
          AppendRecord(
              "\"kind\":\"device\",\"thread\":\"device\",\"op\":\"windows.box_shown\","
              "\"args\":{\"title\":" +
              JsonQuote(Narrow(caption)) + "}");
        }
      } else if (dwNow - dwShownAt >= answers[iAnswer].dwAfterMs) {
        int iId = answers[iAnswer].iId;
        if (iId != 0) {
          // A click on a button reaches the box as WM_COMMAND with the button's id.
          PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(iId, BN_CLICKED), (LPARAM)GetDlgItem(hBox, iId));
          AppendRecord(
              "\"kind\":\"device\",\"thread\":\"device\",\"op\":\"windows.box_answered\","
              "\"args\":{\"title\":" +
              JsonQuote(Narrow(caption)) + ",\"result\":" + std::to_string(iId) + ",\"by\":\"user\"}");
        }
        hLastBox = hBox;
        hBox = nullptr;
        iAnswer++;
      }
    }
    if (!fPending) {
      return 0;
    }
    if (dwNow >= dwLimitMs) {
      fwprintf(stderr, L"handset_user: gave up after %lu ms\n", (unsigned long)dwNow);
      return 1;
    }
    Sleep(kPollMs);
  }
}
