// Each invariant checker catches the fault it is there for, on a small made-up event log, and
// stays quiet on a sound one.
#include <gtest/gtest.h>

#include "sim/checks/invariants.h"

using sim::Json;

namespace {

Json Call(const std::string& op, Json args, Json result, const std::string& thread = "main",
          const std::string& caller = "") {
  Json e{{"kind", "call"}, {"op", op}, {"thread", thread}, {"args", std::move(args)}, {"result", std::move(result)}};
  if (!caller.empty()) e["caller"] = caller;
  return e;
}

Json Device(const std::string& op) { return Json{{"kind", "device"}, {"op", op}, {"thread", "device"}}; }

// A sound sequence run: the mutex, the body, the ERTC before the LCD, the lock, the end.
std::vector<Json> SoundRun() {
  return {
      Call("CreateMutexW", {{"name", "NormalShutdown"}}, "0x1000", "main", "NormalShutdown"),
      Call("CreateEventW", {{"name", "BKL_BYPASSPOWERMSG"}}, "0x1004"),
      Call("KernelIoControl", {{"in", "0A 00 00 00 70 5B F3 6D"}}, true),
      Call("CreateFileW", {{"name", "SPI5:"}}, "0x1008"),
      Call("SetWindowsHookExW", Json::object(), "0x30000"),
      Call("UnhookWindowsHookEx", {{"hook", "0x30000"}}, true),
      Call("CloseHandle", {{"handle", "0x1000"}}, true),
      Device("process.exit"),
  };
}

std::vector<sim::Violation> Check(const std::vector<Json>& events, Json summary = Json::object(),
                                  sim::EndKind end = sim::EndKind::kProcessEnded) {
  if (!summary.contains("outcome")) summary["outcome"] = "suspended";
  if (!summary.contains("handles_open")) summary["handles_open"] = Json::array();
  const sim::RunView view{events, summary, end, {}};
  return sim::CheckInvariants(view);
}

std::vector<std::string> Names(const std::vector<sim::Violation>& v) {
  std::vector<std::string> out;
  for (const auto& x : v) out.push_back(x.invariant);
  return out;
}

}  // namespace

TEST(Invariants, SoundRunPasses) { EXPECT_TRUE(Check(SoundRun()).empty()); }

TEST(Invariants, EachCheckerCatchesItsFault) {
  struct Case {
    std::string name;
    std::function<void(std::vector<Json>&, Json&)> spoil;
    std::string invariant;
  };
  const std::vector<Case> cases = {
      {"stuck", [](auto&, Json& s) { s["outcome"] = "stuck"; }, "run-ends"},
      {"time limit", [](auto&, Json& s) { s["outcome"] = "time-limit"; }, "run-ends"},
      {"two bodies",
       [](auto& e, Json&) { e.insert(e.begin() + 2, Call("CreateEventW", {{"name", "BKL_BYPASSPOWERMSG"}}, "0x2000")); },
       "single-sequence"},
      {"radio after No",
       [](auto& e, Json& s) {
         e.insert(e.begin(), Call("MessageBoxW", Json::object(), "IDNO"));
         s["outcome"] = "on";
       },
       "no-keeps-on"},
      {"process ends mid-sequence", [](auto& e, Json&) { std::swap(e[6], e[7]); }, "process-outlives-sequence"},
      {"no ERTC write", [](auto& e, Json&) { e.erase(e.begin() + 2); }, "ertc-once"},
      {"ERTC after the LCD", [](auto& e, Json&) { std::swap(e[2], e[3]); }, "ertc-once"},
      {"lock never removed", [](auto& e, Json&) { e.erase(e.begin() + 5); }, "keyboard-lock"},
      {"key through the lock", [](auto& e, Json&) { e.insert(e.begin() + 5, Device("keyboard.delivered")); },
       "keyboard-lock"},
      {"device handle left open",
       [](auto&, Json& s) {
         s["handles_open"].push_back({{"what", "device 'SPI5:'"}, {"kind", "device"}, {"caller", "LcdPowerOff"}});
       },
       "handles-closed"},
      {"invalid handle", [](auto& e, Json&) { e[1]["misuse"] = "SetEvent on a handle that is not an open event"; },
       "platform-use"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Json> events = SoundRun();
    Json summary = Json::object();
    c.spoil(events, summary);
    EXPECT_EQ(Names(Check(events, summary)), std::vector<std::string>{c.invariant});
  }
}

TEST(Invariants, HandlesKeptByDesignAreAllowed) {
  Json summary = Json::object();
  summary["handles_open"] = Json::array({
      {{"what", "mutex 'LpShutDown'"}, {"kind", "mutex"}, {"caller", "LpShutDown"}},
      {{"what", "mutex 'UIAutoShutDown'"}, {"kind", "mutex"}, {"caller", "UIAutoShutDown"}},
      {{"what", "an unnamed event"}, {"kind", "event"}, {"caller", "NormalShutdown"}},
      {{"what", "thread 'AnimTimeoutThread'"}, {"kind", "thread"}, {"caller", "NormalShutdown"}},
      {{"what", "an unnamed event"}, {"kind", "event"}, {"caller", "AutoShutdownPrompt"}},
      {{"what", "module '\\Windows\\ShutdownAnimation.dll'"}, {"kind", "module"}, {"caller", "ShutDownAnimation"}},
  });
  EXPECT_TRUE(Check(SoundRun(), summary).empty());
}

TEST(Invariants, ExpectedEndsAndTimeoutCrossingsAreNotFaults) {
  Json summary{{"outcome", "time-limit"}, {"handles_open", Json::array()}};
  const std::vector<Json> events = SoundRun();
  const sim::RunView view{events, summary, sim::EndKind::kTimeLimit, {"time-limit"}};
  EXPECT_TRUE(sim::CheckInvariants(view).empty());

  // No that crossed a timeout may still switch off.
  std::vector<Json> crossed = SoundRun();
  crossed.insert(crossed.begin(), Call("WaitForSingleObject", Json::object(), "WAIT_TIMEOUT", "AutoShutdownThread"));
  crossed.insert(crossed.begin(), Call("MessageBoxW", Json::object(), "IDNO"));
  EXPECT_TRUE(Check(crossed).empty());
}
