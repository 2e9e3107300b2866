#include "sim/kernel/listed_schedule.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace sim {
namespace {

// Index of `id` in the runnable list, or -1.
int IndexOf(const ScheduleDecision& d, ThreadId id) {
  const auto it = std::find(d.runnable.begin(), d.runnable.end(), id);
  return it == d.runnable.end() ? -1 : static_cast<int>(it - d.runnable.begin());
}

// Round robin as the fixed order picks: the first runnable thread after the running one by id.
int RoundRobin(const ScheduleDecision& d) {
  for (std::size_t i = 0; i < d.runnable.size(); ++i)
    if (d.runnable[i] > d.running) return static_cast<int>(i);
  return 0;
}

class ListedPolicy final : public SchedulePolicy {
 public:
  ListedPolicy(std::vector<int> choices, std::shared_ptr<ScheduleRecord> record)
      : choices_(std::move(choices)), record_(std::move(record)) {}
  void Created(ThreadId, std::uint64_t) override {}
  void Stepped(std::uint64_t, ThreadId) override {}

  // The whole choice is made here when the running thread could go on; Pick hands it over.
  bool StaysAtCall(const ScheduleDecision& d) override {
    if (d.runnable.size() < 2) return d.in_slice;
    const ThreadId next = d.runnable[Decide(d, true)];
    if (next == d.running) return true;
    pending_ = next;
    return false;
  }
  ThreadId Pick(const ScheduleDecision& d) override {
    if (pending_ != kNoThread) return std::exchange(pending_, kNoThread);
    if (d.runnable.size() < 2) return d.runnable[RoundRobin(d)];
    return d.runnable[Decide(d, false)];
  }
  // A thread just created starts at once, as in the fixed order: that hand-over is not a choice
  // point, so the points of a run are the same whether or not a list reaches them.
  bool FollowsYield() const override { return true; }
  // Same-instant events are choice points like the threads' (the fixed order: the first one
  // scheduled fires first).
  int PickEvent(int options) override {
    ChoicePoint p;
    p.kind = ChoiceKind::kEvent;
    p.options = options;
    if (record_)
      for (int i = 0; i < options; ++i) p.threads.push_back(-2 - i);
    p.chosen = Listed(p);
    const int chosen = p.chosen;
    if (record_) record_->points.push_back(std::move(p));
    return chosen;
  }

 private:
  // The index chosen at the next choice point, recorded.
  int Decide(const ScheduleDecision& d, bool could_stay) {
    ChoicePoint p;
    p.options = static_cast<int>(d.runnable.size());
    const bool stays = could_stay && d.in_slice;
    p.stay = stays ? IndexOf(d, d.running) : -1;
    p.fixed = stays ? p.stay : RoundRobin(d);
    if (record_) p.threads.assign(d.runnable.begin(), d.runnable.end());
    p.chosen = Listed(p);
    const int chosen = p.chosen;
    if (record_) record_->points.push_back(std::move(p));
    return chosen;
  }

  // The choice at point `p` (its options and the fixed order's choice filled in): the list's
  // while it lasts, then the record's chooser when it has one, else the fixed order's.
  int Listed(const ChoicePoint& p) {
    int listed = kDefaultChoice;
    if (next_ < choices_.size()) {
      listed = choices_[next_];
      if (record_ && listed >= p.options) ++record_->mismatches;
    } else if (record_ && record_->past_list) {
      listed = record_->past_list(p, *record_);
      if (listed < 0) listed = kDefaultChoice;
    }
    ++next_;
    return listed == kDefaultChoice || listed >= p.options ? p.fixed : listed;
  }

  std::vector<int> choices_;
  std::shared_ptr<ScheduleRecord> record_;
  std::size_t next_ = 0;
  ThreadId pending_ = kNoThread;
};

constexpr int kMaxIndex = 1000;
constexpr std::uint64_t kMaxRepeat = 10000000;

// Reads a whole number from `s`; false unless all of it is digits within `max`.
bool Number(std::string_view s, std::uint64_t max, std::uint64_t& v) {
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); })) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && end == s.data() + s.size() && v <= max;
}

}  // namespace

std::optional<std::vector<int>> ParseScheduleText(const std::string& text, std::string* problem) {
  std::vector<int> out;
  auto fail = [&](const std::string& why) -> std::optional<std::vector<int>> {
    if (problem) *problem = why;
    return std::nullopt;
  };
  if (text.empty()) return fail("expected choices such as 'dx12.1.0', not an empty text");
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t dot = std::min(text.find('.', from), text.size());
    const std::string_view item(text.data() + from, dot - from);
    const std::size_t x = item.find('x');
    const std::string_view head = item.substr(0, x);
    std::uint64_t index = 0, repeat = 1;
    const bool head_ok = head == "d" || Number(head, kMaxIndex, index);
    const bool repeat_ok =
        x == std::string_view::npos || (Number(item.substr(x + 1), kMaxRepeat, repeat) && repeat > 0);
    if (!head_ok || !repeat_ok || out.size() + repeat > kMaxRepeat)
      return fail("'" + std::string(item) + "' in schedule '" + text +
                  "' is not a choice; expected an index or d, optionally xCOUNT (as in dx12.1.0)");
    out.insert(out.end(), repeat, head == "d" ? kDefaultChoice : static_cast<int>(index));
    from = dot + 1;
  }
  return out;
}

std::string ScheduleTextProblem(const std::string& text) {
  std::string problem;
  ParseScheduleText(text, &problem);
  return problem;
}

std::string ScheduleText(const std::vector<ChoicePoint>& points, std::size_t count) {
  count = std::min(count, points.size());
  while (count > 0 && points[count - 1].chosen == points[count - 1].fixed) --count;
  std::string out;
  for (std::size_t i = 0; i < count;) {
    const auto word = [&](std::size_t k) {
      return points[k].chosen == points[k].fixed ? std::string("d") : std::to_string(points[k].chosen);
    };
    const std::string w = word(i);
    std::size_t j = i + 1;
    while (j < count && word(j) == w) ++j;
    out += (out.empty() ? "" : ".") + w + (j - i > 1 ? "x" + std::to_string(j - i) : "");
    i = j;
  }
  return out;
}

std::unique_ptr<SchedulePolicy> MakeListedPolicy(std::vector<int> choices, std::shared_ptr<ScheduleRecord> record) {
  return std::make_unique<ListedPolicy>(std::move(choices), std::move(record));
}

}  // namespace sim
