#include "sim/checks/invariants.h"

namespace sim {

const RunView::Index& RunView::Indexed() const {
  if (index_) return *index_;
  index_ = std::make_shared<Index>();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const auto kind = events[i].find("kind");
    const auto op = events[i].find("op");
    if (kind == events[i].end() || op == events[i].end() || !kind->is_string() || !op->is_string()) continue;
    const std::string& k = kind->get_ref<const std::string&>();
    const std::string& name = op->get_ref<const std::string&>();
    if (k == "call") index_->calls[name].push_back(i);
    else if (k == "device") index_->devices[name].push_back(i);
  }
  return *index_;
}

const std::vector<std::size_t>& RunView::Calls(const std::string& op) const {
  static const std::vector<std::size_t> kNone;
  const auto& calls = Indexed().calls;
  const auto it = calls.find(op);
  return it == calls.end() ? kNone : it->second;
}

const std::vector<std::size_t>& RunView::Device(const std::string& op) const {
  static const std::vector<std::size_t> kNone;
  const auto& devices = Indexed().devices;
  const auto it = devices.find(op);
  return it == devices.end() ? kNone : it->second;
}

std::string RunView::Arg(std::size_t i, const char* name) const {
  // Device records carry no "args": reading a missing key of a const object is undefined.
  const auto args = events[i].find("args");
  if (args == events[i].end() || !args->is_object() || !args->contains(name)) return {};
  const Json& v = (*args)[name];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

std::string RunView::Result(std::size_t i) const {
  if (!events[i].contains("result")) return {};
  const Json& v = events[i]["result"];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

const std::vector<std::pair<std::size_t, std::size_t>>& RunView::SequenceRuns() const {
  const Index& index = Indexed();
  if (index.sequence_runs) return *index.sequence_runs;
  // A run starts when "NormalShutdown" is created new, and ends when that handle is closed.
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i : Calls("CreateMutexW")) {
    if (Arg(i, "name") != "NormalShutdown" || Result(i).empty() || Result(i) == "null" ||
        events[i].contains("already_existed"))
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
