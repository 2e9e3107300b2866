// Several instances of the program on one handset: each is a process of its own (pid, threads,
// variables), the system ends a process whole and frees what it held, the single-instance guards
// meet a real second instance, and the checkers of cross-instance faults catch them.
#include <gtest/gtest.h>

#include <atomic>

#include "harness.h"
#include "platform/platform.h"
#include "rtc/clock_alarms.h"
#include "sim/checks/checked_run.h"
#include "sim/devices/instances.h"

using sim::Json;
using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

// The built-in handset with one further start of the program at `at_ms` with `args`.
std::string SecondStart(const std::string& args, int at_ms, const std::string& more = "") {
  return "base = \"builtin\"\n" + more + "\n[[timeline]]\nat_ms = " + std::to_string(at_ms) +
         "\ndo = \"start_program\"\nargs = [\"" + args + "\"]\n";
}

RunResult RunTwo(const std::string& first, const std::string& second, int at_ms,
                 std::vector<std::string> answers = {}) {
  RunSpec spec;
  spec.scenario = SecondStart(second, at_ms);
  spec.args = {first};
  spec.answers = std::move(answers);
  return testing_support::RunProgram(spec);
}

// The calls of one process, by pid.
std::vector<Json> CallsOf(const RunResult& r, const std::string& op, std::uint32_t pid) {
  std::vector<Json> out;
  for (const Json& c : r.Calls(op))
    if (c.value("pid", 0u) == pid) out.push_back(c);
  return out;
}

const Json& Instance(const RunResult& r, int n) { return r.summary.at("instances").at(n - 1); }

}  // namespace

// What each refused start does, against a real first instance, and how each instance ends.
TEST(Instances, ASecondStartDoesWhatItsGuardSays) {
  struct Case {
    const char* name;
    const char* first;
    const char* second;
    int at_ms;
    std::vector<std::string> answers;
    const char* outcome;
    bool second_ends;  // the second instance's process ends before the run does
  };
  const Case cases[] = {
      {"mode 3 again during the prompt", "3", "3", 6000, {}, "off", true},
      {"mode 1 during the sequence", "3", "1", 14000, {}, "off", true},
      {"mode 2 again during the question", "2", "2", 2000, {"none"}, "on", true},
      {"mode 1 again during mode 1's radio wait", "1", "1", 3000, {}, "suspended", true},
      {"mode 2 while the prompt stands", "3", "2", 6000, {}, "off", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunTwo(c.first, c.second, c.at_ms, c.answers);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.outcome, c.outcome) << r.Dump();
    ASSERT_EQ(r.summary.at("instances").size(), 2u);
    const std::uint32_t first = Instance(r, 1).at("pid"), second = Instance(r, 2).at("pid");
    EXPECT_NE(first, second);
    EXPECT_EQ(Instance(r, 2).at("ended").get<bool>(), c.second_ends) << r.Dump();
    // One sequence on the whole handset, whoever ran it.
    int bodies = 0;
    for (const Json& e : r.Calls("CreateEventW")) bodies += e["args"]["name"] == "BKL_BYPASSPOWERMSG";
    EXPECT_LE(bodies, 1);
    // Once the power is gone nothing runs, in any instance.
    if (r.outcome == "off") {
      EXPECT_EQ(r.events.back().value("op", ""), "pmu.power_off");
    }
    // Every call of the second instance is made on one of its own threads, or on a thread of the
    // handset calling back into it.
    for (const Json& e : r.events) {
      const std::string thread = e.value("thread", "");
      if (e.value("pid", 0u) == second && e.value("kind", "") == "call" && thread != "radio" && thread != "input") {
        EXPECT_EQ(thread.rfind("2:", 0), 0u) << e.dump();
      }
    }
  }
}

TEST(Instances, ARefusedAutomaticStartBringsTheBoxForwardAndVibrates) {
  const RunResult r = RunTwo("3", "3", 6000);
  const std::uint32_t second = Instance(r, 2).at("pid");
  const auto found = CallsOf(r, "FindWindowW", second);
  ASSERT_EQ(found.size(), 1u);
  const auto forward = CallsOf(r, "SetForegroundWindow", second);
  ASSERT_EQ(forward.size(), 1u);
  EXPECT_EQ(forward[0]["args"].value("window", ""),
            sim::HexText(std::stoull(found[0].value("result", "0x0"), nullptr, 16) | 1));
  EXPECT_EQ(CallsOf(r, "MessageBoxW", second).size(), 0u);
  EXPECT_FALSE(CallsOf(r, "NLedSetDevice", second).empty());
  // Its process ended after the vibration and took its timeout thread along, unanswered.
  EXPECT_FALSE(r.Has("2:AutoShutdownThread| [AutoShutdownThread] Time out")) << r.Dump();
  const auto ended = r.DeviceEvents("process.ended");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_GE(ended[0]["args"].value("threads_ended", 0), 1);
}

TEST(Instances, TheTimeoutAnswersItsOwnBoxBesideAnotherInstancesQuestion) {
  const RunResult r = RunTwo("3", "2", 6000);
  const std::uint32_t first = Instance(r, 1).at("pid");
  EXPECT_TRUE(r.Has("The Warning box found is another application's")) << r.Dump();
  const auto yes = r.Calls("SendMessageW");
  ASSERT_EQ(yes.size(), 1u);
  for (const Json& box : r.Calls("MessageBoxW")) {
    if (box.value("window", "") == yes[0]["args"].value("window", "")) {
      EXPECT_EQ(box.value("pid", 0u), first);
    }
  }
}

// The mechanisms underneath, with routines of the test's own in place of the program.
TEST(Instances, EachProcessHasItsOwnVariablesPidAndThreads) {
  RunSpec spec;
  spec.scenario = SecondStart("x", 100);
  spec.entry = [] {
    const bool first = g_dwArraySize == 0 && GetCurrentProcessId() == 0x2A4;
    g_dwArraySize = first ? 7 : 9;
    Sleep(first ? 1000 : 10);
    NKDbgPrintfW(u"pid %u sees %u\r\n", static_cast<unsigned>(GetCurrentProcessId()),
                 static_cast<unsigned>(g_dwArraySize));
    return 0;
  };
  const RunResult r = testing_support::RunProgram(spec);
  EXPECT_TRUE(r.Has("pid 676 sees 7")) << r.Dump();  // 0x2A4: the first instance kept its own
  EXPECT_TRUE(r.Has("pid 680 sees 9")) << r.Dump();
  EXPECT_EQ(r.Find("2:main"), -1);
  EXPECT_TRUE(r.InOrder({"pid 680", "pid 676"}));
  EXPECT_EQ(r.lines.at(r.Find("pid 680")).thread, "2:main");
}

TEST(Instances, AnEndingProcessAbandonsItsMutexesAndItsNamesGoWithItsHandles) {
  RunSpec spec;
  spec.scenario = SecondStart("x", 100);
  spec.entry = [] {
    if (GetCurrentProcessId() == 0x2A4) {
      CreateMutexW(nullptr, TRUE, u"Held");  // owned, never released: the end abandons it
      Sleep(1000);
      return 0;
    }
    HANDLE h = CreateMutexW(nullptr, FALSE, u"Held");
    NKDbgPrintfW(u"exists %u\r\n", static_cast<unsigned>(GetLastError()));
    NKDbgPrintfW(u"wait %u\r\n", static_cast<unsigned>(WaitForSingleObject(h, 5000)));
    ReleaseMutex(h);
    CloseHandle(h);
    h = CreateMutexW(nullptr, TRUE, u"Held");
    NKDbgPrintfW(u"again %u\r\n", static_cast<unsigned>(GetLastError()));
    ReleaseMutex(h);
    CloseHandle(h);
    return 0;
  };
  const RunResult r = testing_support::RunProgram(spec);
  EXPECT_TRUE(r.Has("exists 183")) << r.Dump();
  // The wait is granted when the owner's process ends, at 1 s, not at the 5 s timeout.
  const int wait = r.Find("wait 0");
  ASSERT_GE(wait, 0) << r.Dump();
  EXPECT_LT(r.lines[wait].at_ms, 1100);
  // Once no handle to it is open anywhere, the name is gone.
  EXPECT_TRUE(r.Has("again 0")) << r.Dump();
  const auto ended = r.DeviceEvents("process.ended");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0]["args"].value("mutexes_abandoned", 0), 1);
}

// The checkers of cross-instance faults, each on a good two-instance log spoilt the way the
// fault would spoil it.
TEST(Instances, CheckersCatchCrossInstanceFaults) {
  struct Case {
    const char* name;
    const char* first;
    const char* second;
    int at_ms;
    const char* invariant;
    std::function<void(std::vector<Json>&, std::uint32_t first, std::uint32_t second)> spoil;
  };
  const Case cases[] = {
      {"a refused question shows a box all the same", "3", "3", 6000, "refused-instance",
       [](std::vector<Json>& e, std::uint32_t, std::uint32_t second) {
         for (std::size_t i = 0; i < e.size(); ++i)
           if (e[i].value("op", "") == "SetForegroundWindow" && e[i].value("pid", 0u) == second) {
             e[i]["op"] = "MessageBoxW";
             return;
           }
       }},
      {"a refused question leaves the box behind", "3", "3", 6000, "refused-instance",
       [](std::vector<Json>& e, std::uint32_t, std::uint32_t second) {
         std::erase_if(e, [&](const Json& r) {
           return r.value("op", "") == "SetForegroundWindow" && r.value("pid", 0u) == second;
         });
       }},
      {"a refused question looks for the wrong caption", "2", "2", 2000, "refused-instance",
       [](std::vector<Json>& e, std::uint32_t, std::uint32_t second) {
         std::erase_if(e, [&](const Json& r) {
           return r.value("op", "") == "SetForegroundWindow" && r.value("pid", 0u) == second;
         });
         for (Json& r : e)
           if (r.value("op", "") == "FindWindowW" && r.value("pid", 0u) == second) {
             r["args"]["title"] = "Warnings";
             r["result"] = nullptr;
           }
       }},
      {"a refused sequence goes on past its guard", "3", "1", 14000, "refused-instance",
       [](std::vector<Json>& e, std::uint32_t, std::uint32_t second) {
         for (std::size_t i = 0; i < e.size(); ++i)
           if (e[i].value("op", "") == "CreateMutexW" && e[i].value("pid", 0u) == second &&
               e[i]["args"]["name"] == "NormalShutdown") {
             Json step = e[i];
             step["args"] = {{"name", "BKL_BYPASSPOWERMSG"}};
             step["op"] = "CreateEventW";
             step.erase("last_error");
             step.erase("already_existed");
             e.insert(e.begin() + static_cast<long>(i) + 1, step);
             return;
           }
       }},
      {"the sequence's guard lets a second instance in beside the first", "3", "1", 14000, "single-sequence",
       [](std::vector<Json>& e, std::uint32_t, std::uint32_t second) {
         for (std::size_t i = 0; i < e.size(); ++i)
           if (e[i].value("op", "") == "CreateMutexW" && e[i].value("pid", 0u) == second &&
               e[i]["args"]["name"] == "NormalShutdown") {
             e[i].erase("last_error");
             e[i].erase("already_existed");
             Json step = e[i];
             step["args"] = {{"name", "BKL_BYPASSPOWERMSG"}};
             step["op"] = "CreateEventW";
             e.insert(e.begin() + static_cast<long>(i) + 1, step);
             return;
           }
       }},
      {"the timeout answers the other instance's box", "3", "2", 6000, "own-box",
       [](std::vector<Json>& e, std::uint32_t, std::uint32_t second) {
         std::string theirs;
         for (const Json& r : e)
           if (r.value("op", "") == "MessageBoxW" && r.value("pid", 0u) == second) theirs = r.value("window", "");
         for (Json& r : e)
           if (r.value("op", "") == "SendMessageW") r["args"]["window"] = theirs;
       }},
      {"the process ends during its own sequence", "3", "1", 14000, "process-outlives-sequence",
       [](std::vector<Json>& e, std::uint32_t first, std::uint32_t) {
         for (Json& r : e)
           if (r.value("op", "") == "process.exit") r["args"]["pid"] = first;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult good = RunTwo(c.first, c.second, c.at_ms);
    ASSERT_EQ(good.error, "");
    std::vector<Json> events = good.events;
    const std::uint32_t first = Instance(good, 1).at("pid"), second = Instance(good, 2).at("pid");
    const auto judged = [&](const std::vector<Json>& log) {
      std::vector<std::string> names;
      for (const auto& v : sim::Judge(sim::EventsFromJson(log), good.summary, sim::EndKind::kPowerLost).violations)
        names.push_back(v.invariant);
      return names;
    };
    const auto before = judged(events);
    EXPECT_EQ(std::count(before.begin(), before.end(), c.invariant), 0);
    c.spoil(events, first, second);
    const auto after = judged(events);
    EXPECT_EQ(std::count(after.begin(), after.end(), c.invariant), 1) << testing::PrintToString(after);
  }
}

// Swarm worlds with further instances that once failed a checker which judged them wrongly: a
// refused start whose search came just after the other box had been answered (29805), and one
// that the forced suspend ended before it could search (138052).
TEST(Instances, SwarmWorldsThatOnceFailedPass) {
  for (const char* seed : {"29805", "138052"}) {
    SCOPED_TRACE(seed);
    const auto out =
        testing_support::DevsimCommand(std::string("explore --swarm --jobs 1 --seeds ") + seed + ".." + seed);
    EXPECT_EQ(out.status, 0) << out.out << out.err;
    EXPECT_NE(out.out.find("failing seeds: 0"), std::string::npos) << out.out;
  }
}

// A thread's name carries the instance it runs for; the checks and the views read it back. Names
// of the first instance and of the handset's own threads say no number.
TEST(Instances, AThreadNameReadsBackAsTheInstanceItWasMadeFor) {
  const struct {
    const char* name;
    int process;
    std::size_t prefix;
  } cases[] = {
      {"main", 1, 0}, {"2:main", 2, 2}, {"3:AutoShutdownThread", 3, 2}, {"12:regnotify", 12, 3}, {"radio", 1, 0},
      {"2:", 1, 0},   {":main", 1, 0},  {"12345:main", 1, 0},           {"2x:main", 1, 0},       {"", 1, 0},
  };
  for (const auto& c : cases) {
    const auto named = sim::ProgramInstances::InstanceOfThread(c.name);
    EXPECT_EQ(named.process, c.process) << c.name;
    EXPECT_EQ(named.prefix, c.prefix) << c.name;
  }
  for (int process : {1, 2, 9, 40}) {
    const std::string name = sim::ProgramInstances::ThreadName(process, "main");
    EXPECT_EQ(sim::ProgramInstances::InstanceOfThread(name).process, process) << name;
  }
}
