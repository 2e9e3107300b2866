#include "sim/views/report.h"

#include <cstdio>
#include <sstream>

#include "sim/base/text.h"
#include "sim/checks/expectations.h"

namespace sim {

std::string FormatTraceLine(const TraceLine& line) {
  char head[64];
  std::snprintf(head, sizeof head, "%8.3f %-20s| ", static_cast<double>(line.at) / 1e6, Printable(line.thread).c_str());
  return head + Printable(line.text);
}

void TracePrinter::Print(const TraceLine& line) {
  if (line.thread == last_thread_ && line.text == last_text_) {
    if (++repeats_ <= 2) out_ << FormatTraceLine(line) << '\n';
    last_ = line;
    return;
  }
  Flush();
  out_ << FormatTraceLine(line) << '\n';
  last_thread_ = line.thread;
  last_text_ = line.text;
  last_ = line;
}

void TracePrinter::Flush() {
  if (repeats_ > 2) {
    out_ << "         " << std::string(20, ' ') << "| ... the line above " << repeats_ - 2
         << " more times, the last at " << static_cast<double>(last_.at) / 1e6 << " s\n";
  }
  repeats_ = 0;
  last_thread_.clear();
  last_text_.clear();
}

namespace {
std::string Str(const Json& j, const char* key, const char* def = "?") {
  if (!j.contains(key)) return def;
  const Json& v = j[key];
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}
}  // namespace

std::string Printable(std::string_view text, bool keep_newlines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // C1 controls arrive as UTF-8 C2 80..C2 9F; U+009B alone starts an escape sequence.
    const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80;
    if ((c < 0x20 && !(keep_newlines && c == '\n')) || c == 0x7F || c1) {
      char hex[16];
      if (c1)
        std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(text[++i]));
      else
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

void PrintBoxes(std::ostream& out, const Json& s) {
  if (!s.contains("boxes")) return;
  for (const auto& b : s["boxes"]) {
    out << "box '" << Str(b, "title") << "': shown at " << Str(b, "shown_ms") << " ms, answer " << Str(b, "result");
    if (b.contains("answered_by")) out << " by " << Str(b, "answered_by") << " at " << Str(b, "answered_ms") << " ms";
    out << (b.value("standing", false) ? ", still standing" : "") << "\n";
  }
  for (const auto& u : s.value("unused_answers", Json::array()))
    out << "warning: the scripted answer '" << Str(u, "answer") << "' was not used: " << Str(u, "why") << "\n";
}

void PrintExpectations(std::ostream& out, const Json& s) {
  if (!s.contains("expected_outcomes") && !s.contains("expected_ertc")) return;
  const std::vector<std::string> unmet = UnmetExpectations(s);
  if (unmet.empty()) out << "expected outcome: met\n";
  for (const auto& u : unmet) out << "expected outcome: NOT MET: " << u << "\n";
}

// One line per instance of the program when the run started more than one.
void PrintInstances(std::ostream& out, const Json& s) {
  const auto it = s.find("instances");
  if (it == s.end() || !it->is_array() || it->size() < 2) return;
  for (const Json& inst : *it) {
    out << "instance " << Str(inst, "instance") << ": pid " << HexText(inst.value("pid", 0u)) << ", command line '"
        << Str(inst, "command_line") << "', started at " << Str(inst, "started_ms") << " ms, ";
    if (inst.value("ended", false))
      out << "ended at " << Str(inst, "ended_ms") << " ms (exit code " << Str(inst, "exit_code") << ")\n";
    else
      out << "still running\n";
  }
}

void PrintSummaryText(std::ostream& out, const Json& s) {
  out << "outcome: " << Str(s, "outcome") << " (" << Str(s, "reason") << ")\n";
  out << "ended at: " << Str(s, "ended_ms") << " ms of virtual time\n";
  PrintInstances(out, s);
  if (s.contains("ertc_value"))
    out << "ERTC wake-up: " << Str(s, "ertc") << "\n";
  else
    out << "ERTC wake-up: not written\n";
  if (s.contains("wake_plan")) out << "wake plan: " << Str(s, "wake_plan") << "\n";
  out << "LCD: " << Str(s, "lcd") << "\n";
  out << "backlight: " << Str(s, "backlight") << "\n";
  out << "radio: " << Str(s, "radio") << " (" << Str(s, "radio_notifications") << " notifications)\n";
  out << "rails: GPS " << Str(s, "gps_rail") << ", Bluetooth " << Str(s, "bt_rail") << ", PMU line "
      << Str(s, "pmu_line") << "\n";
  out << "power state: " << Str(s, "power_state") << " (forced suspend requests: " << Str(s, "suspend_requests")
      << ", unattended mode: " << Str(s, "unattended_mode") << ")\n";
  out << "kernel shutdown: " << (s.value("kernel_shutdown", false) ? "sent" : "not sent") << "\n";
  out << "log dumps: " << Str(s, "log_dumps") << "\n";
  if (s.contains("vibrator")) out << "vibrator: " << Str(s, "vibrator") << "\n";
  PrintBoxes(out, s);
  if (s.contains("animation_calls")) {
    for (const auto& a : s["animation_calls"]) {
      const auto& args = a["args"];
      out << "animation: DoShutdownAnimation(" << args[0].dump() << ", "
          << (args[1].is_null() ? "null" : args[1].get<std::string>()) << ", "
          << (args[2].is_null() ? "null" : args[2].get<std::string>()) << " " << Str(a, "call_event") << "), played "
          << Str(a, "played_ms") << " ms";
      if (a.contains("call_event_closed_after_us"))
        out << "; its call event closed " << Str(a, "call_event_closed_after_us") << " us after it returned";
      if (a.value("used_closed_handle", false)) out << "; the library used that handle after it was closed";
      out << "\n";
    }
  }
  if (s.contains("sounds")) {
    for (const auto& p : s["sounds"])
      out << "sound: " << Str(p, "length_ms") << " ms (" << Str(p, "bytes") << " bytes from memory), started at "
          << Str(p, "started_ms") << " ms, " << Str(p, "state") << "\n";
  }
  if (s.contains("heap")) {
    const auto& live = s["heap"]["live"];
    out << "heap: " << live.size() << " live blocks";
    for (const auto& b : live)
      out << " [" << Str(b, "bytes") << " bytes" << (Str(b, "tag", "").empty() ? "" : ", " + Str(b, "tag")) << "]";
    out << "\n";
  }
  if (s.contains("applications")) {
    for (const auto& a : s["applications"]) out << "application " << Str(a, "name") << ": " << Str(a, "state") << "\n";
  }
  if (s.contains("keys")) {
    for (const auto& k : s["keys"])
      out << "key " << Str(k, "key") << " at " << Str(k, "at_ms") << " ms: " << Str(k, "fate") << "\n";
  }
  if (s.contains("registry_unknown_types"))
    for (const auto& v : s["registry_unknown_types"])
      out << "registry value of an unknown type, kept as it is: " << v.get<std::string>() << "\n";
  const auto& open = s["handles_open"];
  out << "handles left open: " << open.size() << "\n";
  for (const auto& h : open)
    out << "  " << Str(h, "handle") << " " << Str(h, "what") << " (" << Str(h, "opened_by") << " in "
        << Str(h, "caller") << " on " << Str(h, "thread") << ")\n";
  if (s.value("misuses", 0) > 0) out << "platform misuses: " << Str(s, "misuses") << " (see the event log)\n";
  if (Str(s, "outcome") == "stuck" || Str(s, "outcome") == "time-limit") {
    out << "threads at the end:\n";
    for (const auto& t : s["threads"]) out << "  " << t.get<std::string>() << "\n";
  }
  if (s.contains("violations")) {
    for (const auto& v : s["violations"])
      out << "INVARIANT VIOLATED: " << Str(v, "invariant") << ": " << Str(v, "detail") << "\n";
  }
  PrintExpectations(out, s);
  for (const auto& r : s["unused_fault_rules"])
    out << "warning: the fault rule '" << r.get<std::string>() << "' never matched a call\n";
}

}  // namespace

void PrintSummary(std::ostream& out, const Json& s) {
  // Titles, names and texts come from the scenario; none may drive the terminal.
  std::ostringstream text;
  PrintSummaryText(text, s);
  out << Printable(text.str(), true);
}

void AddBoxAnswers(Json& summary, const std::vector<Json>& events, const std::vector<std::string>& scripted) {
  if (!summary.contains("boxes")) return;
  Json& boxes = summary["boxes"];
  for (const Json& e : events) {
    if (e.value("op", "") != "windows.box_answered") continue;
    const std::string title = e["args"].value("title", "");
    for (auto& b : boxes) {
      if (b.contains("answered_by") || b.value("title", "") != title) continue;
      b["answered_by"] = e["args"].value("by", "?");
      const std::int64_t at = e.value("t_us", std::int64_t{0});
      b["answered_ms"] = at / 1000;
      b["answer_after_ms"] = (at - b.value("shown_us", b.value("shown_ms", std::int64_t{0}) * 1000)) / 1000;
      break;
    }
  }
  Json unused = Json::array();
  for (std::size_t i = 0; i < scripted.size(); ++i) {
    const std::string& answer = scripted[i];
    if (answer.rfind("none", 0) == 0) continue;
    if (i >= boxes.size()) {
      unused.push_back({{"answer", answer},
                        {"why", "no box " + std::to_string(i + 1) +
                                    " was shown (boxes shown: " + std::to_string(boxes.size()) + ")"}});
    } else if (boxes[i].value("answered_by", "user") != "user") {
      unused.push_back({{"answer", answer},
                        {"why", "box " + std::to_string(i + 1) + " was answered " + boxes[i].value("result", "?") +
                                    " by " + boxes[i]["answered_by"].get<std::string>() + " first"}});
    } else if (!boxes[i].contains("answered_by")) {
      unused.push_back({{"answer", answer}, {"why", "box " + std::to_string(i + 1) + " was gone before it came"}});
    }
  }
  if (!unused.empty()) summary["unused_answers"] = unused;
}

std::string FormatCall(const Json& e) {
  char head[64];
  std::snprintf(head, sizeof head, "%8.3f %-20s| ", static_cast<double>(e.value("t_us", std::int64_t{0})) / 1e6,
                e.value("thread", "?").c_str());
  std::string line = head + e.value("caller", "?") + ": " + e.value("op", "?") + "(";
  bool first = true;
  const Json args = e.value("args", Json::object());
  for (const auto& [key, value] : args.items()) {
    line += (first ? "" : ", ") + key + "=" + value.dump(-1, ' ', false, Json::error_handler_t::replace);
    first = false;
  }
  line += ") = " + (e.contains("result") ? e["result"].dump(-1, ' ', false, Json::error_handler_t::replace) : "?");
  if (e.contains("last_error")) line += " (last error " + e["last_error"].dump() + ")";
  if (e.contains("t_end_us")) {
    char took[48];
    const auto took_us = e.value("t_end_us", std::int64_t{0}) - e.value("t_us", std::int64_t{0});
    std::snprintf(took, sizeof took, " [blocked %.3f ms]", static_cast<double>(took_us) / 1e3);
    line += took;
  }
  if (e.value("injected_fault", false)) line += "  <- INJECTED FAULT";
  if (e.contains("misuse")) line += "  <- MISUSE: " + e["misuse"].dump();
  return Printable(line);
}

}  // namespace sim
