#include "sim/checks/invariants.h"

namespace sim {

const RunView::Index& RunView::Indexed() const {
  if (index_) return *index_;
  index_ = std::make_shared<Index>();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    if (e.kind == "call") index_->calls[e.op].push_back(i);
    else if (e.kind == "device") index_->devices[e.op].push_back(i);
  }
  return *index_;
}

const std::vector<std::size_t>& RunView::Calls(std::string_view op) const {
  static const std::vector<std::size_t> kNone;
  const auto& calls = Indexed().calls;
  const auto it = calls.find(op);
  return it == calls.end() ? kNone : it->second;
}

const std::vector<std::size_t>& RunView::Device(std::string_view op) const {
  static const std::vector<std::size_t> kNone;
  const auto& devices = Indexed().devices;
  const auto it = devices.find(op);
  return it == devices.end() ? kNone : it->second;
}

std::string RunView::Arg(std::size_t i, std::string_view name) const { return events[i].ArgShown(name); }

std::string RunView::Result(std::size_t i) const {
  const Value* v = events[i].Get("result");
  return v ? v->Shown() : std::string();
}

const std::vector<std::pair<std::size_t, std::size_t>>& RunView::SequenceRuns() const {
  const Index& index = Indexed();
  if (index.sequence_runs) return *index.sequence_runs;
  // A run starts when "NormalShutdown" is created new, and ends when that handle is closed.
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i : Calls("CreateMutexW")) {
    if (Arg(i, "name") != "NormalShutdown" || Result(i).empty() || Result(i) == "null" ||
        events[i].Contains("already_existed"))
      continue;
    const std::string handle = Result(i);
    std::size_t end = events.size();
    for (std::size_t j : Calls("CloseHandle")) {
      if (j > i && Arg(j, "handle") == handle) {
        end = j;
        break;
      }
    }
    runs.push_back({i, end});
  }
  index_->sequence_runs = std::move(runs);
  return *index_->sequence_runs;
}

std::vector<Violation> CheckInvariants(const RunView& run) {
  static const Checker kCheckers[] = {CheckRunEnds,          CheckSingleSequence,
                                      CheckNoKeepsHandsetOn, CheckProcessOutlivesSequence,
                                      CheckErtcOncePerSequence, CheckKeyboardLock,
                                      CheckHandlesClosed,    CheckPlatformUse,
                                      CheckSequenceOrder,    CheckYesSwitchesOff,
                                      CheckWatchdogTimes,    CheckModeGuards,
                                      CheckRadioWait};
  std::vector<Violation> out;
  for (Checker c : kCheckers) c(run, out);
  return out;
}

const std::vector<std::string>& InvariantNames() {
  static const std::vector<std::string> kNames = {
      "run-ends", "single-sequence", "no-keeps-on", "process-outlives-sequence",
      "ertc-once", "keyboard-lock", "handles-closed", "platform-use",
      "sequence-order", "yes-switches-off", "watchdog-times", "mode-guards", "radio-wait"};
  return kNames;
}

}  // namespace sim
