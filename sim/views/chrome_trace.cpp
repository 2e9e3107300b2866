#include "sim/views/chrome_trace.h"

#include <algorithm>
#include <fstream>

#include "sim/devices/instances.h"

namespace sim {

namespace {

constexpr int kProgramPid = 1;
constexpr int kHandsetPid = 2;
constexpr int kHandsetEventsTid = 1;
// A run of the same cycle of calls is folded into one slice from this many repeats on, so that a
// power-off loop that spins for the rest of the run stays a trace that a viewer can open.
constexpr std::size_t kFoldCycles = 64;
// Instants are named after their trace line, cut to this many bytes (the args keep it whole).
constexpr std::size_t kMaxNameBytes = 120;

// The track of a thread's process: the first instance of the program on the program's track,
// instance N >= 2 (its threads named "N:main"...) on a track of its own after the handset's.
int ProcessTrack(std::string_view thread) {
  const ProgramInstances::NamedInstance named = ProgramInstances::InstanceOfThread(thread);
  return named.prefix == 0 ? kProgramPid : kHandsetPid + named.process - 1;
}

// `text` cut to at most `max` bytes without splitting a UTF-8 sequence.
std::string Cut(const std::string& text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n) + "\u2026";
}

Json Metadata(const char* name, int pid, int tid, Json args) {
  Json e = {{"name", name}, {"ph", "M"}, {"ts", 0}, {"pid", pid}};
  if (tid > 0) e["tid"] = tid;
  e["args"] = std::move(args);
  return e;
}

Json Complete(const std::string& name, const char* cat, Micros begin, Micros end, int pid, int tid, Json args) {
  return {{"name", name},       {"cat", cat}, {"ph", "X"},  {"ts", begin},
          {"dur", end - begin}, {"pid", pid}, {"tid", tid}, {"args", std::move(args)}};
}

Json Instant(const std::string& name, const char* cat, Micros at, int pid, int tid, const char* scope, Json args) {
  Json e = {{"name", name}, {"cat", cat}, {"ph", "i"}, {"s", scope}, {"ts", at}, {"pid", pid}};
  if (tid > 0) e["tid"] = tid;
  e["args"] = std::move(args);
  return e;
}

void AddMetadata(const RunStory& story, Json& out) {
  out.push_back(Metadata("process_name", kProgramPid, 0, {{"name", "program"}}));
  out.push_back(Metadata("process_sort_index", kProgramPid, 0, {{"sort_index", 1}}));
  out.push_back(Metadata("process_name", kHandsetPid, 0, {{"name", "handset"}}));
  out.push_back(Metadata("process_sort_index", kHandsetPid, 0, {{"sort_index", 2}}));
  int last_track = kHandsetPid;
  for (const std::string& thread : story.threads) {
    const int track = ProcessTrack(thread);
    if (track <= last_track) continue;
    for (int t = last_track + 1; t <= track; ++t) {
      const int instance = t - kHandsetPid + 1;
      out.push_back(Metadata("process_name", t, 0, {{"name", "program, instance " + std::to_string(instance)}}));
      out.push_back(Metadata("process_sort_index", t, 0, {{"sort_index", t + 1}}));
    }
    last_track = track;
  }
  for (std::size_t i = 0; i < story.threads.size(); ++i) {
    const int tid = static_cast<int>(i) + 1;
    const int track = ProcessTrack(story.threads[i]);
    out.push_back(Metadata("thread_name", track, tid, {{"name", story.threads[i]}}));
    out.push_back(Metadata("thread_sort_index", track, tid, {{"sort_index", tid}}));
  }
  out.push_back(Metadata("thread_name", kHandsetPid, kHandsetEventsTid, {{"name", "handset events"}}));
}

// The call's record without what the slice itself shows (time, thread, operation).
Json CallArgs(const CallSpan& s) {
  Json args = Json::object();
  if (s.record != nullptr) {
    for (auto it = s.record->begin(); it != s.record->end(); ++it)
      if (it.key() != "t_us" && it.key() != "t_end_us" && it.key() != "kind" && it.key() != "thread" &&
          it.key() != "op")
        args[it.key()] = it.value();
  } else {
    args["caller"] = s.caller;
    args["cycle"] = s.op;
    args["cycles"] = s.cycles;
    args["calls"] = s.calls;
  }
  if (s.wait) args["waited_for"] = s.waited_for;
  if (s.unfinished) args["unfinished"] = true;
  return args;
}

void AddCalls(const RunStory& story, Json& out) {
  for (const CallSpan& s : story.calls) {
    const int tid = story.ThreadIndex(s.thread) + 1;
    const char* cat = s.record == nullptr ? "folded" : s.wait ? "wait" : "call";
    const std::string name = s.record == nullptr ? "\u00d7" + std::to_string(s.cycles) + " " + s.op : s.op;
    out.push_back(Complete(name, cat, s.begin, s.end, ProcessTrack(s.thread), tid, CallArgs(s)));
  }
  for (const Step& st : story.steps) {
    out.push_back(Complete(st.name, "step", st.begin, st.end, ProcessTrack(st.thread), story.ThreadIndex(st.thread) + 1,
                           {{"step", st.name}, {"duration", DurationText(st.end - st.begin)}}));
  }
}

void AddInstants(const RunStory& story, Json& out) {
  for (const LineMark& l : story.lines) {
    Json args = {{"text", l.text}};
    if (l.repeats > 1) args.update({{"repeats", l.repeats}, {"last_us", l.last}});
    out.push_back(Instant(Cut(l.text, kMaxNameBytes), "trace", l.at, ProcessTrack(l.thread),
                          story.ThreadIndex(l.thread) + 1, "t", std::move(args)));
  }
  for (const Json* e : story.device_events) {
    out.push_back(Instant(e->value("op", std::string()), "handset", e->value("t_us", Micros{0}), kHandsetPid,
                          kHandsetEventsTid, "t", e->contains("args") ? (*e)["args"] : Json::object()));
  }
  for (const Moment& m : story.moments)
    out.push_back(Instant(m.label, "moment", m.at, kHandsetPid, 0, "g", {{"kind", m.kind}}));
}

void AddCounters(const RunStory& story, Json& out) {
  for (const StateTrack& t : story.states) {
    auto counter = [&](Micros at, int value) {
      out.push_back({{"name", t.name},
                     {"cat", "state"},
                     {"ph", "C"},
                     {"ts", at},
                     {"pid", kHandsetPid},
                     {"args", {{t.series, value}}}});
    };
    for (const auto& [at, value] : t.changes) counter(at, value);
    counter(std::max(story.end, t.changes.back().first), t.changes.back().second);
  }
}

}  // namespace

Json ChromeTrace(const RunRecord& run) {
  const RunStory story = BuildRunStory(run, kFoldCycles);
  Json meta = Json::array();
  AddMetadata(story, meta);
  Json timed = Json::array();
  AddCalls(story, timed);
  AddInstants(story, timed);
  AddCounters(story, timed);
  std::stable_sort(timed.begin(), timed.end(),
                   [](const Json& a, const Json& b) { return a["ts"].get<Micros>() < b["ts"].get<Micros>(); });
  for (auto& e : timed) meta.push_back(std::move(e));
  Json trace;
  trace["traceEvents"] = std::move(meta);
  trace["displayTimeUnit"] = "ms";
  trace["otherData"] = {{"command_line", story.command_line},
                        {"outcome", story.outcome},
                        {"reason", story.reason},
                        {"seed", story.seed},
                        {"ended_us", story.end},
                        {"time", "virtual microseconds"}};
  return trace;
}

bool WriteChromeTrace(const RunRecord& run, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  if (!out) return false;
  out << ChromeTrace(run).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace sim
