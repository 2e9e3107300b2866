// The shutdown animation: where the library's path is found, what the library is called with,
// and the critical-battery sound with the dark backlight when no library is registered.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/harness.h"

using testing_support::RunBuiltin;
using testing_support::RunResult;

namespace {

// The built-in registry with `startup` (export text of System\Startup keys) in place of its
// own animation entry.
std::string RegistryWith(const std::string& startup) {
  return "[registry]\ntext = '''\nWindows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n\"AutoBootEnable\"=dword:00000000\n\n"
         "[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call Count\"=dword:00000000\n\n" +
         startup + "\n'''\n";
}

std::string DllUnder(int key, const std::string& path = "\\\\Windows\\\\ShutdownAnimation.dll") {
  return "[HKEY_LOCAL_MACHINE\\System\\Startup\\" + std::to_string(key) + "]\n\"Dll\"=\"" + path + "\"\n";
}

const std::string kNoLibrary = RegistryWith("");

std::vector<std::string> KeysRead(const RunResult& r) {
  std::vector<std::string> keys;
  for (const auto& c : r.Calls("RegistryGetString")) keys.push_back(c["args"]["subkey"].get<std::string>());
  return keys;
}

bool BacklightSwitchedOff(const RunResult& r) {
  for (const auto& c : r.Calls("SetDevicePower"))
    if (c["args"]["device"] == "BKL1:" && c["args"]["state"] == 4) return true;
  return false;
}

int OpenHandlesOfKind(const RunResult& r, const std::string& kind) {
  int n = 0;
  for (const auto& h : r.summary["handles_open"]) n += h["kind"] == kind ? 1 : 0;
  return n;
}

// The handle of the last unnamed event created before `call`.
sim::Json CallEventBefore(const RunResult& r, const sim::Json& call) {
  sim::Json handle;
  for (const auto& e : r.Calls("CreateEventW"))
    if (e["seq"] < call["seq"] && e["args"]["name"].is_null()) handle = e["result"];
  return handle;
}

bool ClosedAfter(const RunResult& r, const sim::Json& handle, const sim::Json& call) {
  for (const auto& e : r.Calls("CloseHandle"))
    if (e["seq"] > call["seq"] && e["args"]["handle"] == handle && e["result"] == true) return true;
  return false;
}

// A live heap block whose tag begins with `tag` ("sound", "sound, played").
bool HasLiveBlockTagged(const RunResult& r, const std::string& tag) {
  for (const auto& b : r.summary["heap"]["live"])
    if (b["tag"].get<std::string>().rfind(tag, 0) == 0) return true;
  return false;
}

}  // namespace

TEST(ShutDownAnimation, TriesTheStartupKeysInOrderAndStopsAtTheFirstDll) {
  struct Case {
    const char* name;
    std::string startup;
    std::vector<std::string> regreads;  // the traced results, in order
    std::vector<std::string> keys_read;
    bool library_called;
  } cases[] = {
      {"under key 1", DllUnder(1) + DllUnder(3), {"= 0."}, {"System\\Startup\\1"}, true},
      {"only under key 3",
       DllUnder(3),
       {"= 0x80070002.", "= 0."},
       {"System\\Startup\\1", "System\\Startup\\2", "System\\Startup\\3"},
       true},
      {"under key 2 and 3",
       DllUnder(2) + DllUnder(3),
       {"= 0x80070002.", "= 0."},
       {"System\\Startup\\1", "System\\Startup\\2"},
       true},
      {"nowhere", "", {"= 0x80070002."}, {"System\\Startup\\1", "System\\Startup\\2", "System\\Startup\\3"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunBuiltin(RegistryWith(c.startup), {"1"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.Count("[ShutDownAnimation] regread"), static_cast<int>(c.regreads.size())) << r.Dump();
    std::vector<std::string> order = {"[ShutDownAnimation] Enter ~ "};
    for (const auto& rr : c.regreads) order.push_back("[ShutDownAnimation] regread " + rr);
    if (c.library_called) order.push_back("[ShutDownAnimation] Leave ~ ");
    EXPECT_TRUE(r.InOrder(order)) << r.Dump();
    EXPECT_EQ(KeysRead(r), c.keys_read);
    EXPECT_EQ(r.Calls("DoShutdownAnimation").size(), c.library_called ? 1u : 0u);
    EXPECT_EQ(r.Has("[ShutDownAnimation] Leave"), c.library_called);
    // The fallback: the critical-battery sound and a dark backlight, and no library at all.
    EXPECT_EQ(r.Calls("LoadLibraryW").size(), c.library_called ? 1u : 0u);
    EXPECT_EQ(r.summary["sounds"].size(), c.library_called ? 0u : 1u);
    EXPECT_EQ(BacklightSwitchedOff(r), !c.library_called);
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(ShutDownAnimation, BuiltinHandsetCallsTheLibraryWithANullDoneEventAndClosesTheCallEvent) {
  const RunResult r = RunBuiltin("", {"1"});
  ASSERT_EQ(r.error, "");
  const auto calls = r.Calls("DoShutdownAnimation");
  ASSERT_EQ(calls.size(), 1u) << r.Dump();
  const auto& args = calls[0]["args"];
  EXPECT_EQ(args["reserved"], 0);
  EXPECT_TRUE(args["done_event"].is_null());
  // The third argument is the unnamed auto-reset event created just before the call ...
  const auto events = r.Calls("CreateEventW");
  const auto created =
      std::find_if(events.begin(), events.end(), [&](const sim::Json& e) { return e["result"] == args["call_event"]; });
  ASSERT_NE(created, events.end());
  EXPECT_EQ((*created)["args"]["manual_reset"], false);
  EXPECT_EQ((*created)["args"]["initial_state"], false);
  EXPECT_TRUE((*created)["args"]["name"].is_null());
  // ... and the program's very next call closes it.
  std::size_t after = calls[0]["seq"].get<std::size_t>() + 1;
  while (after < r.events.size() && r.events[after]["kind"] != "call") ++after;
  ASSERT_LT(after, r.events.size());
  EXPECT_EQ(r.events[after]["op"], "CloseHandle");
  EXPECT_EQ(r.events[after]["args"]["handle"], args["call_event"]);
  const auto& summary = r.summary["animation_calls"][0];
  EXPECT_EQ(summary["call_event_closed"], true);
  EXPECT_EQ(summary["used_closed_handle"], false);
  EXPECT_EQ(r.summary["libraries_loaded"][0], "\\Windows\\ShutdownAnimation.dll");
  EXPECT_EQ(r.summary["misuses"], 0);
}

TEST(ShutDownAnimation, ALibraryThatKeepsTheCallEventIsReportedOnceTheEventIsClosed) {
  const RunResult r = RunBuiltin(R"(
[[library]]
path = '\Windows\ShutdownAnimation.dll'
exports = ["DoShutdownAnimation"]
plays_ms = 100
uses_call_event_after_return_ms = 5
)",
                                 {"1"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.summary["animation_calls"][0]["used_closed_handle"], true);
  EXPECT_EQ(r.DeviceEvents("misuse.DoShutdownAnimation").size(), 1u);
}

TEST(ShutDownAnimation, ALibraryThatCannotBeUsedIsTracedWithTheErrorAndNothingElseHappens) {
  struct Case {
    const char* name;
    std::string overrides;
    std::string trace;
  } cases[] = {
      {"no such library", RegistryWith(DllUnder(1, "\\\\Windows\\\\Missing.dll")),
       "[SHUTDOWN|ShutDownAnimation]LoadLibrary error=126"},
      {"a library without the entry",
       "[[library]]\npath = '\\Windows\\ShutdownAnimation.dll'\nexports = [\"DoSomethingElse\"]\n",
       "[SHUTDOWN|ShutDownAnimation]GetProcAddress error=127"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = RunBuiltin(c.overrides, {"1"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.InOrder({"[ShutDownAnimation] regread = 0.", c.trace, "[ShutDownApps] numTasks"})) << r.Dump();
    EXPECT_FALSE(r.Has("[ShutDownAnimation] Leave"));
    EXPECT_EQ(r.Calls("DoShutdownAnimation").size(), 0u);
    // The call event does not outlive the failure; no fallback sound, the backlight stays on.
    const sim::Json call_event = CallEventBefore(r, r.Calls("LoadLibraryW").at(0));
    EXPECT_TRUE(ClosedAfter(r, call_event, r.Calls("LoadLibraryW").at(0))) << r.Dump();
    EXPECT_EQ(r.summary["sounds"].size(), 0u);
    EXPECT_FALSE(BacklightSwitchedOff(r));
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(MusicPlay, EachFailureIsTracedAsAPairClosesTheFileAndTheBacklightStillGoesOff) {
  // wav_ms = 100 gives a 1644-byte sound: 44 bytes of header, 8 kHz 16-bit mono data.
  struct Case {
    const char* name;
    std::string file;  // the [[file]] entry for the sound, or none
    std::vector<std::string> fail;
    std::string message;  // after "[SHUTDOWN|MusicPlay]"; empty: the sound plays
    int frees;
  } cases[] = {
      {"missing", "", {}, "CreateFile \\Windows\\Critbatt.wav error", 0},
      {"cannot be opened", "wav_ms = 100\nopen_fails = true", {}, "CreateFile \\Windows\\Critbatt.wav error", 0},
      {"size unknown", "wav_ms = 100\nsize_fails = true", {}, "GetFileSize  error", 0},
      {"out of memory", "wav_ms = 100", {"LocalAlloc:1644"}, "malloc  error", 0},
      {"shorter on reading than its size", "wav_ms = 100\nshort_read_bytes = 10", {}, "ReadFile  error", 1},
      {"read fails", "wav_ms = 100", {"ReadFile"}, "ReadFile  error", 1},
      {"empty", "contents = \"\"", {}, "Empty file \\Windows\\Critbatt.wav", 0},
      {"a good sound", "wav_ms = 100", {}, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::RunSpec spec;
    spec.scenario = "base = \"builtin\"\n" +
                    (c.file.empty() ? "file = []\n" + kNoLibrary
                                    : kNoLibrary + "[[file]]\npath = '\\Windows\\Critbatt.wav'\n" + c.file + "\n");
    spec.args = {"1"};
    spec.fail = c.fail;
    const RunResult r = testing_support::Run(spec);
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(BacklightSwitchedOff(r));
    EXPECT_EQ(OpenHandlesOfKind(r, "file"), 0);
    int sound_frees = 0;
    for (const auto& f : r.Calls("LocalFree")) sound_frees += f["args"].value("bytes", 0) == 1644 ? 1 : 0;
    EXPECT_EQ(sound_frees, c.frees);
    if (c.message.empty()) {
      EXPECT_FALSE(r.Has("[SHUTDOWN|MusicPlay]")) << r.Dump();
      ASSERT_EQ(r.summary["sounds"].size(), 1u);
      EXPECT_EQ(r.summary["sounds"][0]["length_ms"], 100);
      EXPECT_TRUE(HasLiveBlockTagged(r, "sound"));
      continue;
    }
    const int line = r.Find("[SHUTDOWN|MusicPlay]");
    ASSERT_GE(line, 0) << r.Dump();
    EXPECT_EQ(r.lines[line].text, "[SHUTDOWN|MusicPlay]" + c.message);
    EXPECT_EQ(r.summary["sounds"].size(), 0u);
    EXPECT_EQ(r.Calls("PlaySoundW").size(), 0u);
    EXPECT_FALSE(HasLiveBlockTagged(r, "sound"));
    for (const auto& b : r.summary["heap"]["live"]) EXPECT_NE(b["bytes"], 1644);
    EXPECT_EQ(r.summary["misuses"], 0);
  }
}

TEST(MusicPlay, AnEmptySoundFileAllocatesNothing) {
  const RunResult r = RunBuiltin(kNoLibrary + "[[file]]\npath = '\\Windows\\Critbatt.wav'\ncontents = \"\"\n", {"1"});
  ASSERT_EQ(r.error, "");
  for (const auto& c : r.Calls("LocalAlloc")) EXPECT_NE(c["args"]["bytes"], 0);
  EXPECT_EQ(r.Calls("ReadFile").size(), 0u);
}
