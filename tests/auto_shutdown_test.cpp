// Mode 3, the automatic shutdown, on the simulated handset: every way the timed prompt can go,
// the answer crossing the timeout under many thread orders, and the built-in handset through the
// devsim runner.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "tests/harness.h"

using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

constexpr const char* kPromptIn = "[AutoShutdown] AutoShutdownPrompt ++ ";
constexpr const char* kPromptOut = "[AutoShutdown] AutoShutdownPrompt -- ";
constexpr const char* kThreadRun = "[AutoShutdownThread] Thread run...";
constexpr const char* kSignaled = "[AutoShutdownThread] Event signaled, Exit thread. ";
constexpr const char* kTimeOut = "[AutoShutdownThread] Time out, shutdown start...";
constexpr const char* kSentYes = "[AutoShutdownThread] SendMessage IDYES.";
constexpr const char* kBoxIn = "[UIAutoShutDown] UIAutoShutDown ++ ";
constexpr const char* kBoxOut = "[UIAutoShutDown] UIAutoShutDown -- ";
constexpr const char* kVibrate = "[UIAutoShutDown] VibratePrompt ++ ";
constexpr const char* kParked = "[UIAutoShutDown] Wait for NormalShutdown complete... ";
constexpr const char* kRilDown = "[Shutdown|NormalShutdown] Ril Down+";
constexpr const char* kDumpLog = "[Shutdown|NormalShutdown] DumpLogFile";

std::string Arg(const sim::Json& call, const char* name) {
  const auto& v = call["args"][name];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

RunResult RunMode3(const std::string& overrides, std::vector<std::string> answers, std::vector<std::string> fail = {},
                   std::uint64_t seed = 0) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n" + overrides;
  spec.args = {"3"};
  spec.answers = std::move(answers);
  spec.fail = std::move(fail);
  spec.seed = seed;
  // Long enough for the watchdog of a shutdown that starts at the timeout; a prompt that never
  // ends hits it and shows as "time-limit".
  spec.time_limit_ms = 200000;
  return testing_support::Run(spec);
}

// The thread that printed the first line containing `text`, or "".
std::string ThreadOf(const RunResult& r, const std::string& text) {
  const int i = r.Find(text);
  return i < 0 ? "" : r.lines[i].thread;
}

}  // namespace

TEST(AutoShutdownPrompt, EveryPathOfThePrompt) {
  struct Case {
    std::string name, overrides;
    std::vector<std::string> answers, fail;
    std::string outcome;
    std::vector<std::string> in_order;
    std::vector<std::string> absent;
    std::function<void(const RunResult&)> more;
  };
  const std::vector<Case> cases = {
      {"yes two seconds after the box shows",
       "",
       {"yes@2000"},
       {},
       "suspended",
       {kPromptIn, kThreadRun, kBoxIn, kVibrate, "g_bShutdownBegin=0", "[UIAutoShutDown] Ret = IDYES ", kRilDown,
        kDumpLog, kBoxOut, kPromptOut},
       {kTimeOut, kParked},
       [](const RunResult& r) {
         EXPECT_TRUE(r.Has(kSignaled));
         EXPECT_EQ(ThreadOf(r, kRilDown), "main");  // the prompt thread switches off
         EXPECT_TRUE(r.summary["process_ended"].get<bool>());
         // Unattended mode: entered by the prompt, again by the sequence, left by the prompt.
         std::vector<std::string> unattended;
         for (const auto& c : r.Calls("PowerPolicyNotify")) unattended.push_back(Arg(c, "data"));
         EXPECT_EQ(unattended, (std::vector<std::string>{"1", "1", "0"}));
       }},
      {"no",
       "",
       {"no@2000"},
       {},
       "on",
       {kPromptIn, kVibrate, "g_bShutdownBegin=0", "[UIAutoShutDown] Ret = IDNO ", kBoxOut, kPromptOut},
       {kRilDown, kTimeOut},
       [](const RunResult& r) {
         EXPECT_TRUE(r.Has(kSignaled));
         EXPECT_TRUE(r.summary["process_ended"].get<bool>());
         EXPECT_EQ(r.summary["unattended_mode"], false);
       }},
      {"no answer",
       "",
       {},
       {},
       "off",
       {kPromptIn, kVibrate, kTimeOut, "g_bShutdownBegin=1", kParked, "[VBatShutdown] PMU POWER OFF~~"},
       {kSignaled, kBoxOut, kPromptOut, "Ret = "},
       [](const RunResult& r) {
         EXPECT_TRUE(r.InOrder({kTimeOut, kSentYes, kRilDown, kDumpLog}));
         EXPECT_EQ(ThreadOf(r, kRilDown), "AutoShutdownThread");
         EXPECT_EQ(ThreadOf(r, kParked), "main");
         EXPECT_FALSE(r.summary["process_ended"].get<bool>());
         // The timeout's two lines end in a bare line feed.
         EXPECT_NE(r.raw_trace.find("shutdown start...\n"), std::string::npos);
         EXPECT_NE(r.raw_trace.find("SendMessage IDYES.\n"), std::string::npos);
         EXPECT_EQ(r.raw_trace.find("shutdown start...\r"), std::string::npos);
         EXPECT_EQ(r.raw_trace.find("SendMessage IDYES.\r"), std::string::npos);
         const auto sends = r.Calls("SendMessageW");
         ASSERT_EQ(sends.size(), 1u);
         EXPECT_EQ(Arg(sends[0], "message"), "0x111");
         EXPECT_EQ(Arg(sends[0], "wparam"), "6");
         EXPECT_EQ(r.summary["boxes"][0]["result"], "yes");
       }},
      {"a result neither yes nor no",
       "",
       {"cancel@2000"},
       {},
       "on",
       {kPromptIn, "g_bShutdownBegin=0", kBoxOut, kPromptOut},
       {"Ret = ", kSignaled, kTimeOut, kRilDown},
       [](const RunResult& r) {
         EXPECT_TRUE(r.Calls("SetEvent").empty());
         EXPECT_TRUE(r.summary["process_ended"].get<bool>());
       }},
      {"another instance's box stands",
       "[[other_process]]\nmutexes = [\"UIAutoShutDown\"]\nbox = {title = \"Warning\"}\n",
       {},
       {},
       "on",
       {kPromptIn, kBoxIn, "[UIAutoShutDown] Already exists Shutdown messagebox",
        "[UIAutoShutDown] Find Shutdown messagebox ", kVibrate, "[UIAutoShutDown] UIAutoShutDown --- ", kPromptOut},
       {"g_bShutdownBegin", kTimeOut, kRilDown},
       [](const RunResult& r) {
         EXPECT_TRUE(r.Calls("MessageBoxW").empty());
         const auto front = r.Calls("SetForegroundWindow");
         ASSERT_EQ(front.size(), 1u);
         EXPECT_EQ(Arg(front[0], "with_owned"), "true");
         EXPECT_EQ(r.summary["brought_to_front"], sim::Json::array({"Warning"}));
         ASSERT_EQ(r.summary["vibrations"].size(), 1u);
         EXPECT_FALSE(r.summary["vibrations"][0]["off_ms"].is_null());
         EXPECT_TRUE(r.Calls("SetSystemPowerState").empty());
       }},
      {"another instance holds the mutex, its box not up yet",
       "[[timeline]]\nat_ms = 0\ndo = \"hold_mutex\"\nname = \"UIAutoShutDown\"\n"
       "[[timeline]]\nat_ms = 5000\ndo = \"show_box\"\ntitle = \"Warning\"\n",
       {},
       {},
       "on",
       {kBoxIn, "[UIAutoShutDown] Already exists Shutdown messagebox", "[UIAutoShutDown] UIAutoShutDown --- ",
        kPromptOut},
       {"Find Shutdown messagebox", kVibrate},
       [](const RunResult& r) { EXPECT_TRUE(r.Calls("NLedSetDevice").empty()); }},
      {"the mutex cannot be created",
       "",
       {},
       {"CreateMutexW:UIAutoShutDown"},
       "on",
       {kPromptIn, kBoxIn, "[UIAutoShutDown][Error] UIAutoShutDown --, CreateMutex failed. ", kPromptOut},
       {kVibrate, "g_bShutdownBegin", kBoxOut, kRilDown},
       [](const RunResult& r) { EXPECT_TRUE(r.Calls("MessageBoxW").empty()); }},
      // Without its timeout thread the prompt is over at once, and the process ends rather than
      // waiting for a flag that nothing would set.
      {"the timeout thread cannot be created",
       "",
       {},
       {"CreateThread:AutoShutdownThread"},
       "on",
       {kPromptIn, "[AutoShutdown] Create AutoShutdown Thread failed! "},
       {kBoxIn, kVibrate, kPromptOut},
       [](const RunResult& r) {
         EXPECT_TRUE(r.summary["process_ended"].get<bool>());
         EXPECT_TRUE(r.Calls("PowerPolicyNotify").empty());
         EXPECT_TRUE(r.Calls("MessageBoxW").empty());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunMode3(c.overrides, c.answers, c.fail);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, c.outcome) << r.Dump();
    EXPECT_TRUE(r.InOrder(c.in_order)) << r.Dump();
    for (const auto& text : c.absent) EXPECT_FALSE(r.Has(text)) << text << "\n" << r.Dump();
    EXPECT_EQ(r.summary["misuses"], 0);
    EXPECT_EQ(r.summary["unused_fault_rules"].size(), 0u);
    if (c.more) c.more(r);
  }
}

TEST(AutoShutdownPrompt, TheBoxAsksTheAutoShutdownQuestionAfterForcingThePowerOn) {
  const RunResult r = RunMode3("", {"no@2000"});
  const auto boxes = r.Calls("MessageBoxW");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Arg(boxes[0], "caption"), "Warning");
  EXPECT_EQ(Arg(boxes[0], "text"), "Your device will be powered off in 10 seconds. Do you want to continue?");
  EXPECT_EQ(Arg(boxes[0], "style"), "0x40024");
  const auto power = r.Calls("SetSystemPowerState");
  ASSERT_EQ(power.size(), 1u);
  EXPECT_EQ(Arg(power[0], "flags"), "0x10000");
  EXPECT_EQ(Arg(power[0], "options"), "0x1000");
  // The power is forced on before the vibration, and the box follows the vibration.
  EXPECT_LT(power[0]["seq"].get<int>(), r.Calls("NLedSetDevice").front()["seq"].get<int>());
  EXPECT_LT(r.Calls("NLedSetDevice").back()["seq"].get<int>(), boxes[0]["seq"].get<int>());
  // The timeout thread waits 13,000 ms on the answer event.
  const auto waits = r.Calls("WaitForSingleObject");
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits[0]["thread"], "AutoShutdownThread");
  EXPECT_EQ(Arg(waits[0], "timeout_ms"), "13000");
}

// An answer given about when the timeout ends, under many thread orders. Whatever the order, the
// run ends, the shutdown sequence runs at most once and never stops half-way, and a No that does
// not cross the timeout leaves the handset on.
TEST(AutoShutdownPrompt, AnAnswerCrossingTheTimeout) {
  int late_no_with_shutdown = 0, clean_no = 0, parked = 0;
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    // The box shows about 3 s after the timeout thread starts: answers about 10 s after it
    // straddle the 13,000 ms wait.
    const std::string answer = std::string(seed % 2 ? "no" : "yes") + "@" + std::to_string(9975 + seed % 40);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", answer " + answer);
    RunSpec spec;
    spec.scenario = "base = \"builtin\"\n";
    spec.args = {"3"};
    spec.answers = {answer};
    spec.seed = seed;
    spec.time_limit_ms = 200000;
    spec.keep_events = false;
    const RunResult r = testing_support::Run(spec);
    ASSERT_EQ(r.error, "");
    ASSERT_TRUE(r.outcome == "on" || r.outcome == "suspended" || r.outcome == "off") << r.Dump();
    EXPECT_LE(r.Count(kRilDown), 1) << r.Dump();
    EXPECT_EQ(r.summary["misuses"], 0) << r.Dump();
    if (r.Has(kRilDown)) {
      // A shutdown that began also reached its forced suspend.
      EXPECT_TRUE(r.Has(kDumpLog)) << r.Dump();
      EXPECT_EQ(r.summary["suspend_requests"], 1) << r.Dump();
      EXPECT_NE(r.outcome, "on") << r.Dump();
    }
    const bool no = seed % 2 == 1;
    if (no && r.Has(kSignaled)) {
      ++clean_no;
      EXPECT_EQ(r.outcome, "on") << r.Dump();
      EXPECT_FALSE(r.Has(kRilDown)) << r.Dump();
    }
    if (!no) {
      EXPECT_NE(r.outcome, "on") << r.Dump();
    }
    if (no && r.Has(kTimeOut) && r.Has("Ret = IDNO") && r.Has(kRilDown)) ++late_no_with_shutdown;
    if (r.Has(kParked)) ++parked;
  }
  // The sweep must really reach the crossings, not only clean answers on either side.
  EXPECT_GT(clean_no, 0);
  EXPECT_GT(late_no_with_shutdown, 0);
  EXPECT_GT(parked, 0);
}

// devsim 3 on the built-in handset, as a person would run it.
TEST(AutoShutdownPrompt, DevsimModeThreeOnTheBuiltInHandset) {
  struct Case {
    std::string options, outcome;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", "outcome: off", {"pmu line driven low", "box 'warning': shown at"}},
      {"--answer yes@2000", "outcome: suspended", {"power state: suspended"}},
      {"--answer no@2000", "outcome: on", {"power state: on", "answer no"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string out = testing_support::DevsimCommand(c.options + " -- 3", true).out;
    std::string lower = out;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(out.find(c.outcome + " ("), std::string::npos) << out;
    for (const auto& l : c.lines) EXPECT_NE(lower.find(l), std::string::npos) << l << "\n" << out;
  }
}

TEST(AutoShutdownPrompt, WithoutAnAnswerTheWatchdogCutsThePowerAMinuteAfterItStarted) {
  const RunResult r = RunMode3("", {});
  ASSERT_EQ(r.outcome, "off") << r.Dump();
  const int start = r.Find("[Shutdown Thread] Run~");
  const int pmu = r.Find("[VBatShutdown] PMU POWER OFF~~");
  ASSERT_GE(start, 0);
  ASSERT_GT(pmu, start);
  EXPECT_GE(r.lines[pmu].at_ms - r.lines[start].at_ms, 60000.0);
  EXPECT_EQ(r.summary["pmu_line"], "driven low");
}

// Seeds at which a No or a Cancel crossing the timeout once let the process end while the
// timeout thread had created the sequence's mutex but not yet counted its run in. Each must now
// keep every invariant: the handset ends on, or switched off, never half shut down.
TEST(AutoShutdownPrompt, AnAnswerCrossingTheTimeoutNeverEndsTheProcessUnderTheSequence) {
  struct Case {
    std::string answer;
    std::uint64_t seed;
    std::vector<std::string> fail;
  };
  const std::vector<Case> cases = {
      {"no@9995~8", 142, {}},
      {"no@9998", 143, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer + " seed " + std::to_string(c.seed));
    const RunResult r = RunMode3("", {c.answer}, c.fail, c.seed);  // the harness judges the invariants
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.outcome == "on" || r.outcome == "off" || r.outcome == "suspended") << r.Dump();
  }
}

// The timeout finds no box (its caption failed to load), switches the handset off itself, and
// the forced suspend comes back: the handset has been woken. The closing of the applications did
// not see the box still standing (the window enumeration failed), so an answer to it then finds
// the shutdown done. It must neither touch the event the shutdown closed nor switch the woken
// handset off a second time; the prompt ends and the process with it.
TEST(AutoShutdownPrompt, AnAnswerAfterTheTimeoutsShutdownCameBackSwitchesOffNoMore) {
  for (const std::string answer : {"yes@13851", "no@13851", "yes@30000"}) {
    SCOPED_TRACE(answer);
    const RunResult r = RunMode3("[power]\nsuspend = \"returns\"\n", {answer}, {"LoadStringW@3", "EnumWindows"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, "suspended") << r.Dump();
    EXPECT_EQ(r.Count(kRilDown), 1) << r.Dump();
    EXPECT_EQ(ThreadOf(r, kRilDown), "AutoShutdownThread") << r.Dump();
    EXPECT_EQ(r.summary["misuses"], 0) << r.Dump();
    EXPECT_EQ(r.summary["suspend_requests"], 1) << r.Dump();
    EXPECT_TRUE(r.InOrder({kTimeOut, kDumpLog, "Shutdown already closed the event, not set", kBoxOut, kPromptOut}))
        << r.Dump();
    EXPECT_EQ(r.Has("Already switched off once, not again"), answer.rfind("yes", 0) == 0) << r.Dump();
    // The prompt never set its event: the shutdown had closed it.
    for (const auto& call : r.Calls("SetEvent")) EXPECT_NE(call["caller"], "UIAutoShutDown") << call.dump();
  }
}

// The same, with the window enumeration working: the program is one of the handset's processes,
// so the timeout's shutdown finds the box still standing among the windows and asks it to close,
// as any application's. The box returns Cancel before anybody answers it, and the prompt ends.
TEST(AutoShutdownPrompt, TheTimeoutsShutdownClosesTheBoxItCouldNotFind) {
  const RunResult r = RunMode3("[power]\nsuspend = \"returns\"\n", {"yes@13851"}, {"LoadStringW@3"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.outcome, "suspended") << r.Dump();
  EXPECT_EQ(r.Count(kRilDown), 1) << r.Dump();
  EXPECT_EQ(r.summary["suspend_requests"], 1) << r.Dump();
  const auto boxes = r.Calls("MessageBoxW");
  ASSERT_EQ(boxes.size(), 1u) << r.Dump();
  EXPECT_EQ(boxes[0].value("result", 0), IDCANCEL) << r.Dump();  // closed, not answered
  EXPECT_FALSE(r.Has("Already switched off once, not again")) << r.Dump();
}
