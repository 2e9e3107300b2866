// Closing the applications: which processes are asked to close, which are left alone, how the
// phone application is terminated, and the process snapshot's limits and failures.
#include <gtest/gtest.h>

#include <map>

#include "sim/base/text.h"
#include "steps/apps.h"
#include "tests/harness.h"

using testing_support::RunBuiltin;
using testing_support::RunResult;

namespace {

std::map<std::string, std::string> AppStates(const RunResult& r) {
  std::map<std::string, std::string> states;
  for (const auto& a : r.summary["applications"]) states[a["name"]] = a["state"];
  return states;
}

// Titles of the windows WM_CLOSE was posted to, in order.
std::vector<std::string> ClosePosts(const RunResult& r) {
  std::vector<std::string> titles;
  for (const auto& c : r.Calls("PostMessageW"))
    if (c["args"]["message"] == "0x10") titles.push_back(c["args"].value("title", ""));
  return titles;
}

// Index in the event log of the trace line containing `text`.
std::size_t TraceEvent(const RunResult& r, const std::string& text) {
  for (const auto& e : r.Calls("NKDbgPrintfW"))
    if (e["args"]["text"].get<std::string>().find(text) != std::string::npos) return e["seq"].get<std::size_t>();
  return r.events.size();
}

int CallsBetween(const RunResult& r, const std::string& op, std::size_t from, std::size_t to) {
  int n = 0;
  for (std::size_t i = from; i < to && i < r.events.size(); ++i)
    n += r.events[i]["kind"] == "call" && r.events[i]["op"] == op ? 1 : 0;
  return n;
}

std::string Process(const std::string& name, const std::string& window = "") {
  return "[[process]]\nname = '" + name + "'\n" + window;
}
std::string Window(const std::string& title, const std::string& extra = "") {
  return "[[process.window]]\ntitle = '" + title + "'\n" + extra;
}

}  // namespace

TEST(ShutDownApps, BuiltinHandsetClosesUserApplicationsTerminatesThePhoneAndSparesTheSystem) {
  const RunResult r = RunBuiltin("", {"1"});
  ASSERT_EQ(r.error, "");
  const auto states = AppStates(r);
  EXPECT_EQ(states.at("\\Windows\\cprog.exe"), "terminated (exit code 1)");
  EXPECT_EQ(states.at("\\Program Files\\Notes\\notes.exe"), "closed");
  EXPECT_EQ(states.at("\\Windows\\calc.exe"), "closed");
  EXPECT_EQ(states.at("\\Program Files\\Cards\\cards.exe"), "ignored the request to close");
  EXPECT_EQ(states.at("\\Windows\\syncagent.exe"), "untouched");  // only a hidden window
  for (const char* system : {"NK.EXE", "filesys.exe", "device.exe", "gwes.exe", "services.exe",
                             "\\Windows\\shell32.exe", "connmgr.exe", "tmail.exe"})
    EXPECT_EQ(states.at(system), "untouched") << system;
  EXPECT_EQ(ClosePosts(r), (std::vector<std::string>{"Notes", "Calculator", "Cards"}));
  // The thirteen processes of the handset and the program's own, which shows no window by then.
  EXPECT_TRUE(r.InOrder({"[ShutDownApps] numTasks=14 ", "[KillProcess] cprog.exe ", "[KillProcess] notes.exe ",
                         "[KillProcess] calc.exe ", "[KillProcess] cards.exe ", "[ShutDownApps] downd~!!! "}))
      << r.Dump();
  EXPECT_EQ(r.summary["misuses"], 0);
}

TEST(ShutDownApps, RowNamesDropTheDirectoryAndProtectedProgramsAreLeftAlone) {
  struct Case {
    std::string exe;
    std::string windows;
    std::string trace;  // "[KillProcess] NAME ", or empty: no trace
    std::string state;
  } cases[] = {
      {"\\Windows\\myapp.exe", Window("My App"), "[KillProcess] myapp.exe ", "closed"},
      {"plain.exe", Window("Plain"), "[KillProcess] plain.exe ", "closed"},
      {"\\Windows\\odd\\", Window("Odd"), "[KillProcess]  ", "closed"},
      {"GWES.EXE", Window("Upper"), "", "untouched"},
      {"Gwes.exe", Window("Mixed"), "", "untouched"},
      {"\\Windows\\welcome.exe", Window("Welcome"), "", "untouched"},
      {"CeLogFlush.exe", Window("Log"), "", "untouched"},
      {"hidden.exe", Window("Hidden", "visible = false\n"), "", "untouched"},
      {"windowless.exe", "", "", "untouched"},
  };
  std::string scenario;
  for (const Case& c : cases) scenario += Process(c.exe, c.windows);
  const RunResult r = RunBuiltin(scenario, {"1"});
  ASSERT_EQ(r.error, "");
  const auto states = AppStates(r);
  int traced = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe);
    EXPECT_EQ(states.at(c.exe), c.state);
    if (!c.trace.empty()) {
      EXPECT_EQ(r.Count(c.trace), 1) << r.Dump();
      ++traced;
    }
  }
  EXPECT_EQ(r.Count("[KillProcess]"), traced) << r.Dump();
  EXPECT_EQ(r.summary["misuses"], 0);
}

TEST(ShutDownApps, ThePhoneApplicationIsTerminatedOrAskedToCloseWhenItCannotBeOpened) {
  const std::vector<std::string> kill = {"[KillProcess] CPROG.EXE ", "[KillProcess] OpenProcess CPROG.EXE ",
                                         "[KillProcess] OpenProcess CPROG.EXE ", "[KillProcess] CPROG.EXE terminate ",
                                         "[KillProcess] CPROG.EXE closehandle "};
  struct Case {
    const char* name;
    std::string knobs;
    std::vector<std::string> traces;
    std::string state;
    bool posted;
  } cases[] = {
      {"terminated", "", kill, "terminated (exit code 1)", false},
      {"cannot be opened", "open_fails = true\n", {kill[0], kill[1]}, "closed", true},
      {"termination refused", "terminate_fails = true\n", {kill[0], kill[1], kill[2], kill[3]}, "untouched", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunBuiltin(Process("\\Windows\\CPROG.EXE", c.knobs + Window("Phone")), {"1"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(AppStates(r).at("\\Windows\\CPROG.EXE"), c.state);
    EXPECT_EQ(r.Count("[KillProcess]"), static_cast<int>(c.traces.size())) << r.Dump();
    EXPECT_TRUE(r.InOrder(c.traces)) << r.Dump();
    EXPECT_EQ(ClosePosts(r).size(), c.posted ? 1u : 0u);
    const auto opens = r.Calls("OpenProcess");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["args"]["access"], "0x1F0FFF");
    EXPECT_EQ(opens[0]["args"]["inherit"], false);
    if (!opens[0]["result"].is_null()) {
      EXPECT_EQ(r.Calls("TerminateProcess").at(0)["args"]["exit_code"], 1);
      for (const auto& h : r.summary["handles_open"]) EXPECT_NE(h["kind"], "process");
    }
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(ShutDownApps, AProcessWithTwoVisibleWindowsIsAskedAtTheOneEnumeratedLast) {
  const RunResult r =
      RunBuiltin(Process("twowin.exe", Window("First", "order = 1\n") + Window("Second", "order = 3\n") +
                                           Window("Hidden last", "order = 4\nvisible = false\n")) +
                     Process("other.exe", Window("Between", "order = 2\n")),
                 {"1"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(ClosePosts(r), (std::vector<std::string>{"Second", "Between"}));
  EXPECT_EQ(r.Count("[KillProcess] twowin.exe "), 1);
}

TEST(ShutDownApps, WithoutAProcessSnapshotNothingIsClosed) {
  struct Case {
    const char* knob;
    std::string trace;
  } cases[] = {
      {"fails", "[GetTaskListCE] hProcessSnap=-1.errorcode = 8 "},
      {"first_unreadable", "[GetTaskListCE] Process32First(hProcessSnap, &pe32)=FALSE. "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.knob);
    const RunResult r = RunBuiltin(std::string("[processes]\nsnapshot = '") + c.knob + "'\n", {"1"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.InOrder({c.trace, "[ShutDownApps] numTasks=0 ", "[ShutDownApps] downd~!!! "})) << r.Dump();
    EXPECT_FALSE(r.Has("[KillProcess]"));
    EXPECT_EQ(r.Calls("EnumWindows").size(), 1u);  // the enumeration runs all the same
    EXPECT_TRUE(ClosePosts(r).empty());
    for (const auto& h : r.summary["handles_open"]) EXPECT_NE(h["kind"], "snapshot");
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(ShutDownApps, OnlyTheFirst256ProcessesAreHandledAndNo257thRecordIsRead) {
  for (int processes : {256, 257, 300}) {
    SCOPED_TRACE(processes);
    const RunResult r =
        RunBuiltin("process = []\n[processes]\nextra_processes = " + std::to_string(processes) + "\n", {"1"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.Has("[ShutDownApps] numTasks=256 ")) << r.Dump();
    EXPECT_EQ(r.Calls("Process32First").size() + r.Calls("Process32Next").size(), 256u);
    EXPECT_EQ(ClosePosts(r).size(), 256u);
    const auto states = AppStates(r);
    EXPECT_EQ(states.at("extra256.exe"), "closed");
    if (processes > 256) {
      EXPECT_EQ(states.at("extra257.exe"), "untouched");
    }
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(ShutDownApps, AllocatesNoHeapMemory) {
  for (const std::string& scenario : {std::string(), std::string("[processes]\nextra_processes = 257\n")}) {
    const RunResult r = RunBuiltin(scenario, {"1"});
    ASSERT_EQ(r.error, "");
    const std::size_t from = TraceEvent(r, "[ShutDownApps] numTasks");
    const std::size_t to = TraceEvent(r, "[ShutDownApps] downd~!!!");
    ASSERT_LT(from, to);
    EXPECT_EQ(CallsBetween(r, "LocalAlloc", from, to), 0);
    EXPECT_GT(CallsBetween(r, "PostMessageW", from, to), 0);
  }
}

// GetTaskListCE called directly, on a handset whose snapshot lists three processes.
TEST(GetTaskListCE, FillsNoMoreRowsThanItsCapacityAndCopiesEachRecord) {
  testing_support::RunSpec spec;
  spec.scenario = std::string(
                      "[[process]]\nname = '\\Windows\\first.exe'\npid = 0x1234\nparent = 7\nthreads = 3\n"
                      "usage = 2\nmodule = 9\n") +
                  "[[process]]\nname = 'second.exe'\n[[process]]\nname = 'third.exe'\n";
  struct Case {
    DWORD capacity;
    DWORD rows;
    std::size_t snapshots, nexts;
  } cases[] = {{0, 0, 0, 0}, {1, 1, 1, 0}, {2, 2, 1, 1}, {3, 3, 1, 2}, {4, 3, 1, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    const RunResult r = testing_support::RunRoutine(spec, [&] {
      static TaskEntry rows[4];
      for (auto& row : rows) row.hWnd = reinterpret_cast<HWND>(0xAB0);
      const DWORD n = GetTaskListCE(rows, c.capacity);
      sim::Json names = sim::Json::array();
      for (DWORD i = 0; i < n; ++i) names.push_back(sim::Narrow(rows[i].szName));
      return sim::Json{{"rows", n},
                       {"names", names},
                       {"first",
                        {rows[0].dwProcessId, rows[0].dwParentProcessId, rows[0].dwThreadCount, rows[0].dwUsageCount,
                         rows[0].dwModuleId}},
                       {"window_kept", rows[0].hWnd == reinterpret_cast<HWND>(0xAB0)}};
    });
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.value["rows"], c.rows) << r.value.dump();
    EXPECT_EQ(r.Calls("CreateToolhelp32Snapshot").size(), c.snapshots);
    EXPECT_EQ(r.Calls("Process32First").size(), c.snapshots);
    EXPECT_EQ(r.Calls("Process32Next").size(), c.nexts);
    EXPECT_EQ(r.Calls("CloseToolhelp32Snapshot").size(), c.snapshots);
    EXPECT_TRUE(r.lines.empty());
    if (c.rows == 0) continue;
    EXPECT_EQ(r.Calls("CreateToolhelp32Snapshot")[0]["args"]["flags"], "0x40000002");
    EXPECT_EQ(r.value["names"][0], "first.exe");
    EXPECT_EQ(r.value["first"], (sim::Json{0x1234, 7, 3, 2, 9}));
    EXPECT_EQ(r.value["window_kept"], true);
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(GetTaskListCE, ANameWithoutTerminatorIsCutAtTheRowsCapacity) {
  const std::string long_name(300, 'n');
  const std::string dir(200, 'd');
  testing_support::RunSpec spec;
  spec.scenario = "[[process]]\nname = '" + long_name + "'\n[[process]]\nname = '\\" + dir + "\\" + long_name + "'\n";
  const RunResult r = testing_support::RunRoutine(spec, [] {
    static TaskEntry rows[2];
    const DWORD n = GetTaskListCE(rows, 2);
    return sim::Json{{"rows", n}, {"first", sim::Narrow(rows[0].szName)}, {"second", sim::Narrow(rows[1].szName)}};
  });
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.value["rows"], 2);
  // The record holds 260 characters with no terminator; the row keeps 259 and its terminator.
  EXPECT_EQ(r.value["first"], std::string(259, 'n'));
  // The backslash is found within the record's 260 characters; the rest of them is the name.
  EXPECT_EQ(r.value["second"], std::string(260 - 202, 'n'));
}
