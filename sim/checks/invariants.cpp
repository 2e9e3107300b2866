#include "sim/checks/invariants.h"

#include <algorithm>

namespace sim {

const RunView::Index& RunView::Indexed() const {
  if (index_) return *index_;
  index_ = std::make_shared<Index>();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    if (e.kind == "call")
      index_->calls[e.op].push_back(i);
    else if (e.kind == "device")
      index_->devices[e.op].push_back(i);
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

namespace {

// The table, filled by the entries before main runs and kept in checking order.
std::vector<Invariant>& Table() {
  static std::vector<Invariant> table;
  return table;
}

}  // namespace

InvariantEntry::InvariantEntry(Invariant invariant) {
  std::vector<Invariant>& table = Table();
  const auto later =
      std::find_if(table.begin(), table.end(), [&](const Invariant& i) { return i.order > invariant.order; });
  table.insert(later, std::move(invariant));
}

const std::vector<Invariant>& Invariants() { return Table(); }

std::vector<Violation> CheckInvariants(const RunView& run, bool log_alone) {
  std::vector<Violation> out;
  for (const Invariant& i : Invariants())
    if (i.log_alone || !log_alone) i.check(run, out);
  return out;
}

}  // namespace sim
