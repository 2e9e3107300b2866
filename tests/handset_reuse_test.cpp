// Handsets built one after another from one Scenario object, as the explorer builds them: the
// parts read from the scenario are kept for the next handset of it, which must run exactly as a
// handset built from a freshly parsed copy, whatever the options add on top.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/base/text.h"
#include "sim/checks/checked_run.h"

namespace {

// A world that exercises every part whose state is kept: outside events bound to the handset's
// registry, windows, keyboard and named objects, another process with a mutex and a box, a file,
// a registry patch, a series of clock alarms, generated applications, an answer per box and a
// call cost of its own.
const char* const kBusyWorld = R"(
base = "builtin"

[registry]
patch = '''
REGEDIT4

[HKEY_LOCAL_MACHINE\System\State\Phone]
"Active Call Count"=dword:00000001
'''

[user]
answers = ["yes@1500"]

[run]
call_cost_us = 30

[processes]
extra_processes = 3

[clock_alarms]
count = 4
every_ms = 7200000

[[file]]
path = '\Windows\Other.wav'
wav_ms = 40

[[other_process]]
name = "dialer"
mutexes = ["DialerBusy"]
box = { title = "Incoming" }

[[timeline]]
at_ms = 900
do = "hold_mutex"
name = "LateMutex"

[[timeline]]
at_ms = 1200
do = "show_box"
title = "Low battery"

[[timeline]]
at_ms = 1700
do = "key"
vk = 0x72

[[timeline]]
at_ms = 2500
do = "close_box"
title = "Low battery"

[[timeline]]
at_ms = 3000
jitter_us = 400000
do = "release_mutex"
name = "LateMutex"

[[timeline]]
at_ms = 6000
do = "delete_registry"
key = 'System\State\Phone'
value = "Active Call Count"

[[timeline]]
at_ms = 6500
do = "set_registry"
key = 'ControlPanel\AlarmSettings'
value = "AutoBootTime"
string = "7:30"
)";

struct Variant {
  const char* mode;
  std::uint64_t seed;
  std::vector<std::string> answers;
  std::vector<std::string> fail;
};

// Everything a run shows: its error, else the checked summary, the trace and the event log.
std::string Describe(const sim::Scenario& scenario, const Variant& v) {
  try {
    sim::RunOptions o;
    o.seed = v.seed;
    o.answers = v.answers;
    o.fail = v.fail;
    o.args = {v.mode};
    o.mechanism = sim::KernelMechanism::kFibers;
    auto handset = std::make_unique<sim::Handset>(scenario, o);
    const sim::CheckedRun run = sim::RunChecked(*handset);
    std::string out = run.summary.dump() + "\n" + handset->debug.Raw() + "\n";
    for (const auto& e : handset->events.ToJson()) out += e.dump() + "\n";
    // A run on host threads (as under ThreadSanitizer) leaves them parked on its kernel for good.
    if (!handset->kernel.Reclaimable()) (void)handset.release();
    return out;
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

// In a child process: each variant's runs on the shared scenario (the first, the one whose parts
// are kept, then one built from them) against a run on a scenario parsed afresh. Returns the
// differences found, empty when there are none.
std::string Compare(const std::string& text, const std::vector<Variant>& variants) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string found;
    const sim::Scenario shared = sim::Scenario::FromText(text, "reuse.toml");
    for (const Variant& v : variants) {
      const std::string fresh = Describe(sim::Scenario::FromText(text, "reuse.toml"), v);
      for (int build = 1; build <= 3; ++build) {
        const std::string again = Describe(shared, v);
        if (again != fresh)
          found += "mode " + std::string(v.mode) + " seed " + std::to_string(v.seed) + ", build " +
                   std::to_string(build) + " of the shared scenario differs:\n" + again.substr(0, 400) + "\n";
      }
      if (fresh.find("\"violations\":[]") == std::string::npos && fresh.rfind("error: ", 0) != 0)
        found += "mode " + std::string(v.mode) + " seed " + std::to_string(v.seed) + " broke an invariant\n";
    }
    [[maybe_unused]] const ssize_t n = write(fds[1], found.data(), found.size());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "the child died (status " + std::to_string(status) + ")";
  return out;
}

TEST(HandsetReuse, HandsetsOfOneScenarioRunAsHandsetsOfAFreshCopy) {
  // Answers and fault rules of the options change between handsets of the same scenario; a bad
  // rule is refused each time, also once the scenario's parts are kept.
  const std::vector<Variant> variants = {
      {"3", 4, {}, {}},
      {"2", 5, {"no@7000"}, {}},
      {"2", 5, {"yes@300"}, {"CreateMutexW"}},
      {"3", 6, {}, {"RegOpenKeyExW@2"}},
      {"1", 7, {}, {"LocalAlloc@2"}},
      {"1", 7, {}, {"LocalAlloc@"}},
      {"3", 4, {}, {}},
  };
  EXPECT_EQ(Compare(kBusyWorld, variants), "");
}

TEST(HandsetReuse, AScenarioThatFailsIsRefusedEveryTime) {
  // Nothing is kept of a scenario that does not build: the same message each time.
  const std::vector<Variant> variants = {{"3", 1, {}, {}}, {"3", 2, {}, {}}};
  std::string bad = kBusyWorld;
  bad += "\n[leds]\ncount_fails = 3\n";
  EXPECT_EQ(Compare(bad, variants), "");
  const std::vector<Variant> bad_answer = {{"2", 1, {"maybe"}, {}}, {"2", 1, {}, {}}, {"2", 1, {"maybe"}, {}}};
  EXPECT_EQ(Compare(kBusyWorld, bad_answer), "");
}

}  // namespace
