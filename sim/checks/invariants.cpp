#include "sim/checks/invariants.h"

namespace sim {

std::vector<std::size_t> RunView::Calls(const std::string& op) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < events.size(); ++i)
    if (events[i].value("kind", "") == "call" && events[i].value("op", "") == op) out.push_back(i);
  return out;
}

std::vector<std::size_t> RunView::Device(const std::string& op) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < events.size(); ++i)
    if (events[i].value("kind", "") == "device" && events[i].value("op", "") == op) out.push_back(i);
  return out;
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

std::vector<std::pair<std::size_t, std::size_t>> RunView::SequenceRuns() const {
  // A run starts when "NormalShutdown" is created new, and ends when that handle is closed.
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i : Calls("CreateMutexW")) {
    if (Arg(i, "name") != "NormalShutdown" || Result(i).empty() || Result(i) == "null" ||
        events[i].contains("already_existed"))
      continue;
    const std::string handle = Result(i);
    std::size_t end = events.size();
    for (std::size_t j = i + 1; j < events.size(); ++j) {
      if (events[j].value("op", "") == "CloseHandle" && Arg(j, "handle") == handle) {
        end = j;
        break;
      }
    }
    runs.push_back({i, end});
  }
  return runs;
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
