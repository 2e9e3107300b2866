// Drawing of the SVG timeline: writes the elements of a page laid out by timeline_layout.h.
#include "sim/views/timeline_svg.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/base/utf8.h"
#include "sim/views/timeline_layout.h"

namespace sim {

namespace {

constexpr double kFontSize = 11;
constexpr const char* kFont = "DejaVu Sans, Liberation Sans, Arial, Helvetica, sans-serif";

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

const char* AnchorName(Anchor a) { return a == Anchor::kStart ? "start" : a == Anchor::kMiddle ? "middle" : "end"; }

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8(text, i);
    i += c.length;
    const char32_t cp = c.code_point;
    switch (cp) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF) break;
        AppendUtf8(out, cp);
    }
  }
  return out;
}

namespace {

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
    body << "<line x1=\"" << Num(x0) << "\" y1=\"" << Num(y0) << "\" x2=\"" << Num(x1) << "\" y2=\"" << Num(y1) << "\" "
         << style << "/>\n";
  }
  // Text at (x, y) (baseline); `anchor` start, middle or end.
  void Text(double x, double y, const std::string& text, const std::string& style = {}, const char* anchor = "start",
            double size = kFontSize, const std::string& tip = {}) {
    body << "<text x=\"" << Num(x) << "\" y=\"" << Num(y) << "\" font-size=\"" << Num(size) << "\" text-anchor=\""
         << anchor << "\" " << style << ">" << XmlEscape(text);
    if (!tip.empty()) body << "<title>" << XmlEscape(tip) << "</title>";
    body << "</text>\n";
  }
  // A label placed by the layout.
  void Text(const PlacedText& t, const std::string& style, const std::string& tip = {}) {
    Text(t.x, t.y, t.text, style, AnchorName(t.anchor), t.size, tip);
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
  static const std::map<std::string, std::string> kColors = {{"ERTC", "#b4a7d6"},
                                                             {"animation", "#9fc5e8"},
                                                             {"LCD off", "#b6d7a8"},
                                                             {"radio down (wait)", "#f9cb9c"},
                                                             {"applications (keyboard locked)", "#a2c4c9"},
                                                             {"kernel shutdown", "#ea9999"},
                                                             {"log dump", "#d5a6bd"},
                                                             {"suspend", "#b7b7b7"},
                                                             {"vibration", "#d9c2f0"},
                                                             {"watchdog: rails off", "#cfe2f3"},
                                                             {"watchdog wait", "#e6e6e6"},
                                                             {"watchdog: power off", "#f4a6a6"}};
  const auto it = kColors.find(step);
  if (it != kColors.end()) return it->second;
  return step.rfind("box", 0) == 0 ? "#ffe599" : "#d9d9d9";
}

std::string MomentColor(const std::string& kind) {
  static const std::map<std::string, std::string> kColors = {
      {"box", "#b8860b"},  {"radio", "#e69138"},   {"timeout", "#cc0000"}, {"power", "#990000"},
      {"ertc", "#674ea7"}, {"process", "#444444"}, {"key", "#3d85c6"},     {"outside", "#38761d"}};
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

// The time axis: its line and labelled ticks on the linear stretches, a break mark (and below the
// lanes its length) on each compressed one.
void DrawAxis(Svg& svg, const AxisLayout& axis) {
  const double y = axis.y;
  for (const AxisPiece& p : axis.pieces) {
    if (p.gap) {
      const double mid = (p.x0 + p.x1) / 2;
      svg.Line(mid - 7, y + 5, mid - 3, y - 5, "stroke=\"#555\" stroke-width=\"1.5\"");
      svg.Line(mid + 3, y + 5, mid + 7, y - 5, "stroke=\"#555\" stroke-width=\"1.5\"");
      if (p.length) svg.Text(*p.length, "fill=\"#777\" font-style=\"italic\"");
      continue;
    }
    svg.Line(p.x0, y, p.x1, y, "stroke=\"#555\"");
    for (const PlacedText& tick : p.ticks) {
      svg.Line(tick.x, y - 4, tick.x, y + 4, "stroke=\"#555\"");
      svg.Text(tick, "fill=\"#333\"");
    }
  }
}

// The bands that mark compressed stretches across the lanes.
void DrawBreakBands(Svg& svg, const TimeScale& scale, double top, double bottom) {
  for (const auto& s : scale.Segments()) {
    if (!s.gap) continue;
    svg.Rect(
        s.x0 + 4, top, s.x1 - s.x0 - 8, bottom - top, "fill=\"#ffffff\" fill-opacity=\"0.3\"",
        "time compressed: " + DurationText(s.t1 - s.t0) + " from " + SecondsText(s.t0) + " to " + SecondsText(s.t1));
    svg.Line(s.x0 + 4, top, s.x0 + 4, bottom, "stroke=\"#bbb\" stroke-dasharray=\"2,3\"");
    svg.Line(s.x1 - 4, top, s.x1 - 4, bottom, "stroke=\"#bbb\" stroke-dasharray=\"2,3\"");
  }
}

void DrawTitle(Svg& svg, const RunStory& story, int decimals, std::size_t calls, std::size_t lines, bool linear) {
  const std::string title = "devsim " + story.command_line + " \u2014 outcome: " + story.outcome +
                            (story.reason.empty() ? "" : " (" + story.reason + ")");
  svg.Text(16, 30, Fit(title, kTimelineWidth - 32, 19), "font-weight=\"bold\" fill=\"#222\"", "start", 19, title);
  const std::string sub = "seed " + std::to_string(story.seed) + " \u00b7 virtual time, the run ended at " +
                          SecondsText(story.end, decimals) + " \u00b7 " + std::to_string(calls) +
                          " platform calls \u00b7 " + std::to_string(lines) + " trace lines \u00b7 " +
                          (linear ? "linear time" : "stretches where nothing happens are compressed (\u2248)");
  svg.Text(16, 50, Fit(sub, kTimelineWidth - 32, 12), "fill=\"#666\"", "start", 12);
}

// The moments: a marker and label in the header, and a dashed line down through every lane. A
// moment whose label found no row keeps its text as the marker's tooltip.
void DrawMoments(Svg& svg, const std::vector<MomentLayout>& moments, double bottom) {
  for (const MomentLayout& m : moments) {
    const std::string color = MomentColor(m.moment->kind);
    svg.Line(m.mark_x, m.mark_y, m.mark_x, bottom,
             "stroke=\"" + color + "\" stroke-opacity=\"0.75\" stroke-dasharray=\"4,3\"");
    const std::string circle =
        "<circle cx=\"" + Num(m.mark_x) + "\" cy=\"" + Num(m.mark_y) + "\" r=\"3\" fill=\"" + color + "\"";
    if (m.label) {
      svg.Raw(circle + "/>\n");
      svg.Text(*m.label, "fill=\"" + color + "\"");
    } else {
      svg.Raw(circle + "><title>" + XmlEscape(m.moment->label + " " + SecondsText(m.moment->at, 6)) +
              "</title></circle>\n");
    }
  }
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

// A wait as a hatched bar, a folded run of calls as a grey one, each with its label if it has one.
void DrawSpan(Svg& svg, const SpanLayout& p) {
  const CallSpan& s = *p.span;
  if (s.cycles) {
    svg.Rect(p.x0, p.y, p.width, kActivityHeight,
             "fill=\"" + std::string(s.wait ? "url(#hatch)" : "#cfd8dc") + "\" stroke=\"#90a4ae\"", SpanTip(s));
  } else {
    svg.Rect(p.x0, p.y, p.width, kActivityHeight,
             std::string("fill=\"url(#hatch)\" stroke=\"#c98a2b\"") + (s.unfinished ? " stroke-dasharray=\"4,2\"" : ""),
             SpanTip(s));
  }
  if (p.label) svg.Text(*p.label, "fill=\"#4a3000\"");
}

// Calls that did not block as ticks, one per pixel column, with what they were as a tooltip.
void DrawCallTicks(Svg& svg, const std::vector<Column<CallSpan>>& columns, double y) {
  for (const auto& [px, list] : columns) {
    std::string tip = std::to_string(list.size()) + (list.size() == 1 ? " call at " : " calls from ") +
                      SecondsText(list.front()->begin, 6) + ":";
    for (std::size_t i = 0; i < list.size() && i < 6; ++i)
      tip += "\n" + list[i]->op + (list[i]->caller.empty() ? "" : " in " + list[i]->caller);
    if (list.size() > 6) tip += "\n\u2026";
    svg.Rect(px, y + 1, 1.6, kActivityHeight - 2, "fill=\"#263238\"", tip);
  }
}

// Trace lines as small triangles under the calls, one per pixel column.
void DrawLineMarks(Svg& svg, const std::vector<Column<LineMark>>& columns, double y) {
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

// Steps as bars, each labelled inside or in a row above with a leader line down to its bar.
void DrawSteps(Svg& svg, const std::vector<StepLayout>& steps) {
  for (const StepLayout& p : steps) {
    const Step& st = *p.step;
    const std::string tip = st.name + ": " + SecondsText(st.begin, 6) + " to " + SecondsText(st.end, 6) + " (" +
                            DurationText(st.end - st.begin) + ")";
    svg.Rect(p.x0, p.bar_y, p.x1 - p.x0, kStepBarHeight,
             "rx=\"3\" fill=\"" + StepColor(st.name) + "\" stroke=\"#666\" stroke-width=\"0.6\"", tip);
    if (!p.label) continue;
    if (!p.inside) {
      const LabelBox box = p.label->Box();
      const double mid = (p.x0 + p.x1) / 2;
      svg.Line(mid, p.bar_y, std::clamp(mid, box.x0, box.x1), p.label->y + 2, "stroke=\"#888\" stroke-width=\"0.7\"");
    }
    svg.Text(*p.label, "fill=\"#222\"", tip);
  }
}

void LaneLabel(Svg& svg, double top, double height, const std::string& name, const std::string& note, bool shade) {
  if (shade) svg.Rect(0, top, kTimelineWidth, height, "fill=\"#f6f8fa\"");
  svg.Line(0, top + height, kTimelineWidth, top + height, "stroke=\"#e3e3e3\"");
  const double mid = top + height / 2;
  svg.Text(12, note.empty() ? mid + 4 : mid, Fit(name, kPlotLeft - 20, 12), "font-weight=\"bold\" fill=\"#222\"",
           "start", 12);
  if (!note.empty()) svg.Text(12, mid + 13, Fit(note, kPlotLeft - 20, 9.5), "fill=\"#777\"", "start", 9.5);
}

void DrawThreadLane(Svg& svg, const ThreadLane& lane) {
  LaneLabel(svg, lane.top, lane.height, lane.thread, lane.note, lane.shade);
  DrawSteps(svg, lane.steps);
  const double mid = lane.activity_y + kActivityHeight / 2;
  svg.Line(kPlotLeft, mid, kPlotRight, mid, "stroke=\"#e0e0e0\"");
  for (const SpanLayout& s : lane.spans) DrawSpan(svg, s);
  DrawCallTicks(svg, lane.calls, lane.activity_y);
  DrawLineMarks(svg, lane.lines, lane.activity_y + kActivityHeight + 2);
}

void DrawStateLane(Svg& svg, const StateLane& lane) {
  const StateTrack& t = *lane.track;
  LaneLabel(svg, lane.top, lane.height, t.name, "", lane.shade);
  for (const StateStretch& s : lane.stretches) {
    const std::string tip = t.name + ": " + t.Name(s.value) + " from " + SecondsText(s.from, 6) +
                            (s.last ? " to the end" : " to " + SecondsText(s.to, 6));
    svg.Rect(s.x0, lane.top + 3, s.width, kStateLaneHeight,
             "fill=\"" + StateColor(t, s.value) + "\" stroke=\"#fff\" stroke-width=\"0.5\"", tip);
    const bool dark = t.name == "power state" && s.value == 0;
    if (s.label) svg.Text(*s.label, dark ? "fill=\"#fff\"" : "fill=\"#333\"");
  }
}

double DrawLegend(Svg& svg, double y) {
  double x = kPlotLeft;
  auto item = [&](const std::string& swatch, const std::string& text) {
    svg.Raw(swatch);
    svg.Text(x + 26, y + 11, text, "fill=\"#444\"", "start", 10.5);
    x += 26 + TextWidth(text, 10.5) + 22;
  };
  svg.Text(12, y + 11, "legend", "font-weight=\"bold\" fill=\"#444\"", "start", 11);
  item("<rect x=\"" + Num(x + 8) + "\" y=\"" + Num(y) + "\" width=\"1.6\" height=\"14\" fill=\"#263238\"/>\n",
       "platform call");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) +
           "\" width=\"20\" height=\"14\" fill=\"url(#hatch)\" stroke=\"#c98a2b\"/>\n",
       "wait (thread blocked)");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) +
           "\" width=\"20\" height=\"14\" fill=\"#cfd8dc\" stroke=\"#90a4ae\"/>\n",
       "repeated calls, folded");
  item("<path d=\"M" + Num(x + 6) + " " + Num(y + 4) + " L" + Num(x + 14) + " " + Num(y + 4) + " L" + Num(x + 10) +
           " " + Num(y + 10) + " Z\" fill=\"#1565c0\"/>\n",
       "trace line");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) +
           "\" width=\"20\" height=\"14\" rx=\"3\" fill=\"#9fc5e8\" stroke=\"#666\" stroke-width=\"0.6\"/>\n",
       "step");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#93c47d\"/>\n", "on");
  item(
      "<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#eeeeee\" stroke=\"#ccc\"/>\n",
      "off");
  item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"20\" height=\"14\" fill=\"#f1c232\"/>\n", "suspended");
  item("<line x1=\"" + Num(x + 10) + "\" y1=\"" + Num(y - 1) + "\" x2=\"" + Num(x + 10) + "\" y2=\"" + Num(y + 15) +
           "\" stroke=\"#cc0000\" stroke-dasharray=\"4,3\"/>\n",
       "moment");
  item("<text x=\"" + Num(x + 4) + "\" y=\"" + Num(y + 11) + "\" font-size=\"11\" fill=\"#555\">//</text>\n",
       "time compressed");
  return 24;
}

const char* kDefs =
    "<defs><pattern id=\"hatch\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\" "
    "patternTransform=\"rotate(45)\">"
    "<rect width=\"6\" height=\"6\" fill=\"#fbe7c6\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#e3b26a\" "
    "stroke-width=\"2\"/></pattern></defs>\n";

}  // namespace

std::string TimelineSvg(const RunRecord& run, const TimelineOptions& options) {
  const TimelineLayout page = LayOutTimeline(run, options.linear);
  const RunStory& story = page.story;
  std::size_t calls = 0;
  for (const CallSpan& s : story.calls) calls += s.calls;
  Svg svg;
  DrawTitle(svg, story, page.moment_decimals, calls, run.lines.size(), options.linear);
  DrawAxis(svg, page.top_axis);
  for (const ThreadLane& lane : page.threads) DrawThreadLane(svg, lane);
  svg.Line(0, page.threads_bottom, kTimelineWidth, page.threads_bottom, "stroke=\"#bbb\"");
  for (const StateLane& lane : page.states) DrawStateLane(svg, lane);
  svg.Line(kPlotLeft, page.lanes_top, kPlotLeft, page.lanes_bottom, "stroke=\"#ccc\"");
  DrawBreakBands(svg, page.scale, page.lanes_top, page.lanes_bottom);
  DrawMoments(svg, page.moments, page.lanes_bottom);
  DrawAxis(svg, page.bottom_axis);
  DrawLegend(svg, page.legend_y);
  std::ostringstream doc;
  doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Num(kTimelineWidth) << "\" height=\""
      << Num(page.height) << "\" viewBox=\"0 0 " << Num(kTimelineWidth) << " " << Num(page.height)
      << "\" font-family=\"" << kFont << "\">\n"
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
