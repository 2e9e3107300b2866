// Where everything of the SVG timeline goes, as data: the time scale, the lanes, the bars of
// steps and calls, every label with its box, and the ticks of the axes. TimelineSvg draws from
// it; tests read it to check that no two labels of a lane overlap and that ticks read apart.
//
// Text is measured, not rendered: a character is taken as 0.6 of the font size wide, on the wide
// side for the sans-serif fonts the picture asks for, so that a label judged to fit does fit.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/views/run_story.h"

namespace sim {

// Page geometry, in pixels.
inline constexpr double kTimelineWidth = 1600;
inline constexpr double kPlotLeft = 196;
inline constexpr double kPlotRight = kTimelineWidth - 28;
inline constexpr double kRowHeight = 14;  // a row of labels
inline constexpr double kStepBarHeight = 15;
inline constexpr double kActivityHeight = 17;
inline constexpr double kStateLaneHeight = 20;
inline constexpr double kLabelSize = 10;  // the font size of labels on the plot

// Estimated width of `text` at font `size`.
double TextWidth(std::string_view text, double size);
// `text` shortened with an ellipsis to fit `width` pixels at `size`.
std::string Fit(const std::string& text, double width, double size);

// The extent of a label on the page.
struct LabelBox {
  double x0, y0, x1, y1;
  bool Overlaps(const LabelBox& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

enum class Anchor { kStart, kMiddle, kEnd };

// A line of text placed on the page: `x` is where its anchor is, `y` its baseline.
struct PlacedText {
  std::string text;
  double x = 0, y = 0;
  Anchor anchor = Anchor::kStart;
  double size = kLabelSize;
  LabelBox Box() const;
};

// Virtual time to x: linear, except that the longest stretches in which nothing happens may be
// drawn as breaks of a fixed width.
class TimeScale {
 public:
  struct Segment {
    Micros t0, t1;
    double x0, x1;
    bool gap;  // a compressed stretch
  };
  // `instants`: the times at which something happens; `end`: the run's end. `linear`: no breaks
  // at all. Quiet stretches inside one of `steps` (begin, end) stay to scale unless very long.
  TimeScale(std::vector<Micros> instants, Micros end, bool linear, const std::vector<std::pair<Micros, Micros>>& steps);
  double X(Micros t) const;
  const std::vector<Segment>& Segments() const { return segments_; }
  double PxPerUs() const { return px_per_us_; }

 private:
  void Build(const std::vector<std::pair<Micros, Micros>>& gaps, Micros end);
  std::vector<Segment> segments_;
  double px_per_us_ = 1;
};

// One stretch of an axis: a linear one with its labelled ticks, or a break with its length.
struct AxisPiece {
  bool gap = false;
  double x0 = 0, x1 = 0;
  Micros t0 = 0, t1 = 0;
  std::vector<PlacedText> ticks;     // linear: a tick mark at each text's x; texts all differ
  std::optional<PlacedText> length;  // break: "≈59.3 s", below the axis only, where there is room
};

struct AxisLayout {
  double y = 0;
  bool labels_above = false;
  std::vector<AxisPiece> pieces;
};

// A moment: its marker across the lanes and its label in the rows above the axis.
struct MomentLayout {
  const Moment* moment;
  double mark_x, mark_y;
  std::optional<PlacedText> label;  // none when every row was taken near it
};

struct StepLayout {
  const Step* step;
  double x0, x1, bar_y;
  bool inside;                      // the label sits inside the bar
  std::optional<PlacedText> label;  // none when no row had room for it
};

// A wait or a folded run of calls as a bar, labelled inside when a label fits.
struct SpanLayout {
  const CallSpan* span;
  double x0, width, y;
  std::optional<PlacedText> label;
};

// Things too close to tell apart, drawn as one mark per pixel column.
template <class T>
struct Column {
  int px;
  std::vector<const T*> items;
};

struct ThreadLane {
  std::string thread, note;
  double top = 0, height = 0;
  bool shade = false;
  int label_rows = 0;
  std::vector<StepLayout> steps;
  double activity_y = 0;
  std::vector<SpanLayout> spans;
  std::vector<Column<CallSpan>> calls;  // calls that did not block
  std::vector<Column<LineMark>> lines;  // trace lines, under the calls
  std::vector<LabelBox> LabelBoxes() const;
};

struct StateStretch {
  Micros from, to;
  bool last;
  int value;
  double x0, width;
  std::optional<PlacedText> label;
};

struct StateLane {
  const StateTrack* track;
  double top = 0, height = 0;
  bool shade = false;
  std::vector<StateStretch> stretches;
  std::vector<LabelBox> LabelBoxes() const;
};

// The whole page. Its parts point into `story`: a layout is moved, never copied.
struct TimelineLayout {
  TimelineLayout(RunStory story, bool linear);
  TimelineLayout(TimelineLayout&&) = default;
  TimelineLayout(const TimelineLayout&) = delete;

  RunStory story;  // what is laid out; points into the run's events
  TimeScale scale;
  bool linear = false;
  int moment_decimals = 3;  // of the seconds that label moments and the run's end
  double moments_top = 0;
  std::vector<MomentLayout> moments;
  AxisLayout top_axis, bottom_axis;
  double lanes_top = 0, threads_bottom = 0, lanes_bottom = 0;
  std::vector<ThreadLane> threads;
  std::vector<StateLane> states;
  double legend_y = 0, height = 0;
};

// Lays out the picture of `run` (which must outlive the layout). Unless `linear`, quiet stretches
// are compressed.
TimelineLayout LayOutTimeline(const RunRecord& run, bool linear);

}  // namespace sim
