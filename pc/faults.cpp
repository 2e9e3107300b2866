// Failures of the handset-only services on a PC, by rule, as a scenario's [faults] names them.
//
// Settings (under HKLM\Software\Handset\Faults): string values Rule1, Rule2, ... (numbering
// stops at the first missing one), each a rule of the form "OP", "OP:DETAIL", "OP@N" or
// "OP@N+". OP is the service's name; DETAIL is matched against the call's main argument (a GPIO
// number, a driver name, "count" or "fetch", ...); @N fails only the N-th matching call, counted
// from 1, and @N+ that one and every later one. The handset is one, however many instances of the
// program run on it: the calls are counted over every process of the run (pc/fault_counts.h).
#include "pc/services.h"

#include "pc/fault_counts.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct FaultRule {
  std::string op;
  std::string detail;
  long nth;  // 0: every matching call
  bool fAndLater;
};

// The count of matching calls of each rule, shared by every process of the run (one handset);
// the process's own counts when the shared memory cannot be had.
volatile LONG* Counts() {
  static volatile LONG* pCounts = [] {
    volatile LONG* p = OpenHandsetFaultCounts();
    return p != nullptr ? p : new LONG[HANDSET_FAULT_RULES_MAX]();
  }();
  return pCounts;
}

CRITICAL_SECTION* FaultLock() {
  static CRITICAL_SECTION* pcs = [] {
    auto* p = new CRITICAL_SECTION;
    InitializeCriticalSection(p);
    return p;
  }();
  return pcs;
}

std::string Ascii(const std::wstring& text) {
  std::string out;
  for (WCHAR wc : text) {
    out += wc < 0x80 ? char(wc) : '?';
  }
  return out;
}

// The rules as the settings hold them now; a malformed rule is left out (the runner checks
// them before a run).
std::vector<FaultRule> ReadRules() {
  std::vector<FaultRule> rules;
  for (unsigned n = 1; n <= HANDSET_FAULT_RULES_MAX; n++) {
    WCHAR szName[32];
    StringCchPrintfW(szName, 32, L"Rule%u", n);
    std::string text = Ascii(SettingString(L"Faults", szName, L""));
    if (text.empty()) {
      break;
    }
    FaultRule rule{};
    if (ParseFaultRule(text.c_str(), &rule.op, &rule.detail, &rule.nth, &rule.fAndLater)) {
      rules.push_back(rule);
    }
  }
  return rules;
}

// The rules, read at the first call that consults them, with their counts.
std::vector<FaultRule>& Rules() {
  static std::vector<FaultRule>* pRules = new std::vector<FaultRule>(ReadRules());
  return *pRules;
}

}  // namespace

bool ParseFaultRule(const char* pszRule, std::string* pOp, std::string* pDetail, long* pnth, bool* pfAndLater) {
  std::string body = pszRule != nullptr ? pszRule : "";
  *pnth = 0;
  *pfAndLater = false;
  size_t at = body.rfind('@');
  if (at != std::string::npos) {
    std::string count = body.substr(at + 1);
    body.resize(at);
    if (!count.empty() && count.back() == '+') {
      *pfAndLater = true;
      count.pop_back();
    }
    if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *pnth = atol(count.c_str());
    if (*pnth < 1) {
      return false;
    }
  }
  size_t colon = body.find(':');
  *pOp = body.substr(0, colon);
  *pDetail = colon == std::string::npos ? std::string() : body.substr(colon + 1);
  return !pOp->empty();
}

bool HandsetFaultNamed(const char* pszOp) {
  for (const FaultRule& rule : ReadRules()) {
    if (rule.op == pszOp) {
      return true;
    }
  }
  return false;
}

bool HandsetFault(const char* pszOp, const std::string& detail) {
  EnterCriticalSection(FaultLock());
  bool fFail = false;
  std::vector<FaultRule>& rules = Rules();
  for (size_t i = 0; i < rules.size(); i++) {
    const FaultRule& rule = rules[i];
    if (rule.op != pszOp || (!rule.detail.empty() && rule.detail != detail)) {
      continue;
    }
    LONG cMatched = InterlockedIncrement(&Counts()[i]);
    if (rule.nth == 0 || cMatched == rule.nth || (rule.fAndLater && cMatched > rule.nth)) {
      fFail = true;
    }
  }
  LeaveCriticalSection(FaultLock());
  return fFail;
}
