#include "sim/views/run_story.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

// What a call that did not block is drawn as, at most (the handset's cost of one call).
constexpr Micros kShortCallUs = 20;
// Longest cycle of calls or lines that folding looks for.
constexpr std::size_t kMaxCycle = 8;

// JSON text of `v`; text that is not valid UTF-8 (a name from the program's 16-bit strings) is
// replaced rather than thrown on.
std::string Dump(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string Str(const Json& j, const char* key) {
  if (!j.is_object() || !j.contains(key)) return {};
  const Json& v = j[key];
  return v.is_string() ? v.get<std::string>() : Dump(v);
}

std::string ArgStr(const Json& e, const char* key) { return e.contains("args") ? Str(e["args"], key) : std::string(); }

Micros Time(const Json& e, const char* key) {
  if (!e.contains(key) || !e[key].is_number_integer() || e[key].get<std::int64_t>() < 0) return 0;
  return e[key].get<Micros>();
}

bool IsCall(const Json& e) { return Str(e, "kind") == "call"; }

// Operations in which a thread can be blocked when the run ends.
bool MayBlock(const std::string& op) {
  static const std::set<std::string> kOps = {"WaitForSingleObject", "Sleep",        "MessageBoxW",
                                             "SendMessageW",        "PostMessageW", "SetSystemPowerState",
                                             "DoShutdownAnimation", "PlaySoundW"};
  return kOps.count(op) != 0;
}

// Threads that were still waiting when the run ended (the summary lists every unfinished thread
// as "name: what it waits for", or "name: runnable").
std::set<std::string> WaitsAtEnd(const Json& summary) {
  std::set<std::string> out;
  if (!summary.contains("threads") || !summary["threads"].is_array()) return out;
  for (const Json& t : summary["threads"]) {
    if (!t.is_string()) continue;
    const std::string line = t.get<std::string>();
    const auto colon = line.find(": ");
    if (colon == std::string::npos || line.substr(colon + 2) == "runnable") continue;
    out.insert(line.substr(0, colon));
  }
  return out;
}

// Display order: main, the threads the program started, then the handset's own threads.
std::vector<std::string> ThreadOrder(const RunRecord& run) {
  std::vector<std::string> seen;
  std::set<std::string> started;
  auto see = [&](const std::string& t) {
    if (!t.empty() && t != "device" && std::find(seen.begin(), seen.end(), t) == seen.end()) seen.push_back(t);
  };
  for (const Json& e : run.events) {
    if (!IsCall(e)) continue;
    see(Str(e, "thread"));
    if (Str(e, "op") == "CreateThread") started.insert(ArgStr(e, "routine"));
  }
  for (const TraceLine& l : run.lines) see(l.thread);
  std::vector<std::string> order;
  if (std::find(seen.begin(), seen.end(), "main") != seen.end()) order.push_back("main");
  for (const auto& t : seen)
    if (t != "main" && started.count(t)) order.push_back(t);
  for (const auto& t : seen)
    if (t != "main" && !started.count(t)) order.push_back(t);
  return order;
}

// Who set the event that ended wait `e`: "NotifyProc on radio", or "".
std::string SetterOf(const Json& e, const std::vector<Json>& events) {
  const std::string handle = ArgStr(e, "handle");
  const Micros end = Time(e, "t_end_us");
  // `e` is one of `events`: the search starts right after it.
  const std::size_t from = static_cast<std::size_t>(&e - events.data()) + 1;
  std::string by;
  for (std::size_t i = from; i < events.size() && Time(events[i], "t_us") <= end; ++i) {
    const Json& s = events[i];
    if (IsCall(s) && Str(s, "op") == "SetEvent" && ArgStr(s, "handle") == handle)
      by = (Str(s, "caller").empty() ? std::string("a call") : Str(s, "caller")) + " on " + Str(s, "thread");
  }
  return by;
}

// What a blocking call waited for, in words.
std::string WaitedFor(const Json& e, const std::vector<Json>& events) {
  const std::string op = Str(e, "op");
  const std::string result = Str(e, "result");
  if (op == "WaitForSingleObject") {
    std::string text = ArgStr(e, "object").empty() ? "handle " + ArgStr(e, "handle") : ArgStr(e, "object");
    const std::string timeout = ArgStr(e, "timeout_ms");
    text += timeout == "4294967295" ? ", no time-out" : ", up to " + timeout + " ms";
    if (!result.empty() && result != "null") text += " \u2192 " + result;
    if (result == "WAIT_OBJECT_0") {
      const std::string by = SetterOf(e, events);
      if (!by.empty()) text += ", set by " + by;
    }
    return text;
  }
  if (op == "Sleep") return ArgStr(e, "ms") + " ms to pass";
  if (op == "MessageBoxW") return "an answer to the box '" + ArgStr(e, "caption") + "'";
  if (op == "SendMessageW") return "the box's thread to handle the message";
  if (op == "PostMessageW") return "a busy handset";
  if (op == "SetSystemPowerState") return "the forced suspend to return";
  if (op == "DoShutdownAnimation") return "the animation library to play";
  if (op == "PlaySoundW") return "the sound to play to its end";
  return op;
}

std::size_t Signature(const std::string& text) { return std::hash<std::string>{}(text); }

std::size_t CallSignature(const Json& e) {
  return Signature(Str(e, "op") + '\x1f' + Str(e, "caller") + '\x1f' + (e.contains("args") ? Dump(e["args"]) : "") +
                   '\x1f' + (e.contains("result") ? Dump(e["result"]) : ""));
}

// A stretch of a sequence: one item, or `cycles` repeats of the `period` items at `first`.
struct Piece {
  std::size_t first = 0;
  std::size_t period = 1;
  std::size_t cycles = 1;
};

// How many times the `period` items at `i` repeat in a row (at least 1).
std::size_t CyclesAt(const std::vector<std::size_t>& sig, std::size_t i, std::size_t period) {
  std::size_t j = i + period;
  while (j < sig.size() && sig[j] == sig[j - period]) ++j;
  return (j - i) / period;
}

// Splits a sequence of signatures into single items and runs of a cycle of at most kMaxCycle
// items that repeats at least `min_cycles` times (0: no folding). Shorter cycles win.
std::vector<Piece> FoldRepeats(const std::vector<std::size_t>& sig, std::size_t min_cycles) {
  std::vector<Piece> out;
  for (std::size_t i = 0; i < sig.size();) {
    Piece p{i, 1, 1};
    for (std::size_t period = 1; min_cycles >= 2 && period <= kMaxCycle; ++period) {
      if (i + period * min_cycles > sig.size()) break;
      const std::size_t cycles = CyclesAt(sig, i, period);
      if (cycles >= min_cycles) {
        p = Piece{i, period, cycles};
        break;
      }
    }
    out.push_back(p);
    i += p.period * p.cycles;
  }
  return out;
}

// The span of one call; `next` is when the thread's next call began (kNever: none).
CallSpan SingleSpan(const Json& e, Micros next, Micros run_end, const RunRecord& run,
                    const std::set<std::string>& waits) {
  CallSpan s;
  s.thread = Str(e, "thread");
  s.op = Str(e, "op");
  s.caller = Str(e, "caller");
  s.record = &e;
  s.begin = Time(e, "t_us");
  if (e.contains("t_end_us")) {
    s.end = std::max(s.begin, Time(e, "t_end_us"));
    s.wait = true;
    s.waited_for = WaitedFor(e, run.events);
  } else if (next == kNever && MayBlock(s.op) && waits.count(s.thread)) {
    s.end = std::max(s.begin, run_end);
    s.wait = s.unfinished = true;
    s.waited_for = WaitedFor(e, run.events) + ", still waiting when the run ended";
  } else {
    const Micros limit = next == kNever ? std::max(s.begin, run_end) : std::max(s.begin, next);
    s.end = std::min(s.begin + kShortCallUs, limit);
  }
  return s;
}

// One span for cycles 2.. of a folded run of `period` spans starting at `first`.
CallSpan FoldedSpan(const std::vector<CallSpan>& singles, const Piece& p) {
  const std::size_t from = p.first + p.period;
  const std::size_t to = p.first + p.period * p.cycles;  // one past the last
  CallSpan f;
  f.thread = singles[from].thread;
  f.begin = singles[from].begin;
  f.end = singles[to - 1].end;
  f.caller = singles[from].caller;
  f.calls = to - from;
  f.cycles = p.cycles - 1;
  f.unfinished = singles[to - 1].unfinished;
  for (std::size_t i = from; i < from + p.period; ++i) {
    f.op += (f.op.empty() ? "" : ", ") + singles[i].op;
    if (singles[i].wait && !f.wait) {
      f.wait = true;
      f.waited_for = singles[i].waited_for;
    }
  }
  return f;
}

// The spans of one thread's calls, with long repeated cycles folded.
void AddThreadSpans(const std::vector<const Json*>& calls, const RunRecord& run, Micros run_end,
                    const std::set<std::string>& waits, std::size_t fold_cycles, std::vector<CallSpan>& out) {
  std::vector<CallSpan> singles;
  std::vector<std::size_t> sig;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const Micros next = i + 1 < calls.size() ? Time(*calls[i + 1], "t_us") : kNever;
    singles.push_back(SingleSpan(*calls[i], next, run_end, run, waits));
    sig.push_back(CallSignature(*calls[i]));
  }
  for (const Piece& p : FoldRepeats(sig, fold_cycles)) {
    for (std::size_t i = p.first; i < p.first + p.period; ++i) out.push_back(singles[i]);
    if (p.cycles > 1) out.push_back(FoldedSpan(singles, p));
  }
}

std::vector<CallSpan> CallSpans(const RunRecord& run, const std::vector<std::string>& threads, Micros run_end,
                                std::size_t fold_cycles) {
  std::map<std::string, std::vector<const Json*>> by_thread;
  for (const Json& e : run.events)
    if (IsCall(e)) by_thread[Str(e, "thread")].push_back(&e);
  const auto waits = WaitsAtEnd(run.summary);
  std::vector<CallSpan> out;
  for (const auto& t : threads) AddThreadSpans(by_thread[t], run, run_end, waits, fold_cycles, out);
  return out;
}

// Trace lines by time, each thread's long runs of one repeated cycle of lines folded.
std::vector<LineMark> LineMarks(const std::vector<TraceLine>& lines, std::size_t fold_cycles) {
  std::map<std::string, std::vector<const TraceLine*>> by_thread;
  for (const TraceLine& l : lines) by_thread[l.thread].push_back(&l);
  std::vector<LineMark> out;
  for (const auto& [thread, list] : by_thread) {
    std::vector<std::size_t> sig;
    for (const TraceLine* l : list) sig.push_back(Signature(l->text));
    for (const Piece& p : FoldRepeats(sig, fold_cycles)) {
      for (std::size_t i = p.first; i < p.first + p.period; ++i)
        out.push_back(LineMark{list[i]->at, list[i]->at, thread, list[i]->text, 1});
      if (p.cycles < 2) continue;
      const std::size_t from = p.first + p.period, to = p.first + p.period * p.cycles;
      std::string text = list[from]->text;
      for (std::size_t i = from + 1; i < from + p.period; ++i) text += " / " + list[i]->text;
      out.push_back(LineMark{list[from]->at, list[to - 1]->at, thread, text, p.cycles - 1});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const LineMark& a, const LineMark& b) { return a.at < b.at; });
  return out;
}

void SetState(StateTrack& t, Micros at, int value) {
  if (t.changes.back().second == value) return;
  if (t.changes.back().first == at && t.changes.size() > 1) {
    t.changes.pop_back();
    if (t.changes.back().second == value) return;
  }
  t.changes.push_back({at, value});
}

}  // namespace

std::string StateTrack::Name(int value) const {
  if (value >= 0 && static_cast<std::size_t>(value) < value_names.size()) return value_names[value];
  return std::to_string(value);
}

int RunStory::ThreadIndex(const std::string& thread) const {
  const auto it = std::find(threads.begin(), threads.end(), thread);
  return it == threads.end() ? -1 : static_cast<int>(it - threads.begin());
}

namespace {

// The handset's state over time, from its own events (and the power requests that it granted).
std::vector<StateTrack> StateTracks(const std::vector<Json>& events) {
  const std::vector<std::string> on_off = {"off", "on"};
  std::vector<StateTrack> t = {
      {"LCD", "on", on_off, {{0, 1}}},
      {"backlight", "on", on_off, {{0, 1}}},
      {"radio", "on", on_off, {{0, 1}}},
      {"GPS rail", "on", on_off, {{0, 1}}},
      {"BT rail", "on", on_off, {{0, 1}}},
      {"PMU power-off line", "driven", {"idle", "driven"}, {{0, 0}}},
      {"power state", "level (2 on, 1 suspended, 0 off)", {"off", "suspended", "on"}, {{0, 2}}},
      {"vibrator", "on", on_off, {{0, 0}}},
      {"box", "standing", {"none", "standing"}, {{0, 0}}}};
  enum { kLcd, kBacklight, kRadio, kGps, kBt, kPmu, kPower, kVibrator, kBox };
  std::set<std::string> vibrating, boxes;
  for (const Json& e : events) {
    const std::string op = Str(e, "op");
    const Micros at = Time(e, "t_us");
    if (IsCall(e)) {
      if (op == "SetSystemPowerState" && ArgStr(e, "flags") == "0x10000" && Str(e, "result") == "0")
        SetState(t[kPower], at, 2);
      continue;
    }
    if (op == "lcd.off" || op == "lcd.power") SetState(t[kLcd], at, ArgStr(e, "state") == "4" ? 0 : 1);
    if (op == "backlight.off" || op == "backlight.power")
      SetState(t[kBacklight], at, ArgStr(e, "state") == "4" ? 0 : 1);
    if (op == "radio.off") SetState(t[kRadio], at, 0);
    if (op == "rail.gps_off") SetState(t[kGps], at, 0);
    if (op == "rail.bt_off") SetState(t[kBt], at, 0);
    if (op == "pmu.power_off") {
      SetState(t[kPmu], at, 1);
      SetState(t[kPower], at, 0);
    }
    if (op == "power.suspend") SetState(t[kPower], at, 1);
    if (op == "vibrator.on") vibrating.insert(ArgStr(e, "led"));
    if (op == "vibrator.off") vibrating.erase(ArgStr(e, "led"));
    if (op == "vibrator.on" || op == "vibrator.off") SetState(t[kVibrator], at, static_cast<int>(vibrating.size()));
    if (op == "windows.box_shown") boxes.insert(ArgStr(e, "window"));
    if (op == "windows.closed") boxes.erase(ArgStr(e, "window"));
    if (op == "windows.box_shown" || op == "windows.closed") SetState(t[kBox], at, static_cast<int>(boxes.size()));
  }
  return t;
}

// The step of the shutdown sequence that a call of the sequence's thread belongs to, or "".
// Whatever the sequence calls through other routines before the animation is the ERTC step.
std::string SequenceStep(const CallSpan& s, bool before_animation) {
  static const std::map<std::string, std::string> kByCaller = {
      {"ShutDownAnimation", "animation"},
      {"MusicPlay", "animation"},
      {"LcdPowerOff", "LCD off"},
      {"RilShutDown", "radio down (wait)"},
      {"InstallKeyboardLock", "applications (keyboard locked)"},
      {"ShutDownApps", "applications (keyboard locked)"},
      {"GetTaskListCE", "applications (keyboard locked)"},
      {"ShutDownAppsEnumProc", "applications (keyboard locked)"},
      {"IsKillableTask", "applications (keyboard locked)"},
      {"RemoveKeyboardLock", "applications (keyboard locked)"},
      {"KernShutDown", "kernel shutdown"},
      {"DumpLogFile", "log dump"}};
  if (s.op == "KernelIoControl") {
    const std::string in = ArgStr(*s.record, "in");
    if (in.rfind("0A 00 00 00", 0) == 0) return "ERTC";
    if (in.rfind("01 00 00 00", 0) == 0) return "kernel shutdown";
  }
  if (const auto it = kByCaller.find(s.caller); it != kByCaller.end()) return it->second;
  if (s.caller == "NormalShutdown") {
    if (s.op == "WaitForSingleObject") return "radio down (wait)";
    if (s.op == "SetSystemPowerState" && ArgStr(*s.record, "flags") == "0x200000") return "suspend";
    return "";
  }
  return before_animation && !s.caller.empty() ? "ERTC" : "";
}

// Adds the span of each step named by `step_of` over `spans` (first call to last), in order.
void AddSteps(const std::vector<const CallSpan*>& spans, const std::function<std::string(const CallSpan&)>& step_of,
              std::vector<Step>& out) {
  std::vector<Step> found;
  for (const CallSpan* s : spans) {
    const std::string name = step_of(*s);
    if (name.empty()) continue;
    auto it = std::find_if(found.begin(), found.end(), [&](const Step& x) { return x.name == name; });
    if (it == found.end())
      found.push_back(Step{name, s->thread, s->begin, s->end});
    else
      it->end = std::max(it->end, s->end);
  }
  out.insert(out.end(), found.begin(), found.end());
}

// Index of a single call's event in the log.
std::size_t IndexOf(const CallSpan& s, const std::vector<Json>& events) {
  return static_cast<std::size_t>(s.record - events.data());
}

void SequenceSteps(const RunRecord& run, const std::vector<CallSpan>& calls, std::vector<Step>& out) {
  const std::vector<Event> compact = EventsFromJson(run.events);
  const RunView view{compact, run.summary, EndKind::kNone, {}};
  for (const auto& [first, last] : view.SequenceRuns()) {
    const std::string thread = Str(run.events[first], "thread");
    std::vector<const CallSpan*> spans;
    for (const CallSpan& s : calls)
      if (s.record != nullptr && s.thread == thread && IndexOf(s, run.events) >= first &&
          IndexOf(s, run.events) <= last)
        spans.push_back(&s);
    bool before_animation = true;
    AddSteps(
        spans,
        [&](const CallSpan& s) {
          std::string step = SequenceStep(s, before_animation);
          if (!step.empty() && step != "ERTC") before_animation = false;
          return step;
        },
        out);
  }
}

// The prompt's vibration and boxes, and the watchdog's phases around its wait.
void OtherSteps(const RunStory& story, std::vector<Step>& out) {
  static const std::set<std::string> kVibration = {"VibratePrompt", "FindVibratorLed", "SetLedDevice", "StopLedDevice"};
  for (const auto& thread : story.threads) {
    std::vector<const CallSpan*> spans;
    for (const CallSpan& s : story.calls)
      if (s.thread == thread) spans.push_back(&s);
    bool waited = false;
    AddSteps(
        spans,
        [&](const CallSpan& s) -> std::string {
          if (kVibration.count(s.caller)) return "vibration";
          if (thread != "AnimTimeoutThread") return "";
          if (s.op == "WaitForSingleObject" && s.caller == "AnimTimeoutThread" && !waited) {
            waited = true;
            return "watchdog wait";
          }
          return waited ? "watchdog: power off" : "watchdog: rails off";
        },
        out);
    for (const CallSpan* s : spans)
      if (s->op == "MessageBoxW" && s->record)
        out.push_back(Step{"box '" + ArgStr(*s->record, "caption") + "'", thread, s->begin, s->end});
  }
}

std::string AnswerWord(const std::string& result) {
  if (result == "6") return "Yes";
  if (result == "7") return "No";
  if (result == "2") return "Cancel";
  return result;
}

// Moments from the handset's own events.
void DeviceMoments(const std::vector<Json>& events, std::vector<Moment>& out) {
  Micros radio_off = kNever;
  for (const Json& e : events) {
    if (IsCall(e)) continue;
    const std::string op = Str(e, "op");
    const Micros at = Time(e, "t_us");
    if (op == "windows.box_shown") out.push_back({at, "box '" + ArgStr(e, "title") + "' shown", "box"});
    if (op == "windows.box_answered")
      out.push_back({at, "box answered " + AnswerWord(ArgStr(e, "result")) + " (" + ArgStr(e, "by") + ")", "box"});
    if (op == "radio.off") out.push_back({radio_off = at, "radio off", "radio"});
    if (op == "timeline.event") out.push_back({at, "outside: " + ArgStr(e, "do"), "outside"});
    if (op == "radio.notify" && (radio_off == kNever || at > radio_off + kMicrosPerMs))
      out.push_back({at, "radio notification " + ArgStr(e, "code"), "radio"});
    if (op == "pmu.power_off") out.push_back({at, "power off (PMU line)", "power"});
    if (op == "power.suspend") out.push_back({at, "forced suspend", "power"});
    if (op == "ertc.write") out.push_back({at, "ERTC written (" + ArgStr(e, "date") + ")", "ertc"});
    if (op == "process.exit") out.push_back({at, "process exits (" + ArgStr(e, "code") + ")", "process"});
    if (op == "keyboard.pressed") out.push_back({at, "key " + ArgStr(e, "key"), "key"});
  }
}

// Waits that timed out: the watchdog's, the prompt's, the radio's.
void TimeoutMoments(const std::vector<CallSpan>& calls, std::vector<Moment>& out) {
  for (const CallSpan& s : calls) {
    if (s.record == nullptr || s.op != "WaitForSingleObject" || Str(*s.record, "result") != "WAIT_TIMEOUT") continue;
    const std::string who = s.caller == "AnimTimeoutThread"    ? std::string("watchdog timeout")
                            : s.caller == "AutoShutdownThread" ? std::string("prompt timeout")
                            : s.caller == "NormalShutdown"
                                ? std::string("radio wait timed out")
                                : (s.caller.empty() ? s.thread : s.caller) + " wait timed out";
    out.push_back({s.end, who, "timeout"});
  }
}

}  // namespace

RunStory BuildRunStory(const RunRecord& run, std::size_t fold_cycles) {
  RunStory story;
  const Json& s = run.summary;
  story.command_line = Str(s, "command_line");
  story.outcome = Str(s, "outcome");
  story.reason = Str(s, "reason");
  story.seed = s.contains("seed") && s["seed"].is_number_unsigned() ? s["seed"].get<std::uint64_t>() : 0;
  Micros end = Time(s, "ended_us");
  for (const Json& e : run.events) end = std::max({end, Time(e, "t_us"), Time(e, "t_end_us")});
  for (const TraceLine& l : run.lines) end = std::max(end, l.at);
  story.end = std::max<Micros>(end, 1);
  story.threads = ThreadOrder(run);
  story.calls = CallSpans(run, story.threads, story.end, fold_cycles);
  story.lines = LineMarks(run.lines, fold_cycles);
  story.states = StateTracks(run.events);
  SequenceSteps(run, story.calls, story.steps);
  OtherSteps(story, story.steps);
  std::stable_sort(story.steps.begin(), story.steps.end(),
                   [](const Step& a, const Step& b) { return a.begin < b.begin; });
  DeviceMoments(run.events, story.moments);
  TimeoutMoments(story.calls, story.moments);
  if (story.outcome == "time-limit" || story.outcome == "stuck")
    story.moments.push_back({story.end, "run ends: " + story.outcome, "process"});
  std::stable_sort(story.moments.begin(), story.moments.end(),
                   [](const Moment& a, const Moment& b) { return a.at < b.at; });
  for (const Json& e : run.events)
    if (!IsCall(e)) story.device_events.push_back(&e);
  return story;
}

}  // namespace sim
