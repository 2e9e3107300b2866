// A start of the program that finds another instance running does exactly what its guard says,
// and nothing more: the shell starts the program again while it runs (the power key during a
// prompt, a second automatic trigger), and only one of them may ask or switch off.
//   - "LpShutDown" taken: the instance ends silently, without switching off.
//   - "UIShutDown" taken: it looks for the standing "Warning" box and, when it finds one, brings
//     it to the front (its handle with the lowest bit set); it shows no box of its own.
//   - "UIAutoShutDown" taken: likewise, and it vibrates while the other box stands.
//   - "NormalShutdown" taken: the caller returns at once; no step of the sequence runs.
#include <string>

#include "sim/checks/invariants.h"

namespace sim {

namespace {

constexpr unsigned kAlreadyExists = 183;

// The name was there before: the program saw the already-exists error (a platform that forgets
// to report it is a fault of its own, which the program cannot see).
bool Refused(const RunView& run, std::size_t i) {
  const Value* error = run.events[i].Get("last_error");
  return run.events[i].Contains("already_existed") && error != nullptr && error->Number() == kAlreadyExists;
}

// Later calls of the same thread, in order.
std::vector<std::size_t> LaterOnThread(const RunView& run, std::size_t i) {
  std::vector<std::size_t> out;
  for (std::size_t j = i + 1; j < run.events.size(); ++j)
    if (run.events[j].IsCall() && run.events[j].thread == run.events[i].thread) out.push_back(j);
  return out;
}

// The caption of a box that another instance of the program shows when the refused start of
// record `i` looks for it (its search, record `search`; the refusal when it made none), or ""
// when none stands then.
std::string OtherInstancesBox(const RunView& run, std::size_t i, std::size_t search) {
  const Event& at = run.events[search];
  for (std::size_t b : run.Calls("MessageBoxW")) {
    const Event& box = run.events[b];
    if (b > search || InstanceOf(box.thread) == InstanceOf(run.events[i].thread)) continue;
    if (!box.Contains("result") || box.TimeOf("t_end_us") > at.t_us) return run.Arg(b, "caption");
  }
  return "";
}

// Whether a fault kept the refused start from looking for the box: its caption not loaded, or
// the search itself failed.
bool SearchFailed(const RunView& run, const std::vector<std::size_t>& later, std::size_t i) {
  for (std::size_t j = 0; j < i; ++j) {
    const Event& e = run.events[j];
    if (e.op == "LoadStringW" && e.thread == run.events[i].thread && e.Flag("injected_fault")) return true;
  }
  for (std::size_t j : later)
    if (run.events[j].op == "FindWindowW" && run.events[j].Flag("injected_fault")) return true;
  return false;
}

// The window found and brought forward after a refused question; an error when the other
// instance's box stood and was left behind, or when the instance showed a box of its own.
std::string CheckBroughtForward(const RunView& run, std::size_t i, const std::vector<std::size_t>& later,
                                bool vibrate) {
  // The handset went down before the refused start made another call: nothing to judge.
  if (later.empty()) return "";
  std::string found;
  std::size_t search = i;
  bool forward = false, vibrated = false;
  for (std::size_t j : later) {
    const std::string_view op = run.events[j].op;
    if (op == "MessageBoxW") return "it showed a box of its own";
    if (op == "CreateMutexW" && run.Arg(j, "name") == "NormalShutdown") return "it went on to switch off";
    if (op == "FindWindowW" && search == i) {
      found = run.Result(j);
      search = j;
    }
    if (op == "SetForegroundWindow") forward = true;
    if (op == "NLedSetDevice" && forward) vibrated = true;
  }
  if (found.empty() || found == "null") {
    const std::string standing = OtherInstancesBox(run, i, search);
    if (standing.empty() || SearchFailed(run, later, i)) return "";
    return "the box '" + standing + "' of another instance stood and it did not bring it to the front";
  }
  if (!forward) return "it found the standing box and did not bring it to the front";
  if (vibrate && !vibrated) return "it brought the other box forward without vibrating";
  return "";
}

void CheckOneRefusal(const RunView& run, std::size_t i, std::vector<Violation>& out) {
  const std::string name = run.Arg(i, "name");
  const std::vector<std::size_t> later = LaterOnThread(run, i);
  std::string wrong;
  if (name == "LpShutDown") {
    // The process ends: what its start-up frees after the main routine is not the guard's.
    const std::string handle = run.Result(i);
    for (std::size_t j : later) {
      const std::string_view caller = run.events[j].caller;
      if (caller != "LpShutDown" && caller != "NormalShutdown") continue;
      if (run.events[j].op == "CloseHandle" && run.Arg(j, "handle") == handle) continue;
      wrong = "it went on with " + std::string(run.events[j].op) + " in " + std::string(caller);
      break;
    }
  } else if (name == "UIShutDown") {
    wrong = CheckBroughtForward(run, i, later, false);
  } else if (name == "UIAutoShutDown") {
    wrong = CheckBroughtForward(run, i, later, true);
  } else if (name == "NormalShutdown") {
    // Closing the handle that the refused create gave back is all it may still do.
    const std::string handle = run.Result(i);
    for (std::size_t j : later) {
      if (run.events[j].caller != "NormalShutdown") break;
      if (run.events[j].op == "CloseHandle" && run.Arg(j, "handle") == handle) continue;
      wrong = "the sequence went on past its guard with " + std::string(run.events[j].op);
      break;
    }
  }
  if (!wrong.empty())
    out.push_back({"refused-instance", "'" + name + "' was held by another run on " +
                                           std::string(run.events[i].thread) + ", yet " + wrong});
}

}  // namespace

void CheckRefusedInstance(const RunView& run, std::vector<Violation>& out) {
  for (std::size_t i : run.Calls("CreateMutexW"))
    if (Refused(run, i)) CheckOneRefusal(run, i, out);
}

const InvariantEntry kRefusedInstance{{"refused-instance", 125, CheckRefusedInstance, true, {}}};

}  // namespace sim
