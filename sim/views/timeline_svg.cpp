#include "sim/views/timeline_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace sim {

namespace {

// Page geometry, in pixels.
constexpr double kWidth = 1600;
constexpr double kPlotLeft = 196;
constexpr double kPlotRight = kWidth - 28;
constexpr double kBreakWidth = 54;      // a compressed stretch of idle time
constexpr Micros kMinBreakUs = 100 * kMicrosPerMs;
constexpr Micros kMaxStepBreakUs = 10 * 1000 * kMicrosPerMs;
constexpr double kRowHeight = 14;       // a row of labels
constexpr double kStepBarHeight = 15;
constexpr double kActivityHeight = 17;
constexpr double kStateLaneHeight = 20;
constexpr double kFontSize = 11;
// A run of the same cycle of calls is drawn as one bar from this many repeats on.
constexpr std::size_t kFoldCycles = 8;
constexpr const char* kFont = "DejaVu Sans, Liberation Sans, Arial, Helvetica, sans-serif";

// Decodes one UTF-8 character at `i`; returns its code point (0xFFFD when invalid) and moves `i`.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  const int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? b : b & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += len;
  static constexpr char32_t kMinOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinOfLength[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t CodePoints(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size();) {
    NextCodePoint(s, i);
    ++n;
  }
  return n;
}

// Width of `text` in the sans-serif font at `size`, estimated on the wide side.
double TextWidth(std::string_view text, double size) { return static_cast<double>(CodePoints(text)) * size * 0.6; }

// `text` shortened with an ellipsis to fit `width` pixels at `size`.
std::string Fit(const std::string& text, double width, double size) {
  if (TextWidth(text, size) <= width) return text;
  std::string out;
  const double budget = width - size * 0.6;
  for (std::size_t i = 0; i < text.size();) {
    std::string next;
    AppendUtf8(next, NextCodePoint(text, i));
    if (TextWidth(out + next, size) > budget) break;
    out += next;
  }
  return out + "\u2026";
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = NextCodePoint(text, i);
    switch (cp) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF) break;
        AppendUtf8(out, cp);
    }
  }
  return out;
}

namespace {

// Virtual time to x: linear, except that the longest stretches in which nothing happens are
// drawn as breaks of a fixed width.
class TimeScale {
 public:
  struct Segment {
    Micros t0, t1;
    double x0, x1;
    bool gap;
  };

  // `linear`: no breaks at all. Quiet stretches inside a step of `steps` (begin, end) stay drawn
  // to scale unless they are very long, so that a 2.5 s step never looks shorter than a 63 ms one.
  TimeScale(std::vector<Micros> instants, Micros end, bool linear, const std::vector<std::pair<Micros, Micros>>& steps) {
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

  double X(Micros t) const {
    for (const Segment& s : segments_) {
      if (t > s.t1) continue;
      if (s.t1 == s.t0) return s.x0;
      return s.x0 + (s.x1 - s.x0) * static_cast<double>(t - s.t0) / static_cast<double>(s.t1 - s.t0);
    }
    return kPlotRight;
  }
  const std::vector<Segment>& Segments() const { return segments_; }
  double PxPerUs() const { return px_per_us_; }

 private:
  void Build(const std::vector<std::pair<Micros, Micros>>& gaps, Micros end) {
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

  std::vector<Segment> segments_;
  double px_per_us_ = 1;
};

// Puts labels in rows so that none overlaps another: each goes to the first row with room.
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
    if (static_cast<int>(ends_.size()) < max_rows_) {
      ends_.push_back(x1);
      return static_cast<int>(ends_.size()) - 1;
    }
    const auto least = std::min_element(ends_.begin(), ends_.end());
    *least = std::max(*least, x1);
    return static_cast<int>(least - ends_.begin());
  }
  int Rows() const { return static_cast<int>(ends_.size()); }

 private:
  int max_rows_;
  std::vector<double> ends_;
};

// The SVG text being written, with small helpers for its elements.
class Svg {
 public:
  std::ostringstream body;

  void Rect(double x, double y, double w, double h, const std::string& style, const std::string& tip = {}) {
    body << "<rect x=\"" << Num(x) << "\" y=\"" << Num(y) << "\" width=\"" << Num(std::max(w, 0.0)) << "\" height=\""
         << Num(h) << "\" " << style;
    Close(tip);
  }
  void Line(double x0, double y0, double x1, double y1, const std::string& style) {
    body << "<line x1=\"" << Num(x0) << "\" y1=\"" << Num(y0) << "\" x2=\"" << Num(x1) << "\" y2=\"" << Num(y1)
         << "\" " << style << "/>\n";
  }
  // Text at (x, y) (baseline); `anchor` start, middle or end.
  void Text(double x, double y, const std::string& text, const std::string& style = {}, const char* anchor = "start",
            double size = kFontSize, const std::string& tip = {}) {
    body << "<text x=\"" << Num(x) << "\" y=\"" << Num(y) << "\" font-size=\"" << Num(size) << "\" text-anchor=\""
         << anchor << "\" " << style << ">" << XmlEscape(text);
    if (!tip.empty()) body << "<title>" << XmlEscape(tip) << "</title>";
    body << "</text>\n";
  }
  void Raw(const std::string& s) { body << s; }

 private:
  void Close(const std::string& tip) {
    if (tip.empty()) {
      body << "/>\n";
      return;
    }
    body << "><title>" << XmlEscape(tip) << "</title></rect>\n";
  }
};

std::string StepColor(const std::string& step) {
  static const std::map<std::string, std::string> kColors = {
      {"ERTC", "#b4a7d6"},          {"animation", "#9fc5e8"},
      {"LCD off", "#b6d7a8"},       {"radio down (wait)", "#f9cb9c"},
      {"applications (keyboard locked)", "#a2c4c9"},
      {"kernel shutdown", "#ea9999"}, {"log dump", "#d5a6bd"},
      {"suspend", "#b7b7b7"},       {"vibration", "#d9c2f0"},
      {"watchdog: rails off", "#cfe2f3"}, {"watchdog wait", "#e6e6e6"},
      {"watchdog: power off", "#f4a6a6"}};
  const auto it = kColors.find(step);
  if (it != kColors.end()) return it->second;
  return step.rfind("box", 0) == 0 ? "#ffe599" : "#d9d9d9";
}

std::string MomentColor(const std::string& kind) {
  static const std::map<std::string, std::string> kColors = {
      {"box", "#b8860b"}, {"radio", "#e69138"}, {"timeout", "#cc0000"}, {"power", "#990000"},
      {"ertc", "#674ea7"}, {"process", "#444444"}, {"key", "#3d85c6"},
      {"outside", "#38761d"}};
  const auto it = kColors.find(kind);
  return it == kColors.end() ? "#666666" : it->second;
}

// The fill of a state value: off is pale, on is green, the rest have their own colours.
std::string StateColor(const StateTrack& t, int value) {
  if (t.name == "power state") return value == 2 ? "#93c47d" : value == 1 ? "#f1c232" : "#666666";
  if (t.name == "PMU power-off line") return value == 0 ? "#eeeeee" : "#e06666";
  if (value == 0) return "#eeeeee";
  if (t.name == "box") return "#6fa8dc";
  if (t.name == "vibrator") return "#b48ad8";
  return "#93c47d";
}

// Everything the picture needs to know about where things go.
struct Page {
  const RunStory& story;
  TimeScale scale;
  double moments_top = 0;
  double axis_y = 0;
  double lanes_top = 0;
  double lanes_bottom = 0;
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

}  // namespace

namespace {

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

// A duration to three significant digits: "59.3 s", "997 ms", "1.5 s".
std::string ShortDuration(Micros d) {
  const bool seconds = d >= 1000000;
  const double v = static_cast<double>(d) / (seconds ? 1e6 : d >= 1000 ? 1e3 : 1);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f %s", v >= 100 ? 0 : v >= 10 ? 1 : 2, v, seconds ? "s" : d >= 1000 ? "ms" : "\u00b5s");
  std::string text = buf;
  const auto space = text.find(' ');
  if (text.find('.') < space) {
    std::size_t end = space;
    while (text[end - 1] == '0') --end;
    if (text[end - 1] == '.') --end;
    text.erase(end, space - end);
  }
  return text;
}

// A step's label: its name and how long it took ("animation 2.5 s").
std::string StepLabel(const Step& st) { return st.name + " " + ShortDuration(st.end - st.begin); }

// The time axis at `y`: ticks in virtual seconds on the linear stretches, a break mark with the
// length of each compressed one. Labels go above the line or below it.
void DrawAxis(Svg& svg, const TimeScale& scale, double y, bool labels_above) {
  const Micros step = TickStep(scale.PxPerUs(), 90);
  const int decimals = TickDecimals(step);
  const double label_y = labels_above ? y - 6 : y + 15;
  double last_label_end = -1e9, last_gap_label_end = -1e9;
  auto label = [&](double x, Micros t) {
    const std::string text = SecondsText(t, decimals);
    const double w = TextWidth(text, 10);
    if (x - w / 2 < last_label_end + 8 || x + w / 2 > kWidth - 2) return;
    svg.Line(x, y - 4, x, y + 4, "stroke=\"#555\"");
    svg.Text(x, label_y, text, "fill=\"#333\"", "middle", 10);
    last_label_end = x + w / 2;
  };
  for (const auto& s : scale.Segments()) {
    if (s.gap) {
      const double mid = (s.x0 + s.x1) / 2;
      svg.Line(mid - 7, y + 5, mid - 3, y - 5, "stroke=\"#555\" stroke-width=\"1.5\"");
      svg.Line(mid + 3, y + 5, mid + 7, y - 5, "stroke=\"#555\" stroke-width=\"1.5\"");
      const std::string length = "\u2248" + ShortDuration(s.t1 - s.t0);
      const double w = TextWidth(length, 9);
      if (!labels_above && mid - w / 2 > last_gap_label_end + 4) {
        svg.Text(mid, y + 28, length, "fill=\"#777\" font-style=\"italic\"", "middle", 9);
        last_gap_label_end = mid + w / 2;
      }
      continue;
    }
    svg.Line(s.x0, y, s.x1, y, "stroke=\"#555\"");
    label(s.x0, s.t0);
    for (Micros t = (s.t0 / step + 1) * step; t <= s.t1; t += step) label(scale.X(t), t);
  }
}

// The bands that mark compressed stretches across the lanes.
void DrawBreakBands(Svg& svg, const TimeScale& scale, double top, double bottom) {
  for (const auto& s : scale.Segments()) {
    if (!s.gap) continue;
    svg.Rect(s.x0 + 4, top, s.x1 - s.x0 - 8, bottom - top, "fill=\"#ffffff\" fill-opacity=\"0.3\"",
             "time compressed: " + DurationText(s.t1 - s.t0) + " from " + SecondsText(s.t0) + " to " + SecondsText(s.t1));
    svg.Line(s.x0 + 4, top, s.x0 + 4, bottom, "stroke=\"#bbb\" stroke-dasharray=\"2,3\"");
    svg.Line(s.x1 - 4, top, s.x1 - 4, bottom, "stroke=\"#bbb\" stroke-dasharray=\"2,3\"");
  }
}

// Decimals of the seconds that label moments: enough to tell apart what the axis tells apart.
int MomentDecimals(const TimeScale& scale) { return std::clamp(TickDecimals(TickStep(scale.PxPerUs(), 90)), 3, 6); }

void DrawTitle(Svg& svg, const RunStory& story, int decimals, std::size_t calls, std::size_t lines, bool linear) {
  const std::string title = "devsim " + story.command_line + " \u2014 outcome: " + story.outcome +
                            (story.reason.empty() ? "" : " (" + story.reason + ")");
  svg.Text(16, 30, Fit(title, kWidth - 32, 19), "font-weight=\"bold\" fill=\"#222\"", "start", 19, title);
  const std::string sub = "seed " + std::to_string(story.seed) + " \u00b7 virtual time, the run ended at " +
                          SecondsText(story.end, decimals) + " \u00b7 " + std::to_string(calls) + " platform calls \u00b7 " +
                          std::to_string(lines) + " trace lines \u00b7 " +
                          (linear ? "linear time" : "stretches where nothing happens are compressed (\u2248)");
  svg.Text(16, 50, Fit(sub, kWidth - 32, 12), "fill=\"#666\"", "start", 12);
}

struct PlacedLabel {
  double x;        // where the label's text is anchored
  double mark_x;   // what it labels
  int row;
  bool end_anchored;
  std::string text;
  std::string color;
};

// The moments' labels in rows above the axis.
std::vector<PlacedLabel> PlaceMoments(const RunStory& story, const TimeScale& scale, int& rows) {
  RowPlacer placer(7);
  std::vector<PlacedLabel> out;
  const int decimals = MomentDecimals(scale);
  for (const Moment& m : story.moments) {
    const double x = scale.X(m.at);
    const std::string text = m.label + " " + SecondsText(m.at, decimals);
    const double w = TextWidth(text, 10);
    const bool end = x + 6 + w > kWidth - 4;
    const double x0 = end ? x - 6 - w : x;
    out.push_back({end ? x - 6 : x + 6, x, placer.Place(x0, x0 + w + 6), end, text, MomentColor(m.kind)});
  }
  rows = placer.Rows();
  return out;
}

// The moments: a marker and label in the header, and a dashed line down through every lane.
void DrawMoments(Svg& svg, const std::vector<PlacedLabel>& labels, double top, double bottom) {
  for (const PlacedLabel& l : labels) {
    const double y = top + kRowHeight * (l.row + 1);
    svg.Line(l.mark_x, y - 4, l.mark_x, bottom, "stroke=\"" + l.color + "\" stroke-opacity=\"0.75\" stroke-dasharray=\"4,3\"");
    svg.Raw("<circle cx=\"" + Num(l.mark_x) + "\" cy=\"" + Num(y - 4) + "\" r=\"3\" fill=\"" + l.color + "\"/>\n");
    svg.Text(l.x, y, l.text, "fill=\"" + l.color + "\"", l.end_anchored ? "end" : "start", 10);
  }
}

}  // namespace

namespace {

// The first of `texts` that fits `width` at `size`, or "".
std::string FirstThatFits(const std::vector<std::string>& texts, double width, double size) {
  for (const auto& t : texts)
    if (TextWidth(t, size) + 6 <= width) return t;
  return {};
}

std::string SpanTip(const CallSpan& s) {
  std::string tip = s.cycles ? "\u00d7" + std::to_string(s.cycles) + " more cycles of " + s.op : s.op;
  if (!s.caller.empty()) tip += " in " + s.caller;
  tip += " on " + s.thread + ", " + SecondsText(s.begin, 6) + " to " + SecondsText(s.end, 6) + " (" +
         DurationText(s.end - s.begin) + ")";
  if (s.wait) tip += "; waits for " + s.waited_for;
  if (s.cycles) tip += "; " + std::to_string(s.calls) + " calls folded";
  return tip;
}

// A wait as a hatched bar, a folded run of calls as a grey one, each labelled when it has room.
void DrawLongSpan(Svg& svg, const TimeScale& scale, const CallSpan& s, double y) {
  const double x0 = scale.X(s.begin);
  const double w = std::max(scale.X(s.end) - x0, 2.0);
  const std::string dur = DurationText(s.end - s.begin);
  std::vector<std::string> labels;
  if (s.cycles) {
    const std::string head = "\u00d7" + std::to_string(s.cycles) + " " + s.op;
    labels = {head + " (" + dur + ")", head, "\u00d7" + std::to_string(s.cycles)};
    svg.Rect(x0, y, w, kActivityHeight, "fill=\"" + std::string(s.wait ? "url(#hatch)" : "#cfd8dc") + "\" stroke=\"#90a4ae\"", SpanTip(s));
  } else {
    const std::string still = s.unfinished ? " \u2026 still waiting" : "";
    labels = {s.op + ": " + s.waited_for + " \u00b7 " + dur, s.op + " " + dur + still, dur + still, dur};
    svg.Rect(x0, y, w, kActivityHeight,
             std::string("fill=\"url(#hatch)\" stroke=\"#c98a2b\"") + (s.unfinished ? " stroke-dasharray=\"4,2\"" : ""), SpanTip(s));
  }
  const std::string label = FirstThatFits(labels, w, 10);
  if (!label.empty()) svg.Text(x0 + 4, y + kActivityHeight - 5, label, "fill=\"#4a3000\"", "start", 10);
}

// Calls that did not block as ticks, one per pixel column, with what they were as a tooltip.
void DrawCallTicks(Svg& svg, const TimeScale& scale, const std::vector<const CallSpan*>& calls, double y) {
  std::map<int, std::vector<const CallSpan*>> columns;
  for (const CallSpan* s : calls) columns[static_cast<int>(std::floor(scale.X(s->begin)))].push_back(s);
  for (const auto& [px, list] : columns) {
    std::string tip = std::to_string(list.size()) + (list.size() == 1 ? " call at " : " calls from ") + SecondsText(list.front()->begin, 6) + ":";
    for (std::size_t i = 0; i < list.size() && i < 6; ++i)
      tip += "\n" + list[i]->op + (list[i]->caller.empty() ? "" : " in " + list[i]->caller);
    if (list.size() > 6) tip += "\n\u2026";
    svg.Rect(px, y + 1, 1.6, kActivityHeight - 2, "fill=\"#263238\"", tip);
  }
}

// Trace lines as small triangles under the calls, one per pixel column.
void DrawLineMarks(Svg& svg, const TimeScale& scale, const RunStory& story, const std::string& thread, double y) {
  std::map<int, std::vector<const LineMark*>> columns;
  for (const LineMark& l : story.lines)
    if (l.thread == thread) columns[static_cast<int>(std::floor(scale.X(l.at)))].push_back(&l);
  for (const auto& [px, list] : columns) {
    std::string tip;
    for (std::size_t i = 0; i < list.size() && i < 6; ++i) {
      tip += (i ? "\n" : "") + SecondsText(list[i]->at) + " " + list[i]->text;
      if (list[i]->repeats > 1)
        tip += " (and " + std::to_string(list[i]->repeats) + " more times until " + SecondsText(list[i]->last) + ")";
    }
    if (list.size() > 6) tip += "\n\u2026";
    svg.Raw("<path d=\"M" + Num(px - 3) + " " + Num(y) + " L" + Num(px + 3) + " " + Num(y) + " L" + Num(px) + " " +
            Num(y + 5) + " Z\" fill=\"#1565c0\"><title>" + XmlEscape(tip) + "</title></path>\n");
  }
}

struct StepPlacement {
  const Step* step;
  double x0, x1;
  bool inside;
  int row;
};

// Where each step of `thread` goes: its bar, and its label inside it or in a row above.
std::vector<StepPlacement> PlaceSteps(const RunStory& story, const TimeScale& scale, const std::string& thread, int& rows) {
  RowPlacer placer(4);
  std::vector<StepPlacement> out;
  for (const Step& st : story.steps) {
    if (st.thread != thread) continue;
    const double x0 = scale.X(st.begin);
    const double x1 = std::max(scale.X(st.end), x0 + 3);
    const double w = TextWidth(StepLabel(st), 10);
    const bool inside = w + 8 <= x1 - x0;
    int row = -1;
    if (!inside) {
      const double lx = std::clamp((x0 + x1) / 2 - w / 2, kPlotLeft, kWidth - 4 - w);
      row = placer.Place(lx, lx + w);
    }
    out.push_back({&st, x0, x1, inside, row});
  }
  rows = placer.Rows();
  return out;
}

void DrawSteps(Svg& svg, const std::vector<StepPlacement>& steps, int rows, double top) {
  const double bar_y = top + rows * kRowHeight;
  for (const StepPlacement& p : steps) {
    const Step& st = *p.step;
    const std::string tip = st.name + ": " + SecondsText(st.begin, 6) + " to " + SecondsText(st.end, 6) + " (" +
                            DurationText(st.end - st.begin) + ")";
    svg.Rect(p.x0, bar_y, p.x1 - p.x0, kStepBarHeight, "rx=\"3\" fill=\"" + StepColor(st.name) + "\" stroke=\"#666\" stroke-width=\"0.6\"", tip);
    const std::string label = StepLabel(st);
    if (p.inside) {
      svg.Text((p.x0 + p.x1) / 2, bar_y + kStepBarHeight - 4, label, "fill=\"#222\"", "middle", 10, tip);
      continue;
    }
    const double w = TextWidth(label, 10);
    const double lx = std::clamp((p.x0 + p.x1) / 2 - w / 2, kPlotLeft, kWidth - 4 - w);
    const double ly = top + kRowHeight * (p.row + 1) - 3;
    svg.Line((p.x0 + p.x1) / 2, bar_y, std::clamp((p.x0 + p.x1) / 2, lx, lx + w), ly + 2, "stroke=\"#888\" stroke-width=\"0.7\"");
    svg.Text(lx, ly, label, "fill=\"#222\"", "start", 10, tip);
  }
}

void LaneLabel(Svg& svg, double top, double height, const std::string& name, const std::string& note, bool shade) {
  if (shade) svg.Rect(0, top, kWidth, height, "fill=\"#f6f8fa\"");
  svg.Line(0, top + height, kWidth, top + height, "stroke=\"#e3e3e3\"");
  const double mid = top + height / 2;
  svg.Text(12, note.empty() ? mid + 4 : mid, Fit(name, kPlotLeft - 20, 12), "font-weight=\"bold\" fill=\"#222\"", "start", 12);
  if (!note.empty()) svg.Text(12, mid + 13, Fit(note, kPlotLeft - 20, 9.5), "fill=\"#777\"", "start", 9.5);
}

// One thread's lane: its steps, its waits and calls, its trace lines. Returns its height.
double DrawThreadLane(Svg& svg, const TimeScale& scale, const RunStory& story, const std::string& thread, double top, bool shade) {
  int rows = 0;
  const auto steps = PlaceSteps(story, scale, thread, rows);
  const double steps_height = steps.empty() ? 0 : rows * kRowHeight + kStepBarHeight + 3;
  const double height = 6 + steps_height + kActivityHeight + 12;
  std::size_t calls = 0, lines = 0;
  std::vector<const CallSpan*> ticks;
  for (const CallSpan& s : story.calls) {
    if (s.thread != thread) continue;
    calls += s.calls;
    if (!s.wait && !s.cycles) ticks.push_back(&s);
  }
  for (const LineMark& l : story.lines) lines += l.thread == thread ? l.repeats : 0;
  LaneLabel(svg, top, height, thread, std::to_string(calls) + " calls, " + std::to_string(lines) + " trace lines", shade);
  if (!steps.empty()) DrawSteps(svg, steps, rows, top + 4);
  const double activity_y = top + 6 + steps_height;
  svg.Line(kPlotLeft, activity_y + kActivityHeight / 2, kPlotRight, activity_y + kActivityHeight / 2, "stroke=\"#e0e0e0\"");
  for (const CallSpan& s : story.calls)
    if (s.thread == thread && (s.wait || s.cycles)) DrawLongSpan(svg, scale, s, activity_y);
  DrawCallTicks(svg, scale, ticks, activity_y);
  DrawLineMarks(svg, scale, story, thread, activity_y + kActivityHeight + 2);
  return height;
}

// One part of the handset: its state as coloured stretches, named where there is room.
double DrawStateLane(Svg& svg, const TimeScale& scale, const StateTrack& t, Micros end, double top, bool shade) {
  LaneLabel(svg, top, kStateLaneHeight + 6, t.name, "", shade);
  for (std::size_t i = 0; i < t.changes.size(); ++i) {
    const auto [from, value] = t.changes[i];
    const Micros to = i + 1 < t.changes.size() ? t.changes[i + 1].first : end;
    const double x0 = scale.X(from);
    const double w = std::max(scale.X(to) - x0, 1.0);
    const std::string tip = t.name + ": " + t.Name(value) + " from " + SecondsText(from, 6) +
                            (i + 1 < t.changes.size() ? " to " + SecondsText(to, 6) : " to the end");
    svg.Rect(x0, top + 3, w, kStateLaneHeight, "fill=\"" + StateColor(t, value) + "\" stroke=\"#fff\" stroke-width=\"0.5\"", tip);
    const std::string name = t.Name(value);
    if (TextWidth(name, 10) + 8 <= w) {
      const bool dark = t.name == "power state" && value == 0;
      svg.Text(x0 + 4, top + 3 + kStateLaneHeight - 6, name, dark ? "fill=\"#fff\"" : "fill=\"#333\"", "start", 10);
    }
  }
  return kStateLaneHeight + 6;
}

double DrawLegend(Svg& svg, double y) {
  double x = kPlotLeft;
  auto item = [&](const std::string& swatch, const std::string& text) {
    svg.Raw(swatch);
    svg.Text(x + 26, y + 11, text, "fill=\"#444\"", "start", 10.5);
    x += 26 + TextWidth(text, 10.5) + 22;
  };
  svg.Text(12, y + 11, "legend", "font-weight=\"bold\" fill=\"#444\"", "start", 11);
  item("<rect x=\"" + Num(x + 8) + "\" y=\"" + Num(y) + "\" width=\"1.6\" height=\"14\" fill=\"#263238\"/>\n", "platform call");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"url(#hatch)\" stroke=\"#c98a2b\"/>\n", "wait (thread blocked)");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#cfd8dc\" stroke=\"#90a4ae\"/>\n", "repeated calls, folded");
  item("<path d=\"M" + Num(x + 6) + " " + Num(y + 4) + " L" + Num(x + 14) + " " + Num(y + 4) + " L" + Num(x + 10) + " " + Num(y + 10) + " Z\" fill=\"#1565c0\"/>\n", "trace line");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" rx=\"3\" fill=\"#9fc5e8\" stroke=\"#666\" stroke-width=\"0.6\"/>\n", "step");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#93c47d\"/>\n", "on");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#eeeeee\" stroke=\"#ccc\"/>\n", "off");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#f1c232\"/>\n", "suspended");
  item("<line x1=\"" + Num(x + 10) + "\" y1=\"" + Num(y - 1) + "\" x2=\"" + Num(x + 10) + "\" y2=\"" + Num(y + 15) + "\" stroke=\"#cc0000\" stroke-dasharray=\"4,3\"/>\n", "moment");
  item("<text x=\"" + Num(x + 4) + "\" y=\"" + Num(y + 11) + "\" font-size=\"11\" fill=\"#555\">//</text>\n", "time compressed");
  return 24;
}

const char* kDefs =
    "<defs><pattern id=\"hatch\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\" patternTransform=\"rotate(45)\">"
    "<rect width=\"6\" height=\"6\" fill=\"#fbe7c6\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#e3b26a\" "
    "stroke-width=\"2\"/></pattern></defs>\n";

}  // namespace

std::string TimelineSvg(const RunRecord& run, const TimelineOptions& options) {
  const RunStory story = BuildRunStory(run, kFoldCycles);
  std::vector<std::pair<Micros, Micros>> steps;
  for (const Step& st : story.steps) steps.push_back({st.begin, st.end});
  const TimeScale scale(Instants(story), story.end, options.linear, steps);
  std::size_t calls = 0;
  for (const CallSpan& s : story.calls) calls += s.calls;
  Svg svg;
  DrawTitle(svg, story, MomentDecimals(scale), calls, run.lines.size(), options.linear);
  int moment_rows = 0;
  const auto moments = PlaceMoments(story, scale, moment_rows);
  const double moments_top = 58;
  const double axis_y = moments_top + kRowHeight * moment_rows + 30;
  DrawAxis(svg, scale, axis_y, true);
  double y = axis_y + 8;
  const double lanes_top = y;
  bool shade = false;
  for (const auto& thread : story.threads) y += DrawThreadLane(svg, scale, story, thread, y, shade = !shade);
  svg.Line(0, y, kWidth, y, "stroke=\"#bbb\"");
  for (const StateTrack& t : story.states) y += DrawStateLane(svg, scale, t, story.end, y, shade = !shade);
  const double lanes_bottom = y;
  svg.Line(kPlotLeft, lanes_top, kPlotLeft, lanes_bottom, "stroke=\"#ccc\"");
  DrawBreakBands(svg, scale, lanes_top, lanes_bottom);
  DrawMoments(svg, moments, moments_top, lanes_bottom);
  DrawAxis(svg, scale, lanes_bottom + 6, false);
  y = lanes_bottom + 46;
  y += DrawLegend(svg, y) + 10;
  std::ostringstream doc;
  doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Num(kWidth) << "\" height=\"" << Num(y)
      << "\" viewBox=\"0 0 " << Num(kWidth) << " " << Num(y) << "\" font-family=\"" << kFont << "\">\n"
      << "<title>" << XmlEscape("devsim " + story.command_line + ": " + story.outcome) << "</title>\n"
      << kDefs << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
      << svg.body.str() << "</svg>\n";
  return doc.str();
}

bool WriteTimelineSvg(const RunRecord& run, const std::string& path, const TimelineOptions& options) {
  std::ofstream out(path, std::ios::binary);
  if (!out) return false;
  out << TimelineSvg(run, options);
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace sim
