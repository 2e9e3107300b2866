#include "sim/views/timeline_layout.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "sim/base/utf8.h"

namespace sim {

namespace {

constexpr double kBreakWidth = 54;  // a compressed stretch of idle time
constexpr Micros kMinBreakUs = 100 * kMicrosPerMs;
constexpr Micros kMaxStepBreakUs = 10 * 1000 * kMicrosPerMs;
constexpr double kMomentsTop = 58;
constexpr int kMomentRows = 7;
constexpr int kStepRows = 6;
// A run of the same cycle of calls is drawn as one bar from this many repeats on.
constexpr std::size_t kFoldCycles = 8;

}  // namespace

double TextWidth(std::string_view text, double size) { return static_cast<double>(Utf8Length(text)) * size * 0.6; }

std::string Fit(const std::string& text, double width, double size) {
  if (TextWidth(text, size) <= width) return text;
  std::string out;
  const double budget = width - size * 0.6;
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8(text, i);
    i += c.length;
    std::string next;
    AppendUtf8(next, c.code_point);
    if (TextWidth(out + next, size) > budget) break;
    out += next;
  }
  return out + "\u2026";
}

// From the baseline: the ascent is taken as the whole font size, the descent as a quarter of it.
LabelBox PlacedText::Box() const {
  const double w = TextWidth(text, size);
  const double x0 = anchor == Anchor::kStart ? x : anchor == Anchor::kMiddle ? x - w / 2 : x - w;
  return {x0, y - size, x0 + w, y + size / 4};
}

// ---------------------------------------------------------------------------------------------
// The time scale
// ---------------------------------------------------------------------------------------------

TimeScale::TimeScale(std::vector<Micros> instants, Micros end, bool linear,
                     const std::vector<std::pair<Micros, Micros>>& steps) {
  instants.push_back(0);
  instants.push_back(end);
  std::sort(instants.begin(), instants.end());
  instants.erase(std::unique(instants.begin(), instants.end()), instants.end());
  std::vector<std::pair<Micros, Micros>> gaps;  // (length, start)
  auto inside_step = [&](Micros t0, Micros t1) {
    return t1 - t0 < kMaxStepBreakUs &&
           std::any_of(steps.begin(), steps.end(), [&](const auto& st) { return st.first <= t0 && t1 <= st.second; });
  };
  for (std::size_t i = 1; i < instants.size() && !linear; ++i)
    if (instants[i] - instants[i - 1] >= kMinBreakUs && !inside_step(instants[i - 1], instants[i]))
      gaps.push_back({instants[i] - instants[i - 1], instants[i - 1]});
  std::sort(gaps.rbegin(), gaps.rend());
  const std::size_t max_breaks = static_cast<std::size_t>((kPlotRight - kPlotLeft) * 0.45 / kBreakWidth);
  if (gaps.size() > max_breaks) gaps.resize(max_breaks);
  Micros idle = 0;
  for (const auto& g : gaps) idle += g.first;
  if (idle >= end) {  // nothing but idle time: draw it as it is
    gaps.clear();
    idle = 0;
  }
  std::sort(gaps.begin(), gaps.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  const double drawn = (kPlotRight - kPlotLeft) - kBreakWidth * static_cast<double>(gaps.size());
  px_per_us_ = drawn / static_cast<double>(end - idle);
  Build(gaps, end);
}

double TimeScale::X(Micros t) const {
  for (const Segment& s : segments_) {
    if (t > s.t1) continue;
    if (s.t1 == s.t0) return s.x0;
    return s.x0 + (s.x1 - s.x0) * static_cast<double>(t - s.t0) / static_cast<double>(s.t1 - s.t0);
  }
  return kPlotRight;
}

void TimeScale::Build(const std::vector<std::pair<Micros, Micros>>& gaps, Micros end) {
  Micros t = 0;
  double x = kPlotLeft;
  for (const auto& [length, start] : gaps) {
    const double w = static_cast<double>(start - t) * px_per_us_;
    segments_.push_back({t, start, x, x + w, false});
    x += w;
    segments_.push_back({start, start + length, x, x + kBreakWidth, true});
    x += kBreakWidth;
    t = start + length;
  }
  segments_.push_back({t, end, x, kPlotRight, false});
}

namespace {

// Puts labels in rows so that none overlaps another: each goes to the first row with room, and
// a label for which no row has room gets none (-1).
class RowPlacer {
 public:
  explicit RowPlacer(int max_rows) : max_rows_(max_rows) {}
  int Place(double x0, double x1) {
    for (std::size_t r = 0; r < ends_.size(); ++r) {
      if (ends_[r] + 6 <= x0) {
        ends_[r] = x1;
        return static_cast<int>(r);
      }
    }
    if (static_cast<int>(ends_.size()) >= max_rows_) return -1;
    ends_.push_back(x1);
    return static_cast<int>(ends_.size()) - 1;
  }
  int Rows() const { return static_cast<int>(ends_.size()); }

 private:
  int max_rows_;
  std::vector<double> ends_;
};

std::vector<Micros> Instants(const RunStory& story) {
  std::vector<Micros> t;
  for (const CallSpan& s : story.calls) t.insert(t.end(), {s.begin, s.end});
  for (const LineMark& l : story.lines) t.insert(t.end(), {l.at, l.last});
  for (const Step& s : story.steps) t.insert(t.end(), {s.begin, s.end});
  for (const Moment& m : story.moments) t.push_back(m.at);
  for (const StateTrack& s : story.states)
    for (const auto& c : s.changes) t.push_back(c.first);
  return t;
}

TimeScale ScaleFor(const RunStory& story, bool linear) {
  std::vector<std::pair<Micros, Micros>> steps;
  for (const Step& st : story.steps) steps.push_back({st.begin, st.end});
  return TimeScale(Instants(story), story.end, linear, steps);
}

// ---------------------------------------------------------------------------------------------
// The axes
// ---------------------------------------------------------------------------------------------

// A tick step of 1, 2 or 5 times a power of ten microseconds, at least `min_px` pixels apart.
Micros TickStep(double px_per_us, double min_px) {
  for (Micros decade = 1; decade <= 10000000000ULL; decade *= 10)
    for (Micros m : {1, 2, 5})
      if (static_cast<double>(decade * m) * px_per_us >= min_px) return decade * m;
  return 10000000000ULL;
}

int TickDecimals(Micros step) {
  int decimals = 6;
  for (Micros p = 1; p < step && decimals > 0 && step % (p * 10) == 0; p *= 10) --decimals;
  return decimals;
}

// Decimals of the seconds that label moments: enough to tell apart what the axis tells apart.
int MomentDecimals(const TimeScale& scale) { return std::clamp(TickDecimals(TickStep(scale.PxPerUs(), 90)), 3, 6); }

// The ticks of one axis, left to right, each apart from the last and each reading differently:
// a tick at the start of a stretch after a break (0.35 s after 0 s) takes the decimals it needs
// to differ from the ticks before it, or is left out.
class TickPlacer {
 public:
  TickPlacer(const TimeScale& scale, double label_y)
      : decimals_(TickDecimals(TickStep(scale.PxPerUs(), 90))), label_y_(label_y) {}
  void Add(std::vector<PlacedText>& out, double x, Micros t) {
    for (int decimals = decimals_; decimals <= std::max(decimals_, 3); ++decimals) {
      const std::string text = SecondsText(t, decimals);
      if (texts_.count(text)) continue;
      const double w = TextWidth(text, kLabelSize);
      if (x - w / 2 < last_end_ + 8 || x + w / 2 > kTimelineWidth - 2) return;
      out.push_back({text, x, label_y_, Anchor::kMiddle, kLabelSize});
      texts_.insert(text);
      last_end_ = x + w / 2;
      return;
    }
  }

 private:
  int decimals_;
  double label_y_;
  double last_end_ = -1e9;
  std::set<std::string> texts_;
};

// The time axis at `y`: ticks in virtual seconds on the linear stretches, a break mark with the
// length of each compressed one (given below the axis only). Labels go above the line or below.
AxisLayout LayOutAxis(const TimeScale& scale, double y, bool labels_above) {
  AxisLayout axis{y, labels_above, {}};
  const Micros step = TickStep(scale.PxPerUs(), 90);
  TickPlacer ticks(scale, labels_above ? y - 6 : y + 15);
  double last_gap_label_end = -1e9;
  for (const auto& s : scale.Segments()) {
    AxisPiece piece{s.gap, s.x0, s.x1, s.t0, s.t1, {}, std::nullopt};
    if (s.gap) {
      const double mid = (s.x0 + s.x1) / 2;
      const std::string length = "\u2248" + DurationText(s.t1 - s.t0, DurationDigits::kThreeSignificant);
      const double w = TextWidth(length, 9);
      if (!labels_above && mid - w / 2 > last_gap_label_end + 4) {
        piece.length = PlacedText{length, mid, y + 28, Anchor::kMiddle, 9};
        last_gap_label_end = mid + w / 2;
      }
    } else {
      ticks.Add(piece.ticks, s.x0, s.t0);
      for (Micros t = (s.t0 / step + 1) * step; t <= s.t1; t += step) ticks.Add(piece.ticks, scale.X(t), t);
    }
    axis.pieces.push_back(std::move(piece));
  }
  return axis;
}

// ---------------------------------------------------------------------------------------------
// Moments, steps, calls
// ---------------------------------------------------------------------------------------------

// The moments' labels in rows above the axis; `rows` is set to the rows used.
std::vector<MomentLayout> LayOutMoments(const RunStory& story, const TimeScale& scale, int decimals, int& rows) {
  RowPlacer placer(kMomentRows);
  std::vector<MomentLayout> out;
  for (const Moment& m : story.moments) {
    const double x = scale.X(m.at);
    const std::string text = m.label + " " + SecondsText(m.at, decimals);
    const double w = TextWidth(text, kLabelSize);
    const bool end = x + 6 + w > kTimelineWidth - 4;
    const double x0 = end ? x - 6 - w : x;
    const int row = placer.Place(x0, x0 + w + 6);
    const double y = kMomentsTop + kRowHeight * (std::max(row, 0) + 1);
    MomentLayout layout{&m, x, y - 4, std::nullopt};
    if (row >= 0)
      layout.label = PlacedText{text, end ? x - 6 : x + 6, y, end ? Anchor::kEnd : Anchor::kStart, kLabelSize};
    out.push_back(std::move(layout));
  }
  rows = placer.Rows();
  return out;
}

// A step's label: its name and how long it took ("animation 2.5 s").
std::string StepLabel(const Step& st) {
  return st.name + " " + DurationText(st.end - st.begin, DurationDigits::kThreeSignificant);
}

// Where each step of `thread` goes: its bar, and its label inside it or in a row above, or none
// when every row above is taken there. `top` is where the rows begin; `rows` is set to the rows
// used, and the bars go under them.
std::vector<StepLayout> LayOutSteps(const RunStory& story, const TimeScale& scale, const std::string& thread,
                                    double top, int& rows) {
  RowPlacer placer(kStepRows);
  std::vector<StepLayout> out;
  std::vector<int> label_rows;
  for (const Step& st : story.steps) {
    if (st.thread != thread) continue;
    const double x0 = scale.X(st.begin);
    const double x1 = std::max(scale.X(st.end), x0 + 3);
    const double w = TextWidth(StepLabel(st), kLabelSize);
    const bool inside = w + 8 <= x1 - x0;
    int row = -1;
    if (!inside) {
      const double lx = std::clamp((x0 + x1) / 2 - w / 2, kPlotLeft, kTimelineWidth - 4 - w);
      row = placer.Place(lx, lx + w);
    }
    out.push_back({&st, x0, x1, 0, inside, std::nullopt});
    label_rows.push_back(row);
  }
  rows = placer.Rows();
  // The bars go under all the rows, so their height is known only now.
  for (std::size_t i = 0; i < out.size(); ++i) {
    StepLayout& p = out[i];
    p.bar_y = top + rows * kRowHeight;
    const std::string label = StepLabel(*p.step);
    if (p.inside) {
      p.label = PlacedText{label, (p.x0 + p.x1) / 2, p.bar_y + kStepBarHeight - 4, Anchor::kMiddle, kLabelSize};
    } else if (label_rows[i] >= 0) {
      const double w = TextWidth(label, kLabelSize);
      const double lx = std::clamp((p.x0 + p.x1) / 2 - w / 2, kPlotLeft, kTimelineWidth - 4 - w);
      p.label = PlacedText{label, lx, top + kRowHeight * (label_rows[i] + 1) - 3, Anchor::kStart, kLabelSize};
    }
  }
  return out;
}

// The first of `texts` that fits `width` at `size`, or "".
std::string FirstThatFits(const std::vector<std::string>& texts, double width, double size) {
  for (const auto& t : texts)
    if (TextWidth(t, size) + 6 <= width) return t;
  return {};
}

// A wait as a bar labelled with what it waited for and how long, a folded run of calls as one
// labelled with how often the cycle repeated: the longest label that fits.
SpanLayout LayOutSpan(const TimeScale& scale, const CallSpan& s, double y) {
  const double x0 = scale.X(s.begin);
  const double w = std::max(scale.X(s.end) - x0, 2.0);
  const std::string dur = DurationText(s.end - s.begin);
  std::vector<std::string> labels;
  if (s.cycles) {
    const std::string head = "\u00d7" + std::to_string(s.cycles) + " " + s.op;
    labels = {head + " (" + dur + ")", head, "\u00d7" + std::to_string(s.cycles)};
  } else {
    const std::string still = s.unfinished ? " \u2026 still waiting" : "";
    labels = {s.op + ": " + s.waited_for + " \u00b7 " + dur, s.op + " " + dur + still, dur + still, dur};
  }
  SpanLayout out{&s, x0, w, y, std::nullopt};
  const std::string label = FirstThatFits(labels, w, kLabelSize);
  if (!label.empty()) out.label = PlacedText{label, x0 + 4, y + kActivityHeight - 5, Anchor::kStart, kLabelSize};
  return out;
}

template <class T, class At>
std::vector<Column<T>> Columns(const std::vector<const T*>& items, const TimeScale& scale, At at) {
  std::map<int, std::vector<const T*>> columns;
  for (const T* item : items) columns[static_cast<int>(std::floor(scale.X(at(*item))))].push_back(item);
  std::vector<Column<T>> out;
  for (auto& [px, list] : columns) out.push_back({px, std::move(list)});
  return out;
}

// One thread's lane from `top`: its steps, its waits and calls, its trace lines.
ThreadLane LayOutThreadLane(const RunStory& story, const TimeScale& scale, const std::string& thread, double top,
                            bool shade) {
  ThreadLane lane;
  lane.thread = thread;
  lane.top = top;
  lane.shade = shade;
  lane.steps = LayOutSteps(story, scale, thread, top + 4, lane.label_rows);
  const double steps_height = lane.steps.empty() ? 0 : lane.label_rows * kRowHeight + kStepBarHeight + 3;
  lane.height = 6 + steps_height + kActivityHeight + 12;
  lane.activity_y = top + 6 + steps_height;
  std::size_t calls = 0, lines = 0;
  std::vector<const CallSpan*> ticks;
  std::vector<const LineMark*> marks;
  for (const CallSpan& s : story.calls) {
    if (s.thread != thread) continue;
    calls += s.calls;
    if (s.wait || s.cycles)
      lane.spans.push_back(LayOutSpan(scale, s, lane.activity_y));
    else
      ticks.push_back(&s);
  }
  for (const LineMark& l : story.lines) {
    if (l.thread != thread) continue;
    lines += l.repeats;
    marks.push_back(&l);
  }
  lane.note = std::to_string(calls) + " calls, " + std::to_string(lines) + " trace lines";
  lane.calls = Columns(ticks, scale, [](const CallSpan& s) { return s.begin; });
  lane.lines = Columns(marks, scale, [](const LineMark& l) { return l.at; });
  return lane;
}

// One part of the handset from `top`: its state as coloured stretches, named where there is room.
StateLane LayOutStateLane(const TimeScale& scale, const StateTrack& t, Micros end, double top, bool shade) {
  StateLane lane{&t, top, kStateLaneHeight + 6, shade, {}};
  for (std::size_t i = 0; i < t.changes.size(); ++i) {
    const auto [from, value] = t.changes[i];
    const bool last = i + 1 == t.changes.size();
    const Micros to = last ? end : t.changes[i + 1].first;
    const double x0 = scale.X(from);
    StateStretch s{from, to, last, value, x0, std::max(scale.X(to) - x0, 1.0), std::nullopt};
    const std::string name = t.Name(value);
    if (TextWidth(name, kLabelSize) + 8 <= s.width)
      s.label = PlacedText{name, x0 + 4, top + 3 + kStateLaneHeight - 6, Anchor::kStart, kLabelSize};
    lane.stretches.push_back(std::move(s));
  }
  return lane;
}

}  // namespace

std::vector<LabelBox> ThreadLane::LabelBoxes() const {
  std::vector<LabelBox> boxes;
  for (const StepLayout& st : steps)
    if (st.label) boxes.push_back(st.label->Box());
  for (const SpanLayout& s : spans)
    if (s.label) boxes.push_back(s.label->Box());
  return boxes;
}

std::vector<LabelBox> StateLane::LabelBoxes() const {
  std::vector<LabelBox> boxes;
  for (const StateStretch& s : stretches)
    if (s.label) boxes.push_back(s.label->Box());
  return boxes;
}

TimelineLayout::TimelineLayout(RunStory s, bool linear_scale)
    : story(std::move(s)), scale(ScaleFor(story, linear_scale)), linear(linear_scale) {}

TimelineLayout LayOutTimeline(const RunRecord& run, bool linear) {
  TimelineLayout page(BuildRunStory(run, kFoldCycles), linear);
  const RunStory& story = page.story;
  page.moment_decimals = MomentDecimals(page.scale);
  int moment_rows = 0;
  page.moments_top = kMomentsTop;
  page.moments = LayOutMoments(story, page.scale, page.moment_decimals, moment_rows);
  const double axis_y = kMomentsTop + kRowHeight * moment_rows + 30;
  page.top_axis = LayOutAxis(page.scale, axis_y, true);
  double y = axis_y + 8;
  page.lanes_top = y;
  bool shade = false;
  for (const auto& thread : story.threads) {
    page.threads.push_back(LayOutThreadLane(story, page.scale, thread, y, shade = !shade));
    y += page.threads.back().height;
  }
  page.threads_bottom = y;
  for (const StateTrack& t : story.states) {
    page.states.push_back(LayOutStateLane(page.scale, t, story.end, y, shade = !shade));
    y += page.states.back().height;
  }
  page.lanes_bottom = y;
  page.bottom_axis = LayOutAxis(page.scale, y + 6, false);
  page.legend_y = y + 46;
  page.height = page.legend_y + 24 + 10;
  return page;
}

}  // namespace sim
