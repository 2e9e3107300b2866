// The active-call monitor of mode 3: the prompt waits while a call is active and runs once the
// last call has ended, on the notification thread, whether the end comes by the change callback,
// just before the callback was registered, or (without a callback) by polling the counter.
#include <gtest/gtest.h>

#include "tests/harness.h"

using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

constexpr const char* kHaveCall = "[AutoShutdown] Have Active Call ";
constexpr const char* kMonitorIn = "[AutoShutdown] MonitorPhoneState ++ ";
constexpr const char* kChanged = "[AutoShutdown] ActiveCallCount Registry have changed.";
constexpr const char* kNoCall = "[AutoShutdown] Monitor: No Active Call. ";
constexpr const char* kClose = "[AutoShutdown] Close Registry Monitor Notification ";
constexpr const char* kPromptIn = "[AutoShutdown] AutoShutdownPrompt ++ ";
constexpr const char* kParked = "[UIAutoShutDown] Wait for NormalShutdown complete... ";

// A call is active from the start; `events` are more timeline entries.
std::string CallActive(const std::string& events) {
  return "base = \"builtin\"\n"
         "[[timeline]]\nat_ms = 0\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\n"
         "value = \"Active Call Count\"\ndword = 1\n" +
         events;
}

std::string CallEnds(const std::string& when) {
  return "[[timeline]]\n" + when +
         "\ndo = \"delete_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call Count\"\n";
}

RunResult RunMode3(const std::string& scenario, std::vector<std::string> answers, std::vector<std::string> fail = {},
                   std::uint64_t seed = 0) {
  RunSpec spec;
  spec.scenario = scenario;
  spec.args = {"3"};
  spec.answers = std::move(answers);
  spec.fail = std::move(fail);
  spec.seed = seed;
  spec.time_limit_ms = 200000;
  return testing_support::Run(spec);
}

std::string Arg(const sim::Json& call, const char* name) {
  const auto& v = call["args"][name];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

const testing_support::Line* LineWith(const RunResult& r, const std::string& text) {
  const int i = r.Find(text);
  return i < 0 ? nullptr : &r.lines[i];
}

// Virtual time (µs) at which the change callback is registered while a call goes on.
std::uint64_t RegistrationTime() {
  RunSpec spec;
  spec.scenario = CallActive("");
  spec.args = {"3"};
  spec.time_limit_ms = 1000;
  spec.expect_violations = {"run-ends"};  // cut off while the call is still active
  const RunResult r = testing_support::Run(spec);
  const auto calls = r.Calls("RegistryNotifyCallback");
  return calls.empty() ? 0 : calls[0]["t_us"].get<std::uint64_t>();
}

}  // namespace

TEST(CallMonitor, ACallActiveAtStartHoldsThePromptBackUntilItEnds) {
  struct Case {
    std::vector<std::string> answers;
    std::string outcome;
  };
  for (const Case& c : std::vector<Case>{{{"no@2000"}, "on"}, {{}, "off"}}) {
    SCOPED_TRACE(c.answers.empty() ? "no answer" : c.answers[0]);
    const RunResult r = RunMode3(CallActive(CallEnds("at_ms = 20000")), c.answers);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, c.outcome) << r.Dump();
    EXPECT_TRUE(r.InOrder({kHaveCall, kMonitorIn, kChanged, kNoCall, kClose, kPromptIn})) << r.Dump();
    // The main thread only registers; the prompt runs on the notification thread after 20 s.
    for (const char* text : {kChanged, kNoCall, kClose, kPromptIn, "[UIAutoShutDown] UIAutoShutDown ++ "}) {
      const auto* line = LineWith(r, text);
      ASSERT_NE(line, nullptr) << text;
      EXPECT_EQ(line->thread, "regnotify") << text;
      EXPECT_GE(line->at_ms, 20000.0) << text;
    }
    if (c.answers.empty()) {
      ASSERT_NE(LineWith(r, kParked), nullptr);
      EXPECT_EQ(LineWith(r, kParked)->thread, "regnotify");
    }
    const auto reg = r.Calls("RegistryNotifyCallback");
    ASSERT_EQ(reg.size(), 1u);
    EXPECT_EQ(Arg(reg[0], "value"), "Active Call Count");
    EXPECT_EQ(Arg(reg[0], "user_data"), "1");
    EXPECT_EQ(Arg(reg[0], "condition"), "null");
    // Closed from inside its own callback.
    const auto close = r.Calls("RegistryCloseNotification");
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0]["thread"], "regnotify");
    EXPECT_EQ(close[0]["result"], 0);
    EXPECT_EQ(r.summary["registry_notifications_open"], 0);
    EXPECT_EQ(r.summary["misuses"], 0);
    EXPECT_GE(r.summary["boxes"][0]["shown_ms"].get<int>(), 20000);
  }
}

// Only a notification without data (the value removed) means that the last call has ended; a
// counter that changes, even to 0, keeps the prompt back.
TEST(CallMonitor, OnlyARemovedCounterStartsThePrompt) {
  const std::string events =
      "[[timeline]]\nat_ms = 5000\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call "
      "Count\"\ndword = 2\n"
      "[[timeline]]\nat_ms = 10000\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call "
      "Count\"\ndword = 0\n" +
      CallEnds("at_ms = 20000") +
      // After the monitor has closed, a new call brings no more callbacks.
      "[[timeline]]\nat_ms = 21000\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call "
      "Count\"\ndword = 1\n";
  const RunResult r = RunMode3(CallActive(events), {"no@2000"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.outcome, "on") << r.Dump();
  EXPECT_EQ(r.Count(kChanged), 3) << r.Dump();
  EXPECT_EQ(r.Count(kNoCall), 1);
  ASSERT_NE(LineWith(r, kPromptIn), nullptr);
  EXPECT_GE(LineWith(r, kPromptIn)->at_ms, 20000.0);
  std::vector<bool> has_data;
  for (const auto& e : r.DeviceEvents("registry.callback")) has_data.push_back(e["args"]["has_data"].get<bool>());
  EXPECT_EQ(has_data, (std::vector<bool>{true, true, false}));
}

// When the change callback cannot be registered, the counter is read every second instead and
// the prompt runs on the main thread once no call is active.
TEST(CallMonitor, WithoutTheChangeCallbackTheCounterIsPolled) {
  struct Case {
    std::string fail, trace;
  };
  for (const Case& c : std::vector<Case>{
           {"RegistryNotifyCallback", "[AutoShutdown][E] RegChangeCallback failed! "},
           {"RegOpenKeyExW:System\\State\\Phone@2", "[AutoShutdown][E] RegOpenKeyEx REGKEY_PHONESTATE failed! "}}) {
    SCOPED_TRACE(c.fail);
    const RunResult r = RunMode3(CallActive(CallEnds("at_ms = 20000")), {"no@2000"}, {c.fail});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, "on") << r.Dump();
    EXPECT_TRUE(r.InOrder(
        {kHaveCall, kMonitorIn, c.trace, "[AutoShutdown] Poll Active Call Count every 1000 ms ", kNoCall, kPromptIn}))
        << r.Dump();
    const auto* prompt = LineWith(r, kPromptIn);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(prompt->thread, "main");
    EXPECT_GE(prompt->at_ms, 20000.0);
    bool polled = false;
    for (const auto& s : r.Calls("Sleep")) polled |= Arg(s, "ms") == "1000";
    EXPECT_TRUE(polled);
    EXPECT_EQ(r.summary["registry_notifications_open"], 0);
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

// The poll stands in for the change callback and starts the prompt on the same sign: the counter
// removed, not a counter that drops to 0.
TEST(CallMonitor, ThePollWaitsForTheCounterToGoLikeTheCallback) {
  const std::string drop_to_zero =
      "[[timeline]]\nat_ms = 8000\ndo = \"set_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call "
      "Count\"\ndword = 0\n";
  const RunResult r =
      RunMode3(CallActive(drop_to_zero + CallEnds("at_ms = 20000")), {"no@2000"}, {"RegistryNotifyCallback"});
  ASSERT_EQ(r.error, "");
  const auto* prompt = LineWith(r, kPromptIn);
  ASSERT_NE(prompt, nullptr) << r.Dump();
  EXPECT_GE(prompt->at_ms, 20000.0) << r.Dump();
}

// The call ends after HaveActiveCall has looked but before the callback is registered: no
// notification comes, and the look after registering starts the prompt.
TEST(CallMonitor, ACallEndingJustBeforeTheRegistrationStillStartsThePrompt) {
  const std::uint64_t registration = RegistrationTime();
  ASSERT_GT(registration, 0u);
  const RunResult r = RunMode3(CallActive(CallEnds("at_us = " + std::to_string(registration))), {"no@2000"});
  ASSERT_EQ(r.error, "");
  // The removal lies between the first read and the registration.
  const auto removed = r.DeviceEvents("registry.delete");
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_GT(removed[0]["seq"].get<int>(), r.Calls("RegQueryValueExW").front()["seq"].get<int>());
  EXPECT_LT(removed[0]["seq"].get<int>(), r.Calls("RegistryNotifyCallback").front()["seq"].get<int>());
  EXPECT_EQ(r.outcome, "on") << r.Dump();
  EXPECT_TRUE(r.InOrder({kHaveCall, kMonitorIn, kNoCall, kClose, kPromptIn, "Ret = IDNO"})) << r.Dump();
  EXPECT_FALSE(r.Has(kChanged));
  ASSERT_NE(LineWith(r, kPromptIn), nullptr);
  EXPECT_EQ(LineWith(r, kPromptIn)->thread, "main");
  EXPECT_EQ(r.summary["registry_notifications_open"], 0);
}

// The call ends right after the registration: the callback and the look after registering both
// see it, in either order; the prompt runs once and the notification is closed once.
TEST(CallMonitor, ThePromptRunsOnceWhenTheCallEndsRightAfterTheRegistration) {
  const std::uint64_t registration = RegistrationTime();
  ASSERT_GT(registration, 0u);
  int by_callback = 0, by_main = 0;
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const RunResult r =
        RunMode3(CallActive(CallEnds("at_us = " + std::to_string(registration + 1))), {"no@2000"}, {}, seed);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, "on") << r.Dump();
    EXPECT_EQ(r.Count(kPromptIn), 1) << r.Dump();
    EXPECT_EQ(r.Calls("MessageBoxW").size(), 1u);
    EXPECT_LE(r.Calls("RegistryCloseNotification").size(), 1u);
    EXPECT_EQ(r.summary["registry_notifications_open"], 0);
    EXPECT_EQ(r.summary["misuses"], 0) << r.Dump();
    const auto* prompt = LineWith(r, kPromptIn);
    if (prompt != nullptr) (prompt->thread == "regnotify" ? by_callback : by_main)++;
  }
  EXPECT_GT(by_main, 0);
  EXPECT_GT(by_callback, 0);
}
