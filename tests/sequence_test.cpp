// The shutdown sequence and the entry modes on the simulated handset, as a user of the handset
// would see them: the trace, the requests the device received and its end state.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/shutdown.h"
#include "tests/harness.h"

using testing_support::RunBuiltin;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

std::string Arg(const sim::Json& call, const char* name) {
  const auto& v = call["args"][name];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

// Runs the built-in handset changed by `overrides`, with these arguments, fault rules and answers.
RunResult RunOverBuiltin(const std::string& overrides, const std::vector<std::string>& args,
                         const std::vector<std::string>& fail, const std::vector<std::string>& answers = {}) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n" + overrides;
  spec.args = args;
  spec.fail = fail;
  spec.answers = answers;
  return RunProgram(spec);
}

}  // namespace

TEST(Sequence, ModeOneSwitchesTheBuiltInHandsetOff) {
  const RunResult r = RunBuiltin("", {"1"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.outcome, "suspended") << r.Dump();
  EXPECT_TRUE(r.InOrder({"Ril Down+", "[RIL|NotifyProc] dwCode = 8388609", "[RIL|NotifyProc] Power Off OK + ",
                         "Ril Down-", "[Shutdown Thread] Run~", "[Shutdown] GPS VBAT OFF~~", "[Shutdown] BT VBAT OFF~~",
                         "[KernShutDown] called  ~ ", "[Shutdown|NormalShutdown] DumpLogFile"}))
      << r.Dump();

  // The LCD goes to D4 with both input words 4.
  bool lcd = false;
  for (const auto& c : r.Calls("DeviceIoControl"))
    if (Arg(c, "device") == "SPI5:") lcd = Arg(c, "in") == "04 00 00 00 04 00 00 00" && Arg(c, "code") == "0x1000";
  EXPECT_TRUE(lcd);
  EXPECT_EQ(r.summary["lcd"], "off (D4)");
  // The radio is told 6000.
  ASSERT_EQ(r.Calls("RIL_DevSpecific").size(), 1u);
  EXPECT_EQ(Arg(r.Calls("RIL_DevSpecific")[0], "bytes"), "70 17 00 00");
  // The kernel shutdown command, then the log dump control, then the forced suspend.
  const auto kernel = r.Calls("KernelIoControl");
  ASSERT_FALSE(kernel.empty());
  EXPECT_EQ(Arg(kernel.back(), "in"), "01 00 00 00 01 00 00 00");
  EXPECT_EQ(Arg(kernel.back(), "code"), "0x1013E80");
  bool dump = false;
  for (const auto& c : r.Calls("DeviceIoControl")) dump |= Arg(c, "code") == "0x221000";
  EXPECT_TRUE(dump);
  const auto suspend = r.Calls("SetSystemPowerState");
  ASSERT_EQ(suspend.size(), 1u);
  EXPECT_EQ(Arg(suspend[0], "flags"), "0x200000");
  EXPECT_EQ(Arg(suspend[0], "options"), "0x1000");
  EXPECT_EQ(r.summary["gps_rail"], "off");
  EXPECT_EQ(r.summary["bt_rail"], "off");
}

TEST(Sequence, RailsAreDrivenWithDirectionBeforeValue) {
  const RunResult r = RunBuiltin("", {"1"});
  std::vector<std::string> gpio;
  for (const auto& e : r.events) {
    if (e["op"] == "GpioSetDirection") gpio.push_back("dir " + Arg(e, "gpio"));
    if (e["op"] == "GpioSetValue") gpio.push_back("set " + Arg(e, "gpio") + "=" + Arg(e, "value"));
  }
  EXPECT_EQ(gpio, (std::vector<std::string>{"dir 152", "set 152=0", "dir 154", "set 154=0"}));
}

TEST(Sequence, ModeTwoFollowsTheAnswer) {
  struct Case {
    std::string answer, outcome;
    bool shutdown;
  };
  for (const Case& c : std::vector<Case>{{"yes@1500", "suspended", true},
                                         {"no@1500", "on", false},
                                         {"none", "on", false},
                                         {"cancel@10", "on", false}}) {
    SCOPED_TRACE(c.answer);
    const RunResult r = RunBuiltin("", {"2"}, {c.answer});
    EXPECT_EQ(r.outcome, c.outcome) << r.Dump();
    EXPECT_EQ(r.Has("Ril Down+"), c.shutdown);
    const auto boxes = r.Calls("MessageBoxW");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(Arg(boxes[0], "caption"), "Warning");
    EXPECT_EQ(Arg(boxes[0], "text"),
              "Your device will be powered off and data may be lost if not saved. Do you want to continue?");
    EXPECT_EQ(Arg(boxes[0], "style"), "0x40024");
  }
  // No answer: the box still stands at the end.
  const RunResult r = RunBuiltin("", {"2"}, {"none"});
  EXPECT_TRUE(r.summary["boxes"][0]["standing"].get<bool>());
}

TEST(Sequence, ModeTwoKeepsItsMutexUntilTheShutdownHasReturned) {
  const RunResult r = RunBuiltin("", {"2"}, {"yes"});
  std::size_t release = 0, suspend = 0;
  for (std::size_t i = 0; i < r.events.size(); ++i) {
    if (r.events[i]["op"] == "SetSystemPowerState") suspend = i;
    if (r.events[i]["op"] == "ReleaseMutex") release = i;  // the last release is mode 2's own
  }
  EXPECT_GT(release, suspend);
}

// Mode 3's timeout answers Yes to the prompt's own box. Another application's box with the same
// class and caption, shown later and so found first by class and caption, is left alone: it
// once got the Yes, and the program's own box then stood for good when the shutdown could not
// run (another instance held its mutex), so the handset stayed on with the program waiting.
TEST(Sequence, TheTimeoutAnswersOnlyItsOwnBox) {
  const std::string foreign_box = R"(
[[timeline]]
at_ms = 5000
do = "show_box"
title = "Warning"
)";
  const struct {
    const char* name;
    std::string overrides;
    std::vector<std::string> outcomes;
  } cases[] = {
      {"the shutdown runs", foreign_box, {"off", "suspended"}},
      {"another instance holds the shutdown's mutex",
       foreign_box + R"(
[[other_process]]
name = "another instance"
mutexes = ["NormalShutdown"]
)",
       {"on"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunBuiltin(c.overrides, {"3"}, {"none"});
    EXPECT_NE(std::find(c.outcomes.begin(), c.outcomes.end(), r.outcome), c.outcomes.end()) << r.Dump();
    EXPECT_TRUE(r.Has("[AutoShutdownThread] The Warning box found is another application's.")) << r.Dump();
    ASSERT_EQ(r.summary["boxes"].size(), 1u) << r.summary.dump(1);
    EXPECT_EQ(r.summary["boxes"][0]["result"], "yes") << r.summary.dump(1);
    EXPECT_FALSE(r.summary["boxes"][0]["standing"].get<bool>());
    const auto sends = r.Calls("SendMessageW");
    ASSERT_EQ(sends.size(), 1u);
    // Found first by class and caption: the other application's box, which gets nothing.
    const auto finds = r.Calls("FindWindowW");
    ASSERT_FALSE(finds.empty());
    EXPECT_NE(sends[0]["args"]["window"], finds.back()["result"]);
  }
}

TEST(Sequence, SecondInstanceOfModeTwoBringsTheFirstBoxForward) {
  const RunResult r = RunBuiltin(R"(
[[other_process]]
name = "shutdown.exe"
mutexes = ["UIShutDown"]
box = { title = "Warning" }
)",
                                 {"2"});
  EXPECT_EQ(r.outcome, "on") << r.Dump();
  EXPECT_TRUE(r.Calls("MessageBoxW").empty());
  const auto fg = r.Calls("SetForegroundWindow");
  ASSERT_EQ(fg.size(), 1u);
  EXPECT_TRUE(fg[0]["args"]["with_owned"].get<bool>());
  EXPECT_TRUE(r.lines.empty()) << r.Dump();
}

TEST(Sequence, ModeOneIsSilentWhileAnotherRunHoldsItsName) {
  for (const char* name : {"LpShutDown", "NormalShutdown"}) {
    SCOPED_TRACE(name);
    const RunResult r = RunBuiltin(std::string("[[other_process]]\nmutexes = [\"") + name + "\"]\n", {"1"});
    EXPECT_EQ(r.outcome, "on");
    EXPECT_TRUE(r.lines.empty()) << r.Dump();
    EXPECT_TRUE(r.Calls("RIL_Initialize").empty());
  }
}

TEST(Sequence, CommandLineSelectsTheMode) {
  struct Case {
    const char* cmdline;
    bool shutdown;
    const char* trace;  // expected only trace, or null for none
  };
  for (const Case& c : std::vector<Case>{{"", false, "Exit ShutDown main for argc is 0. "},
                                         {"   ", false, "Exit ShutDown main for argc is 0. "},
                                         {"\"\"", false, nullptr},
                                         {"x", false, nullptr},
                                         {"4 1", false, nullptr},
                                         {"1abc", true, nullptr},
                                         {"\"1 2\" 3", true, nullptr},
                                         {"  1", true, nullptr}}) {
    SCOPED_TRACE(c.cmdline);
    RunSpec spec;
    spec.cmdline = c.cmdline;
    const RunResult r = RunProgram(spec);
    EXPECT_EQ(r.Has("Ril Down+"), c.shutdown) << r.Dump();
    if (!c.shutdown) {
      if (c.trace) {
        ASSERT_EQ(r.lines.size(), 1u) << r.Dump();
        EXPECT_EQ(r.lines[0].text, c.trace);
      } else {
        EXPECT_TRUE(r.lines.empty()) << r.Dump();
      }
      EXPECT_EQ(r.summary["exit_code"], 0);
    }
  }
}

TEST(Sequence, WatchdogTakesTheHandsetDownWhenTheSuspendHangs) {
  const RunResult r = RunBuiltin("[power]\nsuspend_returns_after_ms = 90000\n", {"1"});
  EXPECT_EQ(r.outcome, "off") << r.Dump();
  EXPECT_TRUE(r.InOrder({"[Shutdown Thread] Run~", "[Shutdown TimeoutThread] WAIT_TIMEOUT!!!",
                         "[Shutdown|AnimTimeoutThread] DumpLogFile", "[Shutdown] GPS VBAT OFF~~",
                         "[Shutdown] BT VBAT OFF~~", "[VBatShutdown] PMU POWER OFF~~"}))
      << r.Dump();
  EXPECT_EQ(r.Count("[VBatShutdown] PMU POWER OFF~~"), 1);
  EXPECT_EQ(r.summary["backlight"], "off (D4)");
  // 60 s after the watchdog started.
  const int start = r.Find("[Shutdown Thread] Run~");
  const int timeout = r.Find("WAIT_TIMEOUT!!!");
  EXPECT_NEAR(r.lines[timeout].at_ms - r.lines[start].at_ms, 60000.0, 50.0);
}

TEST(Sequence, BoardWithoutThePmuLineRunsIntoTheTimeLimit) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n[board]\npmu_line = false\n[power]\nsuspend_returns_after_ms = 90000\n";
  spec.args = {"1"};
  spec.time_limit_ms = 66000;
  spec.keep_events = false;
  spec.expect_violations = {"run-ends"};
  const RunResult r = RunProgram(spec);
  EXPECT_EQ(r.outcome, "time-limit");
  EXPECT_EQ(r.exit_status, 4);
  EXPECT_GT(r.Count("[VBatShutdown] PMU POWER OFF~~"), 10);
}

TEST(Sequence, EveryFaultEndsTheRunWithItsTrace) {
  struct Case {
    std::string name, overrides;
    std::vector<std::string> fail;
    std::vector<std::string> args;
    std::string outcome;
    std::vector<std::string> traces;  // in order
    bool shutdown;
  };
  const std::vector<Case> cases = {
      {"sequence mutex",
       "",
       {"CreateMutexW:NormalShutdown"},
       {"1"},
       "on",
       {"[SHUTDOWN|NormalShutdown]CreateMutex NormalShutdown error"},
       false},
      {"mode 1 mutex",
       "",
       {"CreateMutexW:LpShutDown"},
       {"1"},
       "on",
       {"[SHUTDOWN|LpShutDown]CreateMutex LpShutDown error"},
       false},
      {"mode 2 mutex",
       "",
       {"CreateMutexW:UIShutDown"},
       {"2"},
       "on",
       {"[SHUTDOWN|UIShutDown]CreateMutex UIShutDown error"},
       false},
      {"bypass event",
       "",
       {"CreateEventW:BKL_BYPASSPOWERMSG"},
       {"1"},
       "suspended",
       {"[SHUTDOWN|NormalShutdown]Create BYPASSPOWERMSG_EVENT failed", "Ril Down+", "DumpLogFile"},
       true},
      {"no LCD driver", "[drivers]\nmissing = [\"SPI5:\"]\n", {}, {"1"}, "suspended", {"Ril Down+", "Ril Down-"}, true},
      {"LCD refuses",
       "[drivers]\nrefuse = [\"SPI5:\"]\n",
       {},
       {"1"},
       "suspended",
       {"Ril Down+", "[BKL] : LCD IOCTL_SET_DEVICE_POWER D4 error.", "Ril Down-"},
       true},
      {"no log-dump driver",
       "[drivers]\nmissing = [\"DMP1:\"]\n",
       {},
       {"1"},
       "suspended",
       {"[Shutdown|NormalShutdown] DumpLogFile", " CreateFile DMP1: error = 2 "},
       true},
      {"radio initialisation",
       "",
       {"RIL_Initialize"},
       {"1"},
       "suspended",
       {"[SHUTDOWN|RilShutDown]RIL_Initialize error", "[SHUTDOWN|RilShutDown]RIL_DevSpecific error", "Ril Down-"},
       true},
      {"radio command",
       "[radio]\ncommand_result = 0x80004005\n",
       {},
       {"1"},
       "suspended",
       {"[SHUTDOWN|RilShutDown]RIL_DevSpecific error", "not confirmed in 15000 ms", "Ril Down-"},
       true},
      {"radio never confirms",
       "[radio]\nconfirm = \"never\"\n",
       {},
       {"1"},
       "suspended",
       {"Ril Down+", "not confirmed in 15000 ms", "Ril Down-"},
       true},
      {"radio reports another state",
       "[radio]\nconfirm = \"other_state\"\n",
       {},
       {"1"},
       "suspended",
       {"[RIL|NotifyProc] dwCode = 8388609", "not confirmed in 15000 ms", "Ril Down-"},
       true},
      {"radio mask clear",
       "[radio]\nconfirm = \"mask_clear\"\n",
       {},
       {"1"},
       "suspended",
       {"[RIL|NotifyProc] dwCode = 8388609", "not confirmed in 15000 ms"},
       true},
      {"radio short payload",
       "[radio]\nconfirm = \"short_payload\"\n",
       {},
       {"1"},
       "suspended",
       {"[RIL|NotifyProc] dwCode = 8388609", "not confirmed in 15000 ms"},
       true},
      {"radio without payload",
       "[radio]\nconfirm = \"no_payload\"\n",
       {},
       {"1"},
       "suspended",
       {"[RIL|NotifyProc] dwCode = 8388609", "not confirmed in 15000 ms"},
       true},
      {"suspend returns late",
       "[power]\nsuspend_returns_after_ms = 5000\n",
       {},
       {"1"},
       "suspended",
       {"DumpLogFile"},
       true},
      {"suspend ends the run", "[power]\nsuspend = \"ends_run\"\n", {}, {"1"}, "suspended", {"DumpLogFile"}, true},
      {"radio thread busy before the wait",
       "[radio]\nconfirm_after_ms = 0\n",
       {},
       {"1"},
       "suspended",
       {"Power Off OK", "Ril Down-"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunOverBuiltin(c.overrides, c.args, c.fail);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, c.outcome) << r.Dump();
    EXPECT_TRUE(r.InOrder(c.traces)) << r.Dump();
    EXPECT_EQ(r.Has("Ril Down+"), c.shutdown) << r.Dump();
    EXPECT_EQ(r.summary["misuses"], 0) << r.Dump();
  }
}

TEST(Sequence, RadioWaitIsSkippedWhenTheRadioLayerNeverStarted) {
  RunSpec spec;
  spec.args = {"1"};
  spec.fail = {"RIL_Initialize"};
  const RunResult r = RunProgram(spec);
  const int up = r.Find("RIL_DevSpecific error");
  const int down = r.Find("Ril Down-");
  ASSERT_GE(down, 0);
  EXPECT_LT(r.lines[down].at_ms - r.lines[up].at_ms, 100.0);
  EXPECT_FALSE(r.Has("not confirmed"));
}

TEST(Sequence, TwoPowerOffReportsEndOneWait) {
  const RunResult r = RunBuiltin(R"(
[radio]
confirm_after_ms = 10
[[radio.notify]]
after_ms = 5
words = [20, 1, 1]
)",
                                 {"1"});
  EXPECT_EQ(r.Count("Power Off OK"), 2) << r.Dump();
  EXPECT_EQ(r.Count("Ril Down-"), 1);
  EXPECT_EQ(r.outcome, "suspended");
}

TEST(Sequence, NotificationsOfOtherCodesAreOnlyTraced) {
  const RunResult r = RunBuiltin(R"(
[[radio.notify]]
code = 0x00800002
words = [20, 1, 1]
)",
                                 {"1"});
  EXPECT_TRUE(r.Has("[RIL|NotifyProc] dwCode = 8388610"));
  EXPECT_EQ(r.Count("Power Off OK"), 1) << r.Dump();
}

TEST(Sequence, HandlesLeftOpenAreThoseKeptByDesign) {
  const RunResult r = RunBuiltin("", {"1"});
  std::vector<std::string> open;
  for (const auto& h : r.summary["handles_open"]) open.push_back(h["what"]);
  EXPECT_EQ(open, (std::vector<std::string>{"mutex 'LpShutDown'", "an unnamed event", "an unnamed event",
                                            "thread 'AnimTimeoutThread'"}));
}

TEST(Sequence, SameSeedReplaysTheSameRun) {
  for (std::uint64_t seed : {0ull, 7ull, 987654321ull}) {
    SCOPED_TRACE(seed);
    RunSpec spec;
    spec.args = {"1"};
    spec.seed = seed;
    const RunResult a = RunProgram(spec);
    const RunResult b = RunProgram(spec);
    EXPECT_EQ(a.raw_trace, b.raw_trace);
    ASSERT_EQ(a.events.size(), b.events.size());
    for (std::size_t i = 0; i < a.events.size(); ++i) ASSERT_EQ(a.events[i], b.events[i]) << i;
  }
}

TEST(Sequence, ModeOneEndsSuspendedUnderEveryThreadOrder) {
  for (std::uint64_t seed = 1; seed <= testing_support::SeedsToRun(200); ++seed) {
    RunSpec spec;
    spec.args = {"1"};
    spec.seed = seed;
    spec.keep_events = false;
    const RunResult r = RunProgram(spec);
    ASSERT_EQ(r.outcome, "suspended") << "seed " << seed << "\n" << r.Dump();
    ASSERT_EQ(r.Count("Ril Down+"), 1) << "seed " << seed;
  }
}

// Failures the fault sweep found: each ends with the handset down (or the prompt over) and with
// no invalid handle handed to the platform.
TEST(Sequence, FailuresThatOnceLeftTheHandsetHalfDown) {
  struct Case {
    std::string name;
    std::vector<std::string> args, fail, answers;
    std::string overrides, outcome;
    std::vector<std::string> traces;
  };
  const std::vector<Case> cases = {
      {"radio event not created",
       {"1"},
       {"CreateEventW@2"},
       {},
       "",
       "suspended",
       {"Ril Down event missing, not waiting", "Ril Down-"}},
      {"done event not created, suspend hangs",
       {"1"},
       {"CreateEventW@4"},
       {},
       "[power]\nsuspend_returns_after_ms = 90000\n",
       "off",
       {"[Shutdown Thread] Run~", "Wait failed, sleeping 60000 ms~", "WAIT_TIMEOUT!!!", "PMU POWER OFF"}},
      {"watchdog wait fails, suspend hangs",
       {"1"},
       {"WaitForSingleObject@2"},
       {},
       "[power]\nsuspend_returns_after_ms = 90000\n",
       "off",
       {"Wait failed, sleeping 60000 ms~", "PMU POWER OFF"}},
      {"watchdog thread not created",
       {"1"},
       {"CreateThread:AnimTimeoutThread"},
       {},
       "",
       "off",
       {"Watchdog thread not started", "[Shutdown|NormalShutdown] DumpLogFile", "WAIT_TIMEOUT!!!", "PMU POWER OFF"}},
      {"prompt event not created",
       {"3"},
       {"CreateEventW@1"},
       {},
       "",
       "on",
       {"[AutoShutdown] AutoShutdownPrompt ++ ", "[AutoShutdown] Create AutoShutdown Event failed! "}},
      {"timeout's sequence cannot take its mutex",
       {"3"},
       {"CreateMutexW:NormalShutdown@1"},
       {},
       "",
       "suspended",
       {"[SHUTDOWN|NormalShutdown]CreateMutex NormalShutdown error", "[UIAutoShutDown] Ret = IDYES ", "Ril Down+",
        "[AutoShutdown] AutoShutdownPrompt -- "}},
      {"no sequence can take its mutex",
       {"3"},
       {"CreateMutexW:NormalShutdown@1+"},
       {},
       "",
       "on",
       {"Wait for NormalShutdown complete...", "[UIAutoShutDown] Ret = IDYES ",
        "[SHUTDOWN|NormalShutdown]CreateMutex NormalShutdown error", "[AutoShutdown] AutoShutdownPrompt -- "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunOverBuiltin(c.overrides, c.args, c.fail, c.answers);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, c.outcome) << r.Dump();
    EXPECT_TRUE(r.InOrder(c.traces)) << r.Dump();
    EXPECT_TRUE(r.summary["violations"].empty()) << r.summary["violations"].dump(2);
  }
}

TEST(Sequence, ARefusedSequenceLeavesNoHandleToItsMutex) {
  const RunResult r = RunBuiltin("[[other_process]]\nmutexes = [\"NormalShutdown\"]\n", {"1"});
  for (const auto& h : r.summary["handles_open"]) EXPECT_NE(h["what"], "mutex 'NormalShutdown'");
  ASSERT_EQ(r.Calls("CreateMutexW").size(), 2u);
  EXPECT_EQ(r.Calls("CloseHandle").size(), 1u);
}

// Once the main routine has closed the count of runs to end the process, a late caller (the
// prompt's timeout thread) starts nothing, not even the sequence's mutex, and the count refuses
// it every time.
TEST(Sequence, ACallerAfterTheProcessBeganToEndStartsNothing) {
  RunSpec spec;
  const RunResult r = testing_support::RunRoutine(spec, [] {
    const BOOL closed = CloseNormalShutdownRuns();
    NormalShutdown();
    NormalShutdown();
    return sim::Json{{"closed", closed != 0},
                     {"runs", g_lNormalShutdownRuns.load()},
                     {"completed", g_lNormalShutdownsCompleted.load()}};
  });
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.value["closed"], true);
  EXPECT_EQ(r.value["runs"], NORMAL_SHUTDOWN_RUNS_CLOSED);
  EXPECT_EQ(r.value["completed"], 0);
  EXPECT_EQ(r.Count("[Shutdown|NormalShutdown] Process is ending, shutdown not started"), 2) << r.Dump();
  EXPECT_TRUE(r.Calls("CreateMutexW").empty());
}

// A refused or failed start leaves the count as it found it, so that the process can still end.
TEST(Sequence, ARefusedStartIsCountedOut) {
  struct Case {
    std::string name, overrides;
    std::vector<std::string> fail;
  };
  for (const Case& c :
       std::vector<Case>{{"mutex not created", "", {"CreateMutexW:NormalShutdown"}},
                         {"another run holds the mutex", "[[other_process]]\nmutexes = [\"NormalShutdown\"]\n", {}}}) {
    SCOPED_TRACE(c.name);
    RunSpec spec;
    spec.scenario = "base = \"builtin\"\n" + c.overrides;
    spec.fail = c.fail;
    const RunResult r = testing_support::RunRoutine(spec, [] {
      NormalShutdown();
      return sim::Json{{"runs", g_lNormalShutdownRuns.load()}, {"closes", CloseNormalShutdownRuns() != 0}};
    });
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.value["runs"], 0);
    EXPECT_EQ(r.value["closes"], true);
    EXPECT_FALSE(r.Has("Ril Down+")) << r.Dump();
  }
}

// The value readers open their keys with full access; the call monitor opens its key with none.
TEST(Registry, EachOpenAsksForItsAccess) {
  const std::string call_active =
      "[registry]\npatch = '''\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call "
      "Count\"=dword:00000001\n'''\n"
      "[[timeline]]\nat_ms = 3000\ndo = \"delete_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call "
      "Count\"\n";
  const std::map<std::string, unsigned long> access = {
      {"RegReadDword", 0xF003F}, {"RegReadString", 0xF003F}, {"MonitorPhoneState", 0}};
  std::map<std::string, int> seen;
  for (const auto& [overrides, mode] :
       std::vector<std::pair<std::string, std::string>>{{"", "1"}, {call_active, "3"}}) {
    const RunResult r = RunOverBuiltin(overrides, {mode}, {}, {"no@1000"});
    ASSERT_EQ(r.error, "");
    for (const auto& open : r.Calls("RegOpenKeyExW")) {
      const std::string caller = open.value("caller", "");
      SCOPED_TRACE(caller);
      ASSERT_TRUE(access.count(caller)) << "an open by " << caller;
      EXPECT_EQ(std::stoul(Arg(open, "access"), nullptr, 16), access.at(caller));
      ++seen[caller];
    }
  }
  EXPECT_EQ(seen.size(), access.size());
}

// Once a run has ended (the forced suspend came back: the handset was woken), a later call does
// nothing: one run of the program switches the handset off once.
TEST(Sequence, ACallAfterAFinishedRunSwitchesOffNoMore) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n[power]\nsuspend = \"returns\"\n";
  const RunResult r = testing_support::RunRoutine(spec, [] {
    NormalShutdown();
    NormalShutdown();
    return sim::Json{{"runs", g_lNormalShutdownRuns.load()}, {"completed", g_lNormalShutdownsCompleted.load()}};
  });
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.value["runs"], 0);
  EXPECT_EQ(r.value["completed"], 1);
  EXPECT_EQ(r.Count("Ril Down+"), 1) << r.Dump();
  EXPECT_EQ(r.Count("[Shutdown|NormalShutdown] Already switched off once, not again"), 1) << r.Dump();
  EXPECT_EQ(r.Calls("CreateMutexW").size(), 1u);
  EXPECT_EQ(r.Calls("SetSystemPowerState").size(), 1u);
}
