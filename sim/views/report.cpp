#include "sim/views/report.h"

#include <cstdio>

#include "sim/base/text.h"

namespace sim {

std::string FormatTraceLine(const TraceLine& line) {
  char head[64];
  std::snprintf(head, sizeof head, "%8.3f %-20s| ", static_cast<double>(line.at) / 1e6, line.thread.c_str());
  return head + line.text;
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

void PrintSummary(std::ostream& out, const Json& s) {
  out << "outcome: " << Str(s, "outcome") << " (" << Str(s, "reason") << ")\n";
  out << "ended at: " << Str(s, "ended_ms") << " ms of virtual time\n";
  if (s.contains("ertc_value")) out << "ERTC wake-up: " << Str(s, "ertc") << "\n";
  else out << "ERTC wake-up: not written\n";
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
  if (s.contains("boxes")) {
    for (const auto& b : s["boxes"])
      out << "box '" << Str(b, "title") << "': shown at " << Str(b, "shown_ms") << " ms, answer " << Str(b, "result")
          << (b.value("standing", false) ? ", still standing" : "") << "\n";
  }
  if (s.contains("animation_calls")) {
    for (const auto& a : s["animation_calls"]) {
      const auto& args = a["args"];
      out << "animation: DoShutdownAnimation(" << args[0].dump() << ", " << (args[1].is_null() ? "null" : args[1].get<std::string>())
          << ", " << (args[2].is_null() ? "null" : args[2].get<std::string>()) << " " << Str(a, "call_event") << "), played "
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
    for (const auto& b : live) out << " [" << Str(b, "bytes") << " bytes" << (Str(b, "tag", "").empty() ? "" : ", " + Str(b, "tag")) << "]";
    out << "\n";
  }
  if (s.contains("applications")) {
    for (const auto& a : s["applications"]) out << "application " << Str(a, "name") << ": " << Str(a, "state") << "\n";
  }
  if (s.contains("keys")) {
    for (const auto& k : s["keys"]) out << "key " << Str(k, "key") << " at " << Str(k, "at_ms") << " ms: " << Str(k, "fate") << "\n";
  }
  if (s.contains("registry_unknown_types"))
    for (const auto& v : s["registry_unknown_types"])
      out << "registry value of an unknown type, kept as it is: " << v.get<std::string>() << "\n";
  const auto& open = s["handles_open"];
  out << "handles left open: " << open.size() << "\n";
  for (const auto& h : open) out << "  " << Str(h, "handle") << " " << Str(h, "what") << " (" << Str(h, "opened_by") << " in " << Str(h, "caller") << " on " << Str(h, "thread") << ")\n";
  if (s.value("misuses", 0) > 0) out << "platform misuses: " << Str(s, "misuses") << " (see the event log)\n";
  if (Str(s, "outcome") == "stuck" || Str(s, "outcome") == "time-limit") {
    out << "threads at the end:\n";
    for (const auto& t : s["threads"]) out << "  " << t.get<std::string>() << "\n";
  }
  if (s.contains("violations")) {
    for (const auto& v : s["violations"])
      out << "INVARIANT VIOLATED: " << Str(v, "invariant") << ": " << Str(v, "detail") << "\n";
  }
  if (s.contains("expected_outcomes")) {
    bool met = false;
    for (const auto& o : s["expected_outcomes"]) met |= o.get<std::string>() == Str(s, "outcome");
    out << "expected outcome: " << (met ? "met" : "NOT MET") << "\n";
  }
  for (const auto& r : s["unused_fault_rules"]) out << "warning: the fault rule '" << r.get<std::string>() << "' never matched a call\n";
}

std::u16string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) line += ' ';
    const std::string& a = args[i];
    if (a.empty() || a.find_first_of(" \t") != std::string::npos) {
      line += '"';
      for (char ch : a)
        if (ch != '"') line += ch;
      line += '"';
    } else {
      line += a;
    }
  }
  return Wide(line);
}

}  // namespace sim
