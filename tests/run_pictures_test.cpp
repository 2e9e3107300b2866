// The pictures of a run: the Chrome trace loads in Python and has a track per thread and a
// counter per part of the handset, its slices nest on every track, endless loops stay small;
// the SVG timeline is well-formed, self-contained XML that renders in headless Chromium.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "sim/views/chrome_trace.h"
#include "sim/views/timeline_layout.h"
#include "sim/views/timeline_svg.h"
#include "tests/harness.h"

using sim::Json;
using testing_support::RunBuiltin;
using testing_support::RunResult;

namespace {

// A finished run that the picture builders can read.
struct Record {
  RunResult run;
  std::vector<sim::TraceLine> lines;

  explicit Record(RunResult r) : run(std::move(r)) {
    for (const auto& l : run.lines)
      lines.push_back({static_cast<sim::Micros>(std::llround(l.at_ms * 1000.0)), l.thread, l.text});
  }
  sim::RunRecord View() const { return {run.events, lines, run.summary}; }
};

// A fresh directory under /tmp, removed with the object.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/hs_pictures_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string File(const std::string& name) const { return path + "/" + name; }
};

// Runs a shell command; its exit status.
int Shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool HavePython() { return Shell("python3 -c pass >/dev/null 2>&1") == 0; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The trace events of `trace` with phase `ph`.
std::vector<Json> Phase(const Json& trace, const std::string& ph) {
  std::vector<Json> out;
  for (const Json& e : trace["traceEvents"])
    if (e["ph"] == ph) out.push_back(e);
  return out;
}

std::map<int, std::string> ThreadNames(const Json& trace) {
  std::map<int, std::string> out;
  for (const Json& e : Phase(trace, "M"))
    if (e["name"] == "thread_name" && e["pid"] == 1) out[e["tid"].get<int>()] = e["args"]["name"];
  return out;
}

int Tid(const Json& trace, const std::string& thread) {
  for (const auto& [tid, name] : ThreadNames(trace))
    if (name == thread) return tid;
  return -1;
}

// A counter track as its (time, value) points.
std::vector<std::pair<sim::Micros, int>> Counter(const Json& trace, const std::string& name) {
  std::vector<std::pair<sim::Micros, int>> out;
  for (const Json& e : Phase(trace, "C"))
    if (e["name"] == name) out.push_back({e["ts"].get<sim::Micros>(), e["args"].begin().value().get<int>()});
  return out;
}

// The values a counter took, without repeats.
std::vector<int> Values(const std::vector<std::pair<sim::Micros, int>>& points) {
  std::vector<int> out;
  for (const auto& p : points)
    if (out.empty() || out.back() != p.second) out.push_back(p.second);
  return out;
}

// Complete slices on one track must nest (each inside the one that encloses it), or the viewers
// draw them wrongly; returns what overlaps.
std::string NestingFaults(const Json& trace) {
  std::map<std::pair<int, int>, std::vector<Json>> tracks;
  for (const Json& e : Phase(trace, "X")) tracks[{e["pid"].get<int>(), e["tid"].get<int>()}].push_back(e);
  std::string faults;
  for (auto& [track, slices] : tracks) {
    std::stable_sort(slices.begin(), slices.end(), [](const Json& a, const Json& b) {
      return a["ts"] != b["ts"] ? a["ts"] < b["ts"] : a["dur"] > b["dur"];
    });
    std::vector<sim::Micros> open_ends;
    for (const Json& s : slices) {
      const sim::Micros begin = s["ts"], end = begin + s["dur"].get<sim::Micros>();
      while (!open_ends.empty() && open_ends.back() <= begin) open_ends.pop_back();
      if (!open_ends.empty() && end > open_ends.back())
        faults += s["name"].get<std::string>() + " at " + std::to_string(begin) + "; ";
      open_ends.push_back(end);
    }
  }
  return faults;
}

}  // namespace

TEST(ChromeTrace, ModeThreeFileLoadsInPythonWithEveryTrack) {
  if (!HavePython()) GTEST_SKIP() << "python3 is not installed";
  TempDir dir;
  const std::string file = dir.File("run.json");
  ASSERT_EQ(Shell(std::string(HS_DEVSIM) + " -q --chrome-trace " + file + " -- 3 >/dev/null"), 0);
  const std::string check =
      "import json,sys\n"
      "d = json.load(open(sys.argv[1]))\n"
      "ev = d['traceEvents']\n"
      "assert d['displayTimeUnit'] == 'ms'\n"
      "threads = {e['args']['name'] for e in ev if e['ph'] == 'M' and e['name'] == 'thread_name'}\n"
      "need = {'main', 'AutoShutdownThread', 'AnimTimeoutThread', 'radio'}\n"
      "assert need <= threads, threads\n"
      "counters = {e['name'] for e in ev if e['ph'] == 'C' and e['pid'] == 2}\n"
      "need = {'LCD', 'backlight', 'radio', 'GPS rail', 'BT rail', 'PMU power-off line', 'power state', 'vibrator', "
      "'box'}\n"
      "assert need <= counters, counters\n"
      "assert any(e['ph'] == 'X' and e['args'].get('caller') == 'NormalShutdown' for e in ev)\n"
      "assert any(e['ph'] == 'X' and e['cat'] == 'wait' and e['dur'] == 60000000 for e in ev)\n"
      "assert any(e['ph'] == 'i' and 'WAIT_TIMEOUT' in e['args'].get('text', '') for e in ev)\n"
      "assert all(isinstance(e['ts'], int) for e in ev if e['ph'] != 'M')\n";
  std::ofstream(dir.File("check.py")) << check;
  EXPECT_EQ(Shell("python3 " + dir.File("check.py") + " " + file), 0);
  EXPECT_EQ(Shell("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + file), 0);
}

TEST(ChromeTrace, ModeThreeShowsThreadsStepsLinesAndTheHandsetsState) {
  const Record r(RunBuiltin("", {"3"}));
  ASSERT_EQ(r.run.outcome, "off") << r.run.Dump();
  const Json trace = sim::ChromeTrace(r.View());
  const int seq = Tid(trace, "AutoShutdownThread"), watchdog = Tid(trace, "AnimTimeoutThread");
  ASSERT_GT(seq, 0);
  ASSERT_GT(watchdog, 0);
  EXPECT_EQ(Tid(trace, "main"), 1);

  std::vector<std::string> steps;
  bool watchdog_wait = false;
  for (const Json& e : Phase(trace, "X")) {
    if (e["cat"] == "step" && e["tid"] == seq) steps.push_back(e["name"]);
    if (e["cat"] == "wait" && e["tid"] == watchdog && e["name"] == "WaitForSingleObject") {
      watchdog_wait = true;
      EXPECT_EQ(e["dur"], 60000000);
      EXPECT_EQ(e["args"]["caller"], "AnimTimeoutThread");
      EXPECT_NE(e["args"]["waited_for"].get<std::string>().find("WAIT_TIMEOUT"), std::string::npos);
    }
  }
  EXPECT_TRUE(watchdog_wait);
  const std::vector<std::string> expected = {
      "ERTC",     "animation", "LCD off", "radio down (wait)", "applications (keyboard locked)", "kernel shutdown",
      "log dump", "suspend"};
  EXPECT_EQ(steps, expected);

  std::size_t instants = 0;
  for (const Json& e : Phase(trace, "i")) instants += e["cat"] == "trace" ? 1 : 0;
  EXPECT_EQ(instants, r.lines.size());

  const auto lcd = Counter(trace, "LCD");
  ASSERT_EQ(Values(lcd), (std::vector<int>{1, 0}));
  EXPECT_EQ(lcd[1].first, r.run.DeviceEvents("lcd.off").at(0)["t_us"].get<sim::Micros>());
  EXPECT_EQ(Values(Counter(trace, "power state")), (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(Values(Counter(trace, "box")), (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(Values(Counter(trace, "radio")), (std::vector<int>{1, 0}));
  const auto vibrator = Counter(trace, "vibrator");
  ASSERT_EQ(Values(vibrator), (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(vibrator[1].first, r.run.DeviceEvents("vibrator.on").at(0)["t_us"].get<sim::Micros>());
  EXPECT_EQ(vibrator[2].first, r.run.DeviceEvents("vibrator.off").at(0)["t_us"].get<sim::Micros>());
  EXPECT_EQ(Counter(trace, "GPS rail").back().first, r.run.summary["ended_us"].get<sim::Micros>());
}

TEST(ChromeTrace, SlicesNestOnEveryTrackOfEveryKindOfRun) {
  struct Case {
    std::string name, overrides;
    std::vector<std::string> args, answers;
  };
  const std::vector<Case> cases = {
      {"mode 1", "", {"1"}, {}},
      {"mode 2, yes", "", {"2"}, {"yes@1500"}},
      {"mode 2, nobody answers", "", {"2"}, {}},
      {"mode 3", "", {"3"}, {}},
      {"mode 3, answered no", "", {"3"}, {"no@2000"}},
      {"radio never answers", "[radio]\nconfirm = \"never\"\n", {"1"}, {}},
      {"forced suspend returns late", "[power]\nsuspend_returns_after_ms = 5000\n", {"1"}, {}},
  };
  for (const Case& c : cases) {
    const Record r(RunBuiltin(c.overrides, c.args, c.answers));
    ASSERT_TRUE(r.run.error.empty()) << c.name << ": " << r.run.error;
    const Json trace = sim::ChromeTrace(r.View());
    EXPECT_EQ(NestingFaults(trace), "") << c.name;
    const auto names = ThreadNames(trace);
    for (const Json& e : Phase(trace, "X")) {
      EXPECT_TRUE(names.count(e["tid"].get<int>())) << c.name << ": slice on an unnamed track: " << e.dump();
      EXPECT_LE(e["ts"].get<sim::Micros>() + e["dur"].get<sim::Micros>(), r.run.summary["ended_us"].get<sim::Micros>())
          << c.name << ": " << e.dump();
    }
  }
}

TEST(ChromeTrace, SlicesNestWhateverTheThreadOrderOfTheRacyScenarios) {
  for (const auto& [file, mode] :
       std::vector<std::pair<std::string, std::string>>{{"race_answer_timeout.toml", "3"},
                                                        {"race_radio_wait.toml", "1"},
                                                        {"race_call_end_registration.toml", "3"}}) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
      testing_support::RunSpec spec;
      spec.scenario = ReadFile(std::string(HS_SOURCE_DIR) + "/scenarios/" + file);
      spec.args = {mode};
      spec.seed = seed;
      const Record r(testing_support::RunProgram(spec));
      ASSERT_TRUE(r.run.error.empty()) << file << ": " << r.run.error;
      EXPECT_EQ(NestingFaults(sim::ChromeTrace(r.View())), "") << file << " seed " << seed;
    }
  }
}

TEST(ChromeTrace, AWaitStillUnderWayWhenTheRunEndsLastsToTheEnd) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string thread, op;
  };
  for (const Case& c :
       std::vector<Case>{{"box nobody answers", {"2"}, "main", "MessageBoxW"},
                         {"watchdog outlived by the process end", {"1"}, "AnimTimeoutThread", "WaitForSingleObject"}}) {
    const Record r(RunBuiltin("", c.args));
    const Json trace = sim::ChromeTrace(r.View());
    const int tid = Tid(trace, c.thread);
    bool found = false;
    for (const Json& e : Phase(trace, "X")) {
      if (e["tid"] != tid || e["name"] != c.op || e["cat"] != "wait") continue;
      found = true;
      EXPECT_TRUE(e["args"].value("unfinished", false)) << c.name;
      EXPECT_EQ(e["ts"].get<sim::Micros>() + e["dur"].get<sim::Micros>(), r.run.summary["ended_us"].get<sim::Micros>())
          << c.name;
    }
    EXPECT_TRUE(found) << c.name;
  }
}

TEST(ChromeTrace, PowerOffLoopOnABoardWithoutThePmuLineIsFoldedWithoutLosingCalls) {
  testing_support::RunSpec spec;
  spec.scenario = "base = \"builtin\"\n[board]\npmu_line = false\n";
  spec.args = {"3"};
  spec.time_limit_ms = 90000;
  spec.expect_violations = {"run-ends"};
  const Record r(testing_support::RunProgram(spec));
  ASSERT_EQ(r.run.outcome, "time-limit") << r.run.Dump();
  const Json trace = sim::ChromeTrace(r.View());
  EXPECT_LT(trace["traceEvents"].size(), 2000u);
  const int tid = Tid(trace, "AnimTimeoutThread");
  std::size_t calls_in_trace = 0, folded = 0;
  for (const Json& e : Phase(trace, "X")) {
    if (e["tid"] != tid || e["cat"] == "step") continue;
    if (e["cat"] == "folded") {
      ++folded;
      calls_in_trace += e["args"]["calls"].get<std::size_t>();
      EXPECT_EQ(e["args"]["cycle"], "NKDbgPrintfW, GpioSetDirection, GpioSetValue");
    } else {
      ++calls_in_trace;
    }
  }
  std::size_t calls_in_log = 0;
  for (const Json& e : r.run.events) calls_in_log += e["kind"] == "call" && e["thread"] == "AnimTimeoutThread" ? 1 : 0;
  EXPECT_EQ(folded, 1u);
  EXPECT_EQ(calls_in_trace, calls_in_log);
  EXPECT_EQ(NestingFaults(trace), "");
}

TEST(TimelineSvg, EscapesEverythingItWrites) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain text", "plain text"},
      {"<script>&'\"", "&lt;script&gt;&amp;&apos;&quot;"},
      {"bell\x07 and nul", "bell and nul"},
      {"tab\tand newline\n", "tab\tand newline\n"},
      {"caf\xc3\xa9 \xe2\x80\x94", "caf\xc3\xa9 \xe2\x80\x94"},
      {"cut \xc3", "cut \xef\xbf\xbd"},
      {"stray \xff byte", "stray \xef\xbf\xbd byte"},
      // The simulator's one rule for ill-formed UTF-8: each maximal subpart is one U+FFFD.
      {"surrogate \xed\xa0\x80", "surrogate \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"overlong \xc0\xaf", "overlong \xef\xbf\xbd\xef\xbf\xbd"},
      {"truncated \xe2\x82z", "truncated \xef\xbf\xbdz"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(sim::XmlEscape(in), out) << in;
}

TEST(TimelineSvg, IsWellFormedSelfContainedXmlWithTheRunInIt) {
  const bool python = HavePython();
  TempDir dir;
  struct Case {
    std::string args, title;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {"-- 3",
       "devsim 3 \xe2\x80\x94 outcome: off (the PMU power-off line removed the power)",
       {">main<", ">AutoShutdownThread<", ">AnimTimeoutThread<", ">radio<", ">LCD<", ">PMU power-off line<",
        ">power state<", ">vibrator<", "radio down (wait)", "applications (keyboard locked)", "watchdog timeout",
        "box &apos;Warning&apos; shown", "power off (PMU line)", "WaitForSingleObject", "\xe2\x89\x88"}},
      {"-- 1", "devsim 1 \xe2\x80\x94 outcome: suspended", {"LCD off", "kernel shutdown", "forced suspend"}},
      {"--answer yes@1500 -- 2", "devsim 2 \xe2\x80\x94 outcome: suspended", {"box answered Yes (user)"}},
  };
  for (const Case& c : cases) {
    const std::string file = dir.File("run.svg");
    ASSERT_EQ(Shell(std::string(HS_DEVSIM) + " -q --timeline " + file + " " + c.args + " >/dev/null"), 0) << c.args;
    const std::string svg = ReadFile(file);
    EXPECT_NE(svg.find(c.title), std::string::npos) << c.args;
    for (const auto& t : c.texts) EXPECT_NE(svg.find(t), std::string::npos) << c.args << ": " << t;
    for (const char* banned : {"<script", "href", "@import", "<image", "<foreignObject", "https:"})
      EXPECT_EQ(svg.find(banned), std::string::npos) << c.args << ": " << banned;
    for (std::size_t at = svg.find("url("); at != std::string::npos; at = svg.find("url(", at + 1))
      EXPECT_EQ(svg.compare(at, 5, "url(#"), 0) << "a reference outside the document";
    if (python) {
      EXPECT_EQ(Shell("python3 -c 'import sys,xml.etree.ElementTree as E; E.parse(sys.argv[1])' " + file), 0) << c.args;
    }
  }
}

TEST(TimelineSvg, TextFromTheRunCannotBreakTheDocument) {
  if (!HavePython()) GTEST_SKIP() << "python3 is not installed";
  auto call = [](sim::Micros at, const std::string& op, Json args) {
    return Json{{"t_us", at},
                {"kind", "call"},
                {"thread", "main<&>"},
                {"op", op},
                {"caller", "Main\"Routine'"},
                {"args", std::move(args)},
                {"result", nullptr}};
  };
  const std::vector<Json> events = {
      call(10, "MessageBoxW", {{"caption", "<b>Warn & \"x\"</b>\x01\xff"}}),
      Json{{"t_us", 10},
           {"kind", "device"},
           {"thread", "device"},
           {"op", "windows.box_shown"},
           {"args", {{"window", "0x100A0"}, {"title", "</svg><script>"}}}},
  };
  const std::vector<sim::TraceLine> lines = {{5, "main<&>", "]]><!-- \x02 & <tag attr=\"v\">"}};
  const Json summary = {{"outcome", "on"},
                        {"reason", "a <reason> & more"},
                        {"command_line", "2 \"<x>\""},
                        {"ended_us", 20},
                        {"threads", {"main<&>: message box waits, no deadline"}}};
  const std::string svg = sim::TimelineSvg({events, lines, summary});
  EXPECT_EQ(svg.find("<script"), std::string::npos);
  TempDir dir;
  std::ofstream(dir.File("odd.svg"), std::ios::binary) << svg;
  EXPECT_EQ(Shell("python3 -c 'import sys,xml.etree.ElementTree as E; E.parse(sys.argv[1])' " + dir.File("odd.svg")),
            0);
}

TEST(TimelineSvg, RendersInHeadlessChromiumAsAPictureThatIsNotBlank) {
  const char* chromium = "/usr/bin/chromium";
  if (access(chromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed (setup.sh installs it)";
  if (!HavePython()) GTEST_SKIP() << "python3 is not installed";
  TempDir dir;
  const std::string svg = dir.File("run.svg"), png = dir.File("run.png");
  ASSERT_EQ(Shell(std::string(HS_DEVSIM) + " -q --timeline " + svg + " -- 3 >/dev/null"), 0);
  const std::string render = std::string("timeout 120 ") + chromium +
                             " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                             " --disable-background-networking --disable-component-update --disable-sync"
                             " --user-data-dir=" +
                             dir.File("profile") + " --screenshot=" + png + " --window-size=1600,900 file://" + svg +
                             " >/dev/null 2>&1";
  Shell(render);
  ASSERT_TRUE(std::filesystem::exists(png)) << "no screenshot from: " << render;
  const std::string measure = "python3 " + std::string(HS_SOURCE_DIR) + "/tests/tools/png_ink.py " + png;
  FILE* p = popen(measure.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int width = 0, height = 0;
  double share = -1;
  const int n = std::fscanf(p, "%d %d %lf", &width, &height, &share);
  pclose(p);
  ASSERT_EQ(n, 3) << measure;
  EXPECT_EQ(width, 1600);
  EXPECT_EQ(height, 900);
  // A readable picture inks a good part of the page, and is not one flat colour either.
  EXPECT_GT(share, 0.08);
  EXPECT_LT(share, 0.8);
}

TEST(Devsim, PictureThatCannotBeWrittenIsAnError) {
  for (const char* option : {"--chrome-trace", "--timeline"}) {
    const std::string cmd = std::string(HS_DEVSIM) + " -q " + option + " /nonexistent-dir/run.out -- 1 >/dev/null 2>&1";
    EXPECT_EQ(Shell(cmd), 2) << option;
  }
}

TEST(Devsim, HelpIntoAPipeListsThePictureOptions) {
  const testing_support::DevsimOutput r = testing_support::DevsimCommand("--help");
  const std::string& help = r.out;
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(help.find("--chrome-trace"), std::string::npos) << help;
  EXPECT_NE(help.find("--timeline"), std::string::npos) << help;
}

namespace {

// Width of the bar of the step whose tip starts with `step` + ":", or -1.
double StepWidth(const std::string& svg, const std::string& step) {
  std::smatch m;
  const std::regex bar("<rect x=\"[0-9.]+\" y=\"[0-9.]+\" width=\"([0-9.]+)\"[^>]*><title>" + step + ": ");
  return std::regex_search(svg, m, bar) ? std::stod(m[1]) : -1;
}

}  // namespace

TEST(TimelineSvg, LongerStepsAreNeverDrawnNarrowerAndEachLabelGivesItsDuration) {
  const Record mode1(RunBuiltin("", {"1"}));
  ASSERT_TRUE(mode1.run.error.empty()) << mode1.run.error;
  ASSERT_TRUE(mode1.run.summary["violations"].empty()) << mode1.run.summary["violations"].dump();
  for (const bool linear : {false, true}) {
    SCOPED_TRACE(linear ? "linear" : "compressed");
    sim::TimelineOptions options;
    options.linear = linear;
    const std::string svg = sim::TimelineSvg(mode1.View(), options);
    const double ertc = StepWidth(svg, "ERTC"), animation = StepWidth(svg, "animation");
    ASSERT_GT(ertc, 0) << svg;
    EXPECT_GT(animation, ertc) << "the 2.5 s animation is drawn narrower than the ERTC step";
    EXPECT_TRUE(std::regex_search(svg, std::regex(">animation 2\\.5\\d* s<"))) << "no duration in the step's label";
    EXPECT_EQ(svg.find("linear time") != std::string::npos, linear);
  }
}

TEST(TimelineSvg, TheScenariosOutsideEventsAreMoments) {
  const Record late(
      RunBuiltin("[registry]\npatch = '''\nREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call "
                 "Count\"=dword:00000001\n'''\n"
                 "[[timeline]]\nat_ms = 20000\ndo = \"delete_registry\"\nkey = 'System\\State\\Phone'\nvalue = "
                 "\"Active Call Count\"\n"
                 "[power]\nsuspend = \"ends_run\"\n",
                 {"3"}));
  ASSERT_TRUE(late.run.error.empty()) << late.run.error;
  ASSERT_TRUE(late.run.summary["violations"].empty()) << late.run.summary["violations"].dump();
  const std::string svg = sim::TimelineSvg(late.View());
  EXPECT_TRUE(std::regex_search(svg, std::regex(">outside: delete_registry 20[.0-9]* s"))) << svg;
}

namespace {

// Pairs of boxes in `boxes` that overlap, as text.
std::string Overlaps(const std::vector<sim::LabelBox>& boxes, const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < boxes.size(); ++i)
    for (std::size_t j = i + 1; j < boxes.size(); ++j)
      if (boxes[i].Overlaps(boxes[j])) out += "'" + names[i] + "' over '" + names[j] + "'; ";
  return out;
}

// What a page's labels get wrong: overlapping labels in one lane, in the moments' rows or on an
// axis, and ticks of one axis that read alike.
std::string LayoutFaults(const sim::TimelineLayout& page) {
  std::string faults;
  for (const sim::ThreadLane& lane : page.threads) {
    std::vector<std::string> names;
    for (const auto& st : lane.steps)
      if (st.label) names.push_back(st.label->text);
    for (const auto& sp : lane.spans)
      if (sp.label) names.push_back(sp.label->text);
    const std::string o = Overlaps(lane.LabelBoxes(), names);
    if (!o.empty()) faults += lane.thread + ": " + o + "\n";
  }
  for (const sim::StateLane& lane : page.states) {
    std::vector<std::string> names;
    for (const auto& st : lane.stretches)
      if (st.label) names.push_back(st.label->text);
    const std::string o = Overlaps(lane.LabelBoxes(), names);
    if (!o.empty()) faults += lane.track->name + ": " + o + "\n";
  }
  std::vector<sim::LabelBox> boxes;
  std::vector<std::string> names;
  for (const auto& m : page.moments)
    if (m.label) boxes.push_back(m.label->Box()), names.push_back(m.label->text);
  if (const std::string o = Overlaps(boxes, names); !o.empty()) faults += "moments: " + o + "\n";
  for (const sim::AxisLayout* axis : {&page.top_axis, &page.bottom_axis}) {
    boxes.clear();
    names.clear();
    for (const auto& piece : axis->pieces) {
      for (const auto& tick : piece.ticks) boxes.push_back(tick.Box()), names.push_back(tick.text);
      if (piece.length) boxes.push_back(piece.length->Box()), names.push_back(piece.length->text);
    }
    if (const std::string o = Overlaps(boxes, names); !o.empty()) faults += "axis: " + o + "\n";
    std::set<std::string> seen;
    for (const auto& piece : axis->pieces)
      for (const auto& tick : piece.ticks)
        if (!seen.insert(tick.text).second) faults += "axis: two ticks read '" + tick.text + "'\n";
  }
  return faults;
}

}  // namespace

// Every gallery scenario in every mode, compressed and linear: no label lies over another of its
// lane, of the moments' rows or of an axis, and the ticks of an axis all read differently.
TEST(TimelineLayout, NoTwoLabelsOverlapAndTicksReadApartInEveryGalleryPicture) {
  std::vector<testing_support::RunSpec> specs;
  std::vector<std::string> names;
  for (const auto& file : std::filesystem::directory_iterator(std::string(HS_SOURCE_DIR) + "/scenarios")) {
    if (file.path().extension() != ".toml") continue;
    for (const char* mode : {"", "1", "2", "3"}) {
      testing_support::RunSpec spec;
      spec.scenario = ReadFile(file.path().string());
      if (*mode) spec.args = {mode};
      specs.push_back(spec);
      names.push_back(file.path().filename().string() + " -- " + mode);
    }
  }
  const std::vector<RunResult> runs = testing_support::RunInOneProcess(specs);
  ASSERT_EQ(runs.size(), specs.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Record record(runs[i]);
    ASSERT_TRUE(record.run.error.empty()) << names[i] << ": " << record.run.error;
    for (const bool linear : {false, true}) {
      SCOPED_TRACE(names[i] + (linear ? " linear" : " compressed"));
      const sim::TimelineLayout page = sim::LayOutTimeline(record.View(), linear);
      EXPECT_EQ(LayoutFaults(page), "");
    }
  }
}

// The crowded end of mode 3's sequence: the short steps after the radio's wait still get labels
// of their own, in rows apart from the wait's.
TEST(TimelineLayout, ShortStepsAfterTheRadioWaitKeepTheirLabels) {
  const Record mode3(RunBuiltin("", {"3"}));
  ASSERT_TRUE(mode3.run.error.empty()) << mode3.run.error;
  const sim::TimelineLayout page = sim::LayOutTimeline(mode3.View(), false);
  const auto lane = std::find_if(page.threads.begin(), page.threads.end(),
                                 [](const sim::ThreadLane& l) { return l.thread == "AutoShutdownThread"; });
  ASSERT_NE(lane, page.threads.end());
  std::set<std::string> labelled;
  for (const auto& st : lane->steps)
    if (st.label) labelled.insert(st.step->name);
  EXPECT_TRUE(labelled.count("radio down (wait)") && labelled.count("suspend"));
  EXPECT_EQ(LayoutFaults(page), "");
}
