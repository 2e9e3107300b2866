// The simulated handset keeps the platform's rules: named objects, auto-reset events, waits on
// the virtual clock, per-thread last errors, registry byte semantics, stuck detection.
#include <gtest/gtest.h>

#include <map>

#include "platform/platform.h"
#include "registry/reg_read.h"
#include "tests/harness.h"

using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

// Runs `entry` as the main thread of a fresh handset and returns the run.
RunResult RunEntry(std::function<int()> entry, const std::string& overrides = "",
                   std::vector<std::string> expect_violations = {}) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n" + overrides;
  spec.entry = std::move(entry);
  spec.expect_violations = std::move(expect_violations);
  return RunProgram(spec);
}

// Traces a value so that the parent process can check it.
void Report(const char16_t* what, DWORD value) { NKDbgPrintfW(u"%s=%u\r\n", what, value); }

std::string Value(const RunResult& r, const std::string& what) {
  const int i = r.Find(what + "=");
  return i < 0 ? "(missing)" : r.lines[i].text.substr(what.size() + 1);
}

HANDLE g_hEvent;
std::atomic<int> g_nWoken;

DWORD WaitOnce(LPVOID) {
  if (WaitForSingleObject(g_hEvent, 1000) == WAIT_OBJECT_0) ++g_nWoken;
  return 0;
}

}  // namespace

TEST(PlatformRules, NamedMutexReportsAnExistingName) {
  const RunResult r = RunEntry([] {
    HANDLE h1 = CreateMutexW(nullptr, TRUE, u"Guard");
    Report(u"first_error", GetLastError());
    HANDLE h2 = CreateMutexW(nullptr, TRUE, u"Guard");
    Report(u"second_error", GetLastError());
    Report(u"same_object_release_by_owner", ReleaseMutex(h2));
    CloseHandle(h1);
    CloseHandle(h2);
    // Once every handle is closed the name is gone.
    HANDLE h3 = CreateMutexW(nullptr, TRUE, u"Guard");
    Report(u"third_error", GetLastError());
    CloseHandle(h3);
    return 0;
  });
  EXPECT_EQ(Value(r, "first_error"), "0");
  EXPECT_EQ(Value(r, "second_error"), "183");
  EXPECT_EQ(Value(r, "same_object_release_by_owner"), "1");  // the creator owns it
  EXPECT_EQ(Value(r, "third_error"), "0");
}

TEST(PlatformRules, NamedEventIsOpenedWhenItExists) {
  const RunResult r = RunEntry([] {
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, u"Shared");
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, u"Shared");
    Report(u"error", GetLastError());
    SetEvent(a);
    Report(u"wait_b", WaitForSingleObject(b, 0));
    Report(u"wait_again", WaitForSingleObject(b, 0));  // auto-reset: consumed
    CloseHandle(a);
    CloseHandle(b);
    return 0;
  });
  EXPECT_EQ(Value(r, "error"), "183");
  EXPECT_EQ(Value(r, "wait_b"), "0");
  EXPECT_EQ(Value(r, "wait_again"), "258");
}

TEST(PlatformRules, AutoResetEventReleasesOneWaiter) {
  for (std::uint64_t seed : {0ull, 3ull, 11ull}) {
    RunSpec spec;
    spec.seed = seed;
    spec.entry = [] {
      g_hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
      HANDLE t1 = CreateThread(nullptr, 0, WaitOnce, nullptr, 0, nullptr);
      HANDLE t2 = CreateThread(nullptr, 0, WaitOnce, nullptr, 0, nullptr);
      Sleep(10);
      SetEvent(g_hEvent);
      WaitForSingleObject(t1, INFINITE);
      WaitForSingleObject(t2, INFINITE);
      Report(u"woken", static_cast<DWORD>(g_nWoken.load()));
      CloseHandle(t1);
      CloseHandle(t2);
      CloseHandle(g_hEvent);
      return 0;
    };
    const RunResult r = RunProgram(spec);
    EXPECT_EQ(Value(r, "woken"), "1") << r.Dump();
  }
}

std::atomic<int> g_nSentAndOn;

// Answers the box Yes by SendMessageW, as the prompt's timeout does, then notes that it went on.
DWORD AnswerTheBox(LPVOID) {
  Sleep(100);
  SendMessageW(FindWindowW(u"Dialog", u"Q"), WM_COMMAND, IDYES, 0);
  g_nSentAndOn = 1;
  return 0;
}

TEST(PlatformRules, ABoxAnsweredBySendMessageLetsEitherThreadGoOnFirst) {
  // The fixed order keeps the box's thread; other seeds may let the sender go on before the box's
  // thread has read anything, as a real system may.
  std::map<std::string, int> seen;
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    RunSpec spec;
    spec.seed = seed;
    spec.scenario = "base = \"builtin\"\n";
    // A box of the test's own, answered Yes, switches nothing off.
    spec.expect_violations = {"yes-switches-off"};
    spec.entry = [] {
      g_nSentAndOn = 0;
      HANDLE t = CreateThread(nullptr, 0, AnswerTheBox, nullptr, 0, nullptr);
      MessageBoxW(nullptr, u"?", u"Q", MB_YESNO);
      Report(u"sender_on", static_cast<DWORD>(g_nSentAndOn.load()));
      WaitForSingleObject(t, INFINITE);
      CloseHandle(t);
      return 0;
    };
    const RunResult r = RunProgram(spec);
    if (seed == 0) {
      EXPECT_EQ(Value(r, "sender_on"), "0") << r.Dump();
    }
    ++seen[Value(r, "sender_on")];
  }
  EXPECT_GT(seen["0"], 0);
  EXPECT_GT(seen["1"], 0);
}

TEST(PlatformRules, TimedWaitsRunOnTheVirtualClock) {
  const RunResult r = RunEntry([] {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const DWORD t0 = GetTickCount();
    Report(u"result", WaitForSingleObject(e, 60000));
    Report(u"elapsed_s", (GetTickCount() - t0) / 1000);
    Sleep(3000);
    Report(u"after_sleep_s", (GetTickCount() - t0) / 1000);
    CloseHandle(e);
    return 0;
  });
  EXPECT_EQ(Value(r, "result"), "258");
  EXPECT_EQ(Value(r, "elapsed_s"), "60");
  EXPECT_EQ(Value(r, "after_sleep_s"), "63");
}

TEST(PlatformRules, LastErrorBelongsToEachThread) {
  const RunResult r = RunEntry([] {
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          Sleep(10);
          SetLastError(5);
          Report(u"thread_error", GetLastError());
          return 0;
        },
        nullptr, 0, nullptr);
    HANDLE m1 = CreateMutexW(nullptr, TRUE, u"X");
    HANDLE m2 = CreateMutexW(nullptr, TRUE, u"X");  // 183 on this thread
    WaitForSingleObject(t, INFINITE);               // the other thread sets 5 meanwhile
    Report(u"main_error", GetLastError());
    CloseHandle(m1);
    CloseHandle(m2);
    CloseHandle(t);
    return 0;
  });
  EXPECT_EQ(Value(r, "thread_error"), "5");
  EXPECT_EQ(Value(r, "main_error"), "183");
}

TEST(PlatformRules, AWaitThatNothingEndsIsReportedAsStuck) {
  const RunResult r = RunEntry(
      [] {
        HANDLE e = CreateEventW(nullptr, FALSE, FALSE, u"NeverSet");
        WaitForSingleObject(e, INFINITE);
        return 0;
      },
      "", {"run-ends"});
  EXPECT_EQ(r.outcome, "stuck");
  EXPECT_EQ(r.exit_status, 3);
  bool named = false;
  for (const auto& t : r.summary["threads"])
    named |= t.get<std::string>().find("main: WaitForSingleObject on event 'NeverSet', no deadline") == 0;
  EXPECT_TRUE(named) << r.summary.dump(2);
}

TEST(PlatformRules, MisusesAreRecorded) {
  const RunResult r = RunEntry(
      [] {
        HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CloseHandle(e);
        CloseHandle(e);                            // closed twice
        SetEvent(reinterpret_cast<HANDLE>(0x42));  // never a handle
        DWORD small = 0;
        KernelIoControl(0x01013E80, &small, 4, nullptr, 0, nullptr);  // the OEM command takes 8 bytes
        return 0;
      },
      "", {"platform-use"});
  EXPECT_EQ(r.summary["misuses"], 3);
}

TEST(PlatformRules, RegistryReadsKeepTheByteSemantics) {
  // 129 characters and a terminator fill 260 bytes exactly; 130 do not fit.
  const std::string v129(129, 'a'), v130(130, 'b');
  const std::string reg = "[registry]\ntext = '''\nREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\T]\n\"s129\"=\"" + v129 +
                          "\"\n\"s130\"=\"" + v130 +
                          "\"\n\"zero\"=dword:00000000\n\"seven\"=dword:00000007\n"
                          "\"wide\"=hex:01,02,03,04,05,06,07,08\n'''\n";
  const RunResult r = RunEntry(
      [] {
        struct Case {
          const char16_t* key;
          const char16_t* value;
          bool dword;
        };
        const Case cases[] = {{u"T", u"s129", false}, {u"T", u"s130", false}, {u"T", u"zero", true},
                              {u"T", u"seven", true}, {u"T", u"wide", true},  {u"T", u"none", true},
                              {u"Absent", u"x", true}};
        for (const Case& c : cases) {
          WCHAR sz[260] = {0};
          DWORD dw = 0xEEEEEEEE;
          const LONG status = c.dword ? RegReadDword(HKEY_LOCAL_MACHINE, c.key, c.value, &dw)
                                      : RegReadString(HKEY_LOCAL_MACHINE, c.key, c.value, sz, 260);
          NKDbgPrintfW(u"%s: status=%d len=%d dw=%x\r\n", c.value, status, lstrlenW(sz), dw);
        }
        return 0;
      },
      reg);
  EXPECT_TRUE(r.Has("s129: status=0 len=129 dw=eeeeeeee")) << r.Dump();
  EXPECT_TRUE(r.Has("s130: status=234 ")) << r.Dump();
  EXPECT_TRUE(r.Has("zero: status=0 len=0 dw=0"));
  EXPECT_TRUE(r.Has("seven: status=0 len=0 dw=7"));
  EXPECT_TRUE(r.Has("wide: status=234 len=0 dw=eeeeeeee"));
  EXPECT_TRUE(r.Has("none: status=2 len=0 dw=eeeeeeee"));
  EXPECT_TRUE(r.Has("x: status=2 len=0 dw=eeeeeeee"));
  // A missing key closes nothing; a missing value closes the key it opened.
  EXPECT_EQ(r.Calls("RegOpenKeyExW").size(), 7u);
  EXPECT_EQ(r.Calls("RegCloseKey").size(), 6u);
  EXPECT_TRUE(r.summary["handles_open"].empty());
}

namespace {
std::atomic<HHOOK> g_hStaleHook(nullptr);
LRESULT PassOnWithStaleHandle(int code, WPARAM w, LPARAM l) {
  CallNextHookEx(g_hStaleHook, code, w, l);
  return 1;  // the key is swallowed all the same
}
}  // namespace

// The handset's system ignores the hook handle given to CallNextHookEx: a hook procedure that
// passes on a handle read before its hook came off is not misusing it.
TEST(PlatformRules, CallNextHookExIgnoresItsHookHandle) {
  const RunResult r = RunEntry(
      [] {
        HINSTANCE self = GetModuleHandleW(nullptr);
        g_hStaleHook = SetWindowsHookExW(WH_KEYBOARD_LL, PassOnWithStaleHandle, self, 0);
        UnhookWindowsHookEx(g_hStaleHook);
        HHOOK live = SetWindowsHookExW(WH_KEYBOARD_LL, PassOnWithStaleHandle, self, 0);
        Sleep(50);  // the key comes at 10 ms
        UnhookWindowsHookEx(live);
        return 0;
      },
      "[[timeline]]\nat_ms = 10\ndo = \"key\"\nvk = 65\n");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.Calls("CallNextHookEx").size(), 1u);
  EXPECT_EQ(r.summary["misuses"], 0) << r.Dump();
}
