// The vibration before the auto-shutdown box: which LED is taken for the vibrator, what is traced
// when there is none or the driver refuses, and that the 3,000 ms are kept in every case.
#include <gtest/gtest.h>

#include "tests/harness.h"

using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

constexpr std::int64_t kNoLed = 0xFFFFFFFF;

std::string Arg(const sim::Json& call, const char* name) {
  const auto& v = call["args"][name];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

}  // namespace

TEST(VibratePrompt, FindsTheVibratorAndKeepsTheThreeSeconds) {
  struct Case {
    std::string name, leds;
    std::int64_t led;                 // the LED switched on and off
    std::vector<std::string> traces;  // failure traces, in order
  };
  const std::vector<Case> cases = {
      {"LED 2 of three (the built-in handset)", "", 2, {}},
      {"two vibrators: the lower number wins",
       "leds = [{cycle_adjust = 0}, {cycle_adjust = -1}, {cycle_adjust = 0}, {cycle_adjust = -1}]",
       1,
       {}},
      {"a failing supports query is passed over in silence",
       "leds = [{cycle_adjust = -1, supports_fails = true}, {cycle_adjust = -1}]",
       1,
       {}},
      {"no LEDs",
       "leds = []",
       kNoLed,
       {"[UIAutoShutDown] SetLedDevice failed. ", "[UIAutoShutDown] StopLedDevice failed. "}},
      {"LEDs but no vibrator",
       "leds = [{cycle_adjust = 0}, {cycle_adjust = 1}]",
       kNoLed,
       {"[UIAutoShutDown] SetLedDevice failed. ", "[UIAutoShutDown] StopLedDevice failed. "}},
      {"the count query fails",
       "count_fails = true",
       kNoLed,
       {"[UIAutoShutDown] NLedGetDeviceInfo failed. ", "[UIAutoShutDown] SetLedDevice failed. ",
        "[UIAutoShutDown] StopLedDevice failed. "}},
      {"the driver refuses the settings",
       "leds = [{cycle_adjust = -1, settings_fails = true}]",
       0,
       {"[UIAutoShutDown] SetLedDevice failed. ", "[UIAutoShutDown] StopLedDevice failed. "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunSpec spec;
    spec.scenario = "base = \"builtin\"\n[leds]\n" + c.leds + "\n";
    spec.args = {"3"};
    spec.answers = {"no@2000"};
    const RunResult r = testing_support::Run(spec);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, "on") << r.Dump();

    const auto sets = r.Calls("NLedSetDevice");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(Arg(sets[0], "led"), std::to_string(c.led));
    EXPECT_EQ(Arg(sets[0], "state"), "1");
    EXPECT_EQ(Arg(sets[1], "led"), std::to_string(c.led));
    EXPECT_EQ(Arg(sets[1], "state"), "0");

    // The 3,000 ms sleep lies between switching on and off, whatever those calls returned, and
    // the box follows it.
    bool slept = false;
    for (const auto& s : r.Calls("Sleep"))
      slept |= Arg(s, "ms") == "3000" && s["seq"] > sets[0]["seq"] && s["seq"] < sets[1]["seq"];
    EXPECT_TRUE(slept);
    ASSERT_EQ(r.Calls("MessageBoxW").size(), 1u);
    EXPECT_GT(r.Calls("MessageBoxW")[0]["seq"], sets[1]["seq"]);

    std::vector<std::string> expected = {"[UIAutoShutDown] VibratePrompt ++ "};
    expected.insert(expected.end(), c.traces.begin(), c.traces.end());
    expected.push_back("[UIAutoShutDown] Show shutdown messagebox");
    EXPECT_TRUE(r.InOrder(expected)) << r.Dump();
    for (const char* failure : {"NLedGetDeviceInfo failed", "SetLedDevice failed", "StopLedDevice failed"}) {
      bool listed = false;
      for (const auto& t : c.traces) listed |= t.find(failure) != std::string::npos;
      if (!listed) {
        EXPECT_FALSE(r.Has(failure)) << failure;
      }
    }

    // The handset recorded the vibrator on for the three seconds when it really was switched on.
    const bool vibrated = c.traces.empty();
    ASSERT_EQ(r.summary["vibrations"].size(), vibrated ? 1u : 0u) << r.summary.dump();
    if (vibrated) {
      EXPECT_EQ(r.summary["vibrations"][0]["led"], c.led);
      EXPECT_FALSE(r.summary["vibrations"][0]["off_ms"].is_null());
      EXPECT_NE(r.summary["vibrator"].get<std::string>().find("on "), std::string::npos) << r.summary["vibrator"];
    }
  }
}
