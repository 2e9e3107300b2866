// The keyboard lock: keys pressed while the applications are being closed reach no window;
// keys pressed before or after it reach the foreground window.
#include <gtest/gtest.h>

#include "steps/keyboard_lock.h"
#include "tests/harness.h"

using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

// The built-in handset made slow enough to press keys in: each posted message holds the
// closing for 40 ms, and the forced suspend returns after a second.
const std::string kSlowHandset =
    "base = \"builtin\"\n[windows]\npost_message_cost_us = 40000\n[power]\nsuspend_returns_after_ms = 1000\n";

std::string Key(std::uint64_t at_ms, const std::string& extra = "") {
  return "[[timeline]]\nat_ms = " + std::to_string(at_ms) + "\ndo = \"key\"\nvk = 0x0D\n" + extra;
}

std::uint64_t CallTimeUs(const RunResult& r, const std::string& op) {
  const auto calls = r.Calls(op);
  return calls.empty() ? 0 : calls.front()["t_us"].get<std::uint64_t>();
}

struct LockWindow {
  std::uint64_t installed_us, removed_us, suspend_us;
};

// When the lock is installed and removed on the slow handset, from a run without keys.
LockWindow MeasureLock(std::uint64_t seed) {
  RunSpec spec;
  spec.scenario = kSlowHandset;
  spec.args = {"1"};
  spec.seed = seed;
  const RunResult r = testing_support::Run(spec);
  return {CallTimeUs(r, "SetWindowsHookExW"), CallTimeUs(r, "UnhookWindowsHookEx"),
          CallTimeUs(r, "SetSystemPowerState")};
}

const char* const kDelivered = "delivered to the window 'Desktop' of \\Windows\\shell32.exe";

}  // namespace

TEST(KeyboardLock, AKeyWhileTheApplicationsCloseIsSwallowedAndOneAfterwardsReachesTheForeground) {
  const LockWindow lock = MeasureLock(0);
  ASSERT_GT(lock.removed_us, lock.installed_us + 100000) << "the closing should take over 100 ms";
  const std::uint64_t during_ms = (lock.installed_us + lock.removed_us) / 2000;
  const std::uint64_t after_ms = lock.suspend_us / 1000 + 500;
  RunSpec spec;
  spec.scenario = kSlowHandset + Key(during_ms) + Key(after_ms);
  spec.args = {"1"};
  const RunResult r = testing_support::Run(spec);
  ASSERT_EQ(r.error, "");
  const auto& keys = r.summary["keys"];
  ASSERT_EQ(keys.size(), 2u) << r.summary.dump(1);
  EXPECT_EQ(keys[0]["fate"], "swallowed by a keyboard hook");
  EXPECT_EQ(keys[1]["fate"], kDelivered);
  // The lock swallows without consulting the rest of the chain, and is gone at the end.
  EXPECT_EQ(r.Calls("CallNextHookEx").size(), 0u);
  const auto hooks = r.Calls("SetWindowsHookExW");
  ASSERT_EQ(hooks.size(), 1u);
  EXPECT_EQ(hooks[0]["args"]["type"], 20);
  EXPECT_EQ(hooks[0]["args"]["thread"], 0);
  EXPECT_FALSE(hooks[0]["args"]["module"].is_null());
  EXPECT_EQ(r.summary["keyboard_hooks_installed"], 0);
  EXPECT_EQ(r.summary["misuses"], 0);
}

TEST(KeyboardLock, OverManySchedulesAKeyIsSwallowedExactlyWhenItIsHandledUnderTheLock) {
  for (std::uint64_t seed = 1; seed <= testing_support::SeedsToRun(12); ++seed) {
    SCOPED_TRACE(seed);
    const LockWindow lock = MeasureLock(seed);
    RunSpec spec;
    spec.scenario = kSlowHandset;
    // Keys before, across and after the lock, every 30 ms.
    for (std::uint64_t at = lock.installed_us / 1000 - 60; at < lock.suspend_us / 1000 + 600; at += 30)
      spec.scenario += Key(at);
    spec.args = {"1"};
    spec.seed = seed;
    const RunResult r = testing_support::Run(spec);
    ASSERT_EQ(r.error, "");
    const std::uint64_t installed = CallTimeUs(r, "SetWindowsHookExW");
    const std::uint64_t removed = CallTimeUs(r, "UnhookWindowsHookEx");
    int swallowed = 0, delivered = 0;
    for (const auto& k : r.summary["keys"]) {
      const std::uint64_t handled = k["handled_us"];
      const bool locked = handled > installed && handled < removed;
      if (handled == installed || handled == removed) continue;  // on the edge: either is right
      EXPECT_EQ(k["fate"] == "swallowed by a keyboard hook", locked) << k.dump();
      if (!locked) {
        EXPECT_EQ(k["fate"], kDelivered);
      }
      swallowed += locked ? 1 : 0;
      delivered += locked ? 0 : 1;
    }
    EXPECT_GT(swallowed, 0);
    EXPECT_GT(delivered, 0);
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(KeyboardLock, AnEventWithANegativeHookCodeIsPassedOnAndItsResultReturned) {
  const LockWindow lock = MeasureLock(0);
  RunSpec spec;
  spec.scenario = kSlowHandset + Key((lock.installed_us + lock.removed_us) / 2000, "hook_code = -1\n");
  spec.args = {"1"};
  const RunResult r = testing_support::Run(spec);
  ASSERT_EQ(r.error, "");
  const auto next = r.Calls("CallNextHookEx");
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0]["args"]["hook"], r.Calls("SetWindowsHookExW")[0]["result"]);
  EXPECT_EQ(next[0]["args"]["code"], -1);
  EXPECT_EQ(next[0]["thread"], "input");
  // The chain ends there and lets the key through: the lock returns that unchanged.
  EXPECT_EQ(r.summary["keys"][0]["fate"], kDelivered);
}

TEST(KeyboardLock, WithoutTheHookTheShutdownGoesOnAndKeysGetThrough) {
  const LockWindow lock = MeasureLock(0);
  RunSpec spec;
  spec.scenario = kSlowHandset + Key((lock.installed_us + lock.removed_us) / 2000);
  spec.args = {"1"};
  spec.fail = {"SetWindowsHookExW"};
  const RunResult r = testing_support::Run(spec);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.outcome, "suspended");
  EXPECT_EQ(r.Calls("UnhookWindowsHookEx").size(), 0u);
  EXPECT_EQ(r.summary["keys"][0]["fate"], kDelivered);
  EXPECT_TRUE(r.Has("[ShutDownApps] downd~!!! "));
}

TEST(KeyboardLock, InstallAndRemoveCalledDirectly) {
  RunSpec spec;
  const RunResult r = testing_support::RunRoutine(spec, [] {
    sim::Json out;
    out["remove_unlocked"] = RemoveKeyboardLock();
    out["install"] = InstallKeyboardLock(GetModuleHandleW(NULL), KeyboardLockProc);
    out["locked"] = g_hKbdHook.load() != NULL;
    out["swallows"] = KeyboardLockProc(HC_ACTION, WM_KEYDOWN, 0);
    out["remove"] = RemoveKeyboardLock();
    out["unlocked"] = g_hKbdHook.load() == NULL;
    out["remove_again"] = RemoveKeyboardLock();
    return out;
  });
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.value, (sim::Json{{"remove_unlocked", 1},
                                {"install", 1},
                                {"locked", true},
                                {"swallows", 1},
                                {"remove", 1},
                                {"unlocked", true},
                                {"remove_again", 1}}));
  EXPECT_EQ(r.Calls("UnhookWindowsHookEx").size(), 1u);
  EXPECT_EQ(r.summary["misuses"], 0);
}
