// Each invariant checker catches the fault it is there for, on a small made-up event log, and
// stays quiet on a sound one.
#include <gtest/gtest.h>

#include <set>

#include "sim/checks/checked_run.h"

using sim::Json;

namespace {

Json Call(const std::string& op, Json args, Json result, const std::string& thread = "main",
          const std::string& caller = "") {
  Json e{{"kind", "call"}, {"op", op}, {"thread", thread}, {"args", std::move(args)}, {"result", std::move(result)}};
  if (!caller.empty()) e["caller"] = caller;
  return e;
}

Json Device(const std::string& op) { return Json{{"kind", "device"}, {"op", op}, {"thread", "device"}}; }

// A sound sequence run: the mutex, every request of the sequence in its order (the ERTC before
// the LCD, the keyboard lock around the applications), the mutex released and closed, the end.
std::vector<Json> SoundRun() {
  auto seq = [](const std::string& op, Json args = Json::object(), Json result = nullptr) {
    return Call(op, std::move(args), std::move(result), "main", "NormalShutdown");
  };
  return {
      seq("CreateMutexW", {{"name", "NormalShutdown"}}, "0x1000"),
      seq("CreateEventW", {{"name", "BKL_BYPASSPOWERMSG"}}, "0x1004"),
      seq("SetEvent", {{"handle", "0x1004"}}, true),
      seq("PowerPolicyNotify", {{"message", 3}, {"data", 1}}),
      seq("CreateEventW", Json::object(), "0x1008"),
      Call("KernelIoControl", {{"in", "0A 00 00 00 70 5B F3 6D"}}, true, "main", "HalOemCommand"),
      Call("RegistryGetString", Json::object(), 0, "main", "ShutDownAnimation"),
      Call("CreateFileW", {{"name", "SPI5:"}}, "0x100C", "main", "LcdPowerOff"),
      Call("RIL_Initialize", Json::object(), 0, "main", "RilShutDown"),
      seq("SystemIdleTimerReset"),
      seq("CreateEventW", Json::object(), "0x1010"),
      seq("CreateThread", Json::object(), "0x1014"),
      Call("SetWindowsHookExW", Json::object(), "0x30000", "main", "InstallKeyboardLock"),
      seq("SystemIdleTimerReset"),
      Call("CreateToolhelp32Snapshot", Json::object(), "0x1018", "main", "GetTaskListCE"),
      Call("UnhookWindowsHookEx", {{"hook", "0x30000"}}, true, "main", "RemoveKeyboardLock"),
      Call("KernelIoControl", {{"in", "01 00 00 00 01 00 00 00"}}, true, "main", "HalOemCommand"),
      seq("SystemIdleTimerReset"),
      seq("RIL_Deinitialize", Json::object(), 0),
      Call("CreateFileW", {{"name", "DMP1:"}}, "0x101C", "main", "DumpLogFile"),
      seq("SetSystemPowerState", Json::object(), 0),
      seq("ReleaseMutex", {{"handle", "0x1000"}}, true),
      seq("CloseHandle", {{"handle", "0x1000"}}, true),
      Device("process.exit"),
  };
}

// Index of the first event with this op (and this argument value, when given).
std::size_t At(const std::vector<Json>& e, const std::string& op, const std::string& arg = "",
               const std::string& value = "") {
  for (std::size_t i = 0; i < e.size(); ++i)
    if (e[i].value("op", "") == op && (arg.empty() || (e[i]["args"].contains(arg) && e[i]["args"][arg] == value)))
      return i;
  ADD_FAILURE() << "no " << op;
  return 0;
}

// Judged as every run is: each checker sees only the summary members the table names.
std::vector<sim::Violation> Check(const std::vector<Json>& events, Json summary = Json::object(),
                                  sim::EndKind end = sim::EndKind::kProcessEnded) {
  if (!summary.contains("outcome")) summary["outcome"] = "suspended";
  if (!summary.contains("handles_open")) summary["handles_open"] = Json::array();
  const std::vector<sim::Event> records = sim::EventsFromJson(events);
  return sim::Judge(records, summary, end).violations;
}

std::vector<std::string> Names(const std::vector<sim::Violation>& v) {
  std::vector<std::string> out;
  for (const auto& x : v) out.push_back(x.invariant);
  return out;
}

}  // namespace

TEST(Invariants, SoundRunPasses) { EXPECT_TRUE(Check(SoundRun()).empty()); }

TEST(Invariants, EachCheckerCatchesItsFault) {
  using Events = std::vector<Json>;
  struct Case {
    std::string name;
    std::function<void(Events&, Json&)> spoil;
    std::vector<std::string> invariants;
  };
  auto erase = [](Events& e, std::size_t i) { e.erase(e.begin() + static_cast<long>(i)); };
  const std::vector<Case> cases = {
      {"stuck", [](auto&, Json& s) { s["outcome"] = "stuck"; }, {"run-ends"}},
      {"time limit", [](auto&, Json& s) { s["outcome"] = "time-limit"; }, {"run-ends"}},
      {"two bodies",
       [](Events& e, Json&) {
         e.push_back(Call("CreateEventW", {{"name", "BKL_BYPASSPOWERMSG"}}, "0x2000", "other"));
       },
       {"single-sequence"}},
      {"radio after No",
       [](Events& e, Json& s) {
         e.insert(e.begin(), Call("MessageBoxW", Json::object(), "IDNO"));
         s["outcome"] = "on";
       },
       {"no-keeps-on"}},
      {"process ends mid-sequence",
       [](Events& e, Json&) { std::swap(e[e.size() - 2], e[e.size() - 1]); },
       {"process-outlives-sequence"}},
      {"no ERTC write", [&](Events& e, Json&) { erase(e, At(e, "KernelIoControl")); }, {"ertc-once", "sequence-order"}},
      {"ERTC after the LCD",
       [](Events& e, Json&) { std::swap(e[At(e, "KernelIoControl")], e[At(e, "CreateFileW", "name", "SPI5:")]); },
       {"ertc-once", "sequence-order"}},
      {"lock never removed",
       [&](Events& e, Json&) { erase(e, At(e, "UnhookWindowsHookEx")); },
       {"keyboard-lock", "sequence-order"}},
      {"key through the lock",
       [](Events& e, Json&) {
         e.insert(e.begin() + static_cast<long>(At(e, "UnhookWindowsHookEx")), Device("keyboard.delivered"));
       },
       {"keyboard-lock"}},
      {"device handle left open",
       [](auto&, Json& s) {
         s["handles_open"].push_back({{"what", "device 'SPI5:'"}, {"kind", "device"}, {"caller", "LcdPowerOff"}});
       },
       {"handles-closed"}},
      {"a third unnamed event of the sequence",
       [](auto&, Json& s) {
         for (int i = 0; i < 3; ++i)
           s["handles_open"].push_back({{"what", "an unnamed event"}, {"kind", "event"}, {"caller", "NormalShutdown"}});
       },
       {"handles-closed"}},
      {"the prompt's thread left open after the prompt returned",
       [](Events& e, Json& s) {
         e.insert(e.begin(), Call("PowerPolicyNotify", Json::object(), nullptr, "main", "AutoShutdownPrompt"));
         e.insert(e.end() - 1, Call("PowerPolicyNotify", Json::object(), nullptr, "main", "AutoShutdownPrompt"));
         s["handles_open"].push_back(
             {{"what", "thread 'AutoShutdownThread'"}, {"kind", "thread"}, {"caller", "AutoShutdownPrompt"}});
       },
       {"handles-closed"}},
      {"the prompt's event left open by a finished sequence",
       [](auto&, Json& s) {
         s["handles_open"].push_back(
             {{"what", "an unnamed event"}, {"kind", "event"}, {"caller", "AutoShutdownPrompt"}});
       },
       {"handles-closed"}},
      {"invalid handle",
       [](Events& e, Json&) { e[1]["misuse"] = "SetEvent on a handle that is not an open event"; },
       {"platform-use"}},
      {"bypass event never set", [&](Events& e, Json&) { erase(e, At(e, "SetEvent")); }, {"sequence-order"}},
      {"idle reset after the radio dropped",
       [&](Events& e, Json&) { erase(e, At(e, "SystemIdleTimerReset")); },
       {"sequence-order"}},
      {"animation and LCD swapped",
       [](Events& e, Json&) { std::swap(e[At(e, "RegistryGetString")], e[At(e, "CreateFileW", "name", "SPI5:")]); },
       {"sequence-order"}},
      {"suspend requested twice",
       [](Events& e, Json&) {
         e.insert(e.begin() + static_cast<long>(At(e, "ReleaseMutex")), e[At(e, "SetSystemPowerState")]);
       },
       {"sequence-order"}},
      {"Yes that leaves the handset on",
       [](Events& e, Json& s) {
         e.insert(e.begin(), Call("MessageBoxW", Json::object(), "IDYES"));
         s["outcome"] = "on";
       },
       {"yes-switches-off"}},
      {"watchdog that does not wait its 60 s",
       [](Events& e, Json&) {
         Json start = Call("GpioSetDirection", {{"gpio", 152}}, true, "AnimTimeoutThread");
         start["t_us"] = 5000000;
         Json pmu = Call("GpioSetValue", {{"gpio", 68}, {"value", 0}}, true, "AnimTimeoutThread");
         pmu["t_us"] = 5000100;
         e.insert(e.end() - 1, start);
         e.insert(e.end() - 1, pmu);
       },
       {"watchdog-times"}},
      {"radio report that did not end the wait",
       [](Events& e, Json&) {
         Json wait = Call("WaitForSingleObject", {{"handle", "0x1008"}, {"timeout_ms", 15000}}, "WAIT_TIMEOUT", "main",
                          "NormalShutdown");
         wait["t_us"] = 1000000;
         wait["t_end_us"] = 16000000;
         Json report{{"kind", "device"},
                     {"op", "radio.notify"},
                     {"thread", "radio"},
                     {"t_us", 2100000},
                     {"args", {{"code", "0x800001"}, {"payload", "14 00 00 00 01 00 00 00 01 00 00 00"}}}};
         const auto at = e.begin() + static_cast<long>(At(e, "SystemIdleTimerReset")) + 1;
         e.insert(e.insert(at, wait) + 1, report);
       },
       {"radio-wait"}},
      {"question's mutex released before the sequence",
       [](Events& e, Json&) {
         e.insert(e.begin(), Call("ReleaseMutex", {{"handle", "0x900"}}, true, "main", "UIShutDown"));
         e.insert(e.begin(), Call("CreateMutexW", {{"name", "UIShutDown"}}, "0x900", "main", "UIShutDown"));
       },
       {"mode-guards"}},
      {"a refused question shows a box of its own",
       [](Events& e, Json&) {
         Json refused = Call("CreateMutexW", {{"name", "UIShutDown"}}, "0x900", "2:main", "UIShutDown");
         refused["already_existed"] = true;
         refused["last_error"] = 183;
         e.insert(e.begin(), Call("MessageBoxW", {{"caption", "Warning"}}, 0, "2:main", "UIShutDown"));
         e.insert(e.begin(), refused);
       },
       {"refused-instance"}},
      {"one instance answers another's box",
       [](Events& e, Json&) {
         Json box = Call("MessageBoxW", {{"caption", "Warning"}}, "IDYES", "2:main", "UIShutDown");
         box["window"] = "0x10010";
         box["pid"] = 0x2A8;
         Json yes = Call("SendMessageW", {{"window", "0x10010"}, {"message", "0x111"}, {"wparam", 6}}, 0,
                         "AutoShutdownThread", "AutoShutdownThread");
         yes["pid"] = 0x2A4;
         e.insert(e.begin(), yes);
         e.insert(e.begin(), box);
       },
       {"own-box"}},
      {"ERTC written with another instant than the wake plan's",
       [](auto&, Json& s) {
         s["wake_plan"] = "wakes for the auto-boot at 2008-06-15 07:00:00; BUT the ERTC was written with 0x00000000";
         s["wake_plan_agrees"] = false;
       },
       {"wake-plan"}},
  };
  std::set<std::string> caught;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Json> events = SoundRun();
    Json summary = Json::object();
    c.spoil(events, summary);
    EXPECT_EQ(Names(Check(events, summary)), c.invariants);
    caught.insert(c.invariants.begin(), c.invariants.end());
  }
  // Every invariant of the table has its spoiled log here.
  for (const sim::Invariant& i : sim::Invariants()) EXPECT_TRUE(caught.count(i.name)) << i.name << " has no case";
}

TEST(Invariants, TheTableNamesEachInvariantOnceAndWhatItReads) {
  std::set<std::string> names;
  std::set<int> orders;
  for (const sim::Invariant& i : sim::Invariants()) {
    SCOPED_TRACE(i.name);
    EXPECT_TRUE(names.insert(i.name).second);
    EXPECT_TRUE(orders.insert(i.order).second);
    // `devsim check` has nothing but the log and the outcome it shows.
    if (i.log_alone) {
      for (const std::string& member : i.reads) EXPECT_EQ(member, "outcome");
    }
  }
  // The four a log recorded under Wine is judged by.
  std::set<std::string> log_alone;
  for (const sim::Invariant& i : sim::Invariants())
    if (i.log_alone) log_alone.insert(i.name);
  EXPECT_EQ(log_alone, (std::set<std::string>{"single-sequence", "no-keeps-on", "process-outlives-sequence",
                                              "ertc-once", "refused-instance", "own-box"}));
  // A plan that agrees, or no ERTC write at all, is no fault.
  for (const Json& plan : {Json{{"wake_plan", "writes 0"}, {"wake_plan_agrees", true}}, Json::object()})
    EXPECT_TRUE(Check(SoundRun(), plan).empty()) << plan.dump();
}

TEST(Invariants, HandlesKeptByDesignAreAllowed) {
  Json summary = Json::object();
  summary["handles_open"] = Json::array({
      {{"what", "mutex 'LpShutDown'"}, {"kind", "mutex"}, {"caller", "LpShutDown"}},
      {{"what", "mutex 'UIAutoShutDown'"}, {"kind", "mutex"}, {"caller", "UIAutoShutDown"}},
      {{"what", "an unnamed event"}, {"kind", "event"}, {"caller", "NormalShutdown"}},
      {{"what", "thread 'AnimTimeoutThread'"}, {"kind", "thread"}, {"caller", "NormalShutdown"}},
      {{"what", "thread 'AutoShutdownThread'"}, {"kind", "thread"}, {"caller", "AutoShutdownPrompt"}},
      {{"what", "module '\\Windows\\ShutdownAnimation.dll'"}, {"kind", "module"}, {"caller", "ShutDownAnimation"}},
  });
  EXPECT_TRUE(Check(SoundRun(), summary).empty());

  // Without a finished sequence (the prompt answered No) the prompt's event stays open by design.
  std::vector<Json> no_sequence = {Call("MessageBoxW", Json::object(), "IDNO"), Device("process.exit")};
  Json prompt_only{
      {"outcome", "on"},
      {"handles_open",
       Json::array({{{"what", "an unnamed event"}, {"kind", "event"}, {"caller", "AutoShutdownPrompt"}}})}};
  EXPECT_TRUE(Check(no_sequence, prompt_only).empty());
}

TEST(Invariants, AYesKeptFromSwitchingOffByAFaultIsNoFault) {
  for (const char* mark : {"injected_fault", "already_existed"}) {
    SCOPED_TRACE(mark);
    std::vector<Json> events = {Call("MessageBoxW", Json::object(), "IDYES"),
                                Call("CreateMutexW", {{"name", "NormalShutdown"}}, "0x1000", "main", "NormalShutdown"),
                                Device("process.exit")};
    events[1][mark] = true;
    if (mark == std::string("injected_fault")) events[1]["result"] = nullptr;  // the mutex was not created
    events.insert(events.end() - 1, Call("CloseHandle", {{"handle", "0x1000"}}, true));
    Json summary{{"outcome", "on"}, {"handles_open", Json::array()}};
    EXPECT_TRUE(Check(events, summary).empty());
  }
}

TEST(Invariants, ExpectedEndsAndTimeoutCrossingsAreNotFaults) {
  Json summary{{"outcome", "time-limit"}, {"handles_open", Json::array()}};
  const std::vector<Json> events = SoundRun();
  const std::vector<sim::Event> records = sim::EventsFromJson(events);
  const sim::RunView view{records, summary, sim::EndKind::kTimeLimit, {"time-limit"}};
  EXPECT_TRUE(sim::CheckInvariants(view).empty());

  // No that crossed a timeout may still switch off.
  std::vector<Json> crossed = SoundRun();
  crossed.insert(crossed.begin(), Call("WaitForSingleObject", Json::object(), "WAIT_TIMEOUT", "AutoShutdownThread"));
  crossed.insert(crossed.begin(), Call("MessageBoxW", Json::object(), "IDNO"));
  EXPECT_TRUE(Check(crossed).empty());
}
