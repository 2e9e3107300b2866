#include "sim/checks/checked_run.h"

#include <algorithm>

#include "sim/checks/expectations.h"

namespace sim {

namespace {

void AddOnce(std::vector<std::string>& names, const std::string& name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

// The judged members of `summary`, and nothing else: copied, or moved out when `take` (and put
// back by PutBack, so that the summary keeps its members in their order).
Json Judged(const Json& summary, Json* take = nullptr) {
  Json picked = ObjectWithRoom(JudgedMembers().size());
  for (const std::string& name : JudgedMembers()) {
    if (take != nullptr) {
      if (const auto it = take->find(name); it != take->end()) Append(picked, name, std::move(*it));
    } else if (const auto it = summary.find(name); it != summary.end()) {
      Append(picked, name, *it);
    }
  }
  return picked;
}

void PutBack(Json& picked, Json& summary) {
  for (auto& [name, value] : picked.items()) *summary.find(name) = std::move(value);
}

int Status(const RunView& run, const std::vector<Violation>& violations, const std::vector<std::string>& unmet) {
  if (!unmet.empty()) return 5;
  int status = 0;
  for (const Violation& v : violations) {
    const auto& table = Invariants();
    const auto it = std::find_if(table.begin(), table.end(), [&](const Invariant& i) { return i.name == v.invariant; });
    if (it == table.end() || it->status == nullptr) return 5;
    if (status == 0) status = it->status(run);
  }
  return status;
}

// What a verdict must hold: the judged members and `also`. A batch asks the same for each of its
// many runs, so the last answer is kept.
const std::vector<std::string>& VerdictMembers(const std::vector<std::string>& also) {
  static thread_local std::vector<std::string> asked, names;
  if (names.empty() || asked != also) {
    asked = also;
    names = JudgedMembers();
    for (const std::string& name : also) AddOnce(names, name);
  }
  return names;
}

}  // namespace

const std::vector<std::string>& JudgedMembers() {
  static const std::vector<std::string> members = [] {
    std::vector<std::string> names;
    for (const Invariant& i : Invariants())
      for (const std::string& name : i.reads) AddOnce(names, name);
    for (const std::string& name : ExpectationMembers()) AddOnce(names, name);
    return names;
  }();
  return members;
}

namespace {

// Judges on the judged members `judged`.
Judgement JudgeOn(const std::vector<Event>& events, const Json& judged, EndKind end, bool log_alone) {
  std::vector<std::string> expected;
  if (const auto it = judged.find("expected_outcomes"); it != judged.end())
    expected = it->get<std::vector<std::string>>();
  const RunView view{events, judged, end, std::move(expected)};
  Judgement j;
  j.violations = CheckInvariants(view, log_alone);
  j.unmet = UnmetExpectations(judged);
  j.status = Status(view, j.violations, j.unmet);
  return j;
}

}  // namespace

Judgement Judge(const std::vector<Event>& events, const Json& summary, EndKind end, bool log_alone) {
  return JudgeOn(events, Judged(summary), end, log_alone);
}

Judgement JudgeRun(const Handset& handset, Json& summary) {
  // The summary is ours: its judged members are lent to the judge rather than copied.
  Json judged = Judged(summary, &summary);
  Judgement j = JudgeOn(handset.events.Events(), judged, handset.EndedAs(), false);
  PutBack(judged, summary);
  Json violations = Json::array();
  for (const Violation& v : j.violations) violations.push_back({{"invariant", v.invariant}, {"detail", v.detail}});
  summary["violations"] = std::move(violations);
  return j;
}

Json CheckedSummary(const Handset& handset, SummaryScope scope, const std::vector<std::string>& also) {
  Json s = scope == SummaryScope::kWhole ? handset.Summary() : handset.Verdict(VerdictMembers(also));
  JudgeRun(handset, s);
  return s;
}

CheckedRun RunChecked(Handset& handset, SummaryScope scope, const std::vector<std::string>& also) {
  CheckedRun run{handset.Run(), {}, {}};
  run.summary = scope == SummaryScope::kWhole ? handset.Summary() : handset.Verdict(VerdictMembers(also));
  Judgement j = JudgeRun(handset, run.summary);
  run.outcome.exit_status = j.status;
  run.unmet = std::move(j.unmet);
  return run;
}

}  // namespace sim
