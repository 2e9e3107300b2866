#include "sim/devices/run_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <type_traits>

#include "sim/base/text.h"
#include "sim/devices/windows.h"

namespace sim {

namespace {

// The one word a single-valued field is written as.
std::string Word(const std::string& v) { return v; }
std::string Word(const std::optional<std::string>& v) { return *v; }
std::string Word(std::uint64_t v) { return std::to_string(v); }
std::string Word(int v) { return std::to_string(v); }

// True when the option's field differs from "not given".
template <typename T>
bool Set(const T& v) {
  if constexpr (std::is_same_v<T, std::optional<std::string>>)
    return v.has_value();
  else if constexpr (std::is_arithmetic_v<T>)
    return v != T{};
  else
    return !v.empty();
}

// The table's rows in their order on a written command line.
const std::vector<const RunOptionRow*>& RowsInLineOrder() {
  static const std::vector<const RunOptionRow*> rows = [] {
    std::vector<const RunOptionRow*> out;
    for (const auto& row : RunOptionTable()) out.push_back(&row);
    std::stable_sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->place < b->place; });
    return out;
  }();
  return rows;
}

// Walks the options in command-line order; `emit` takes each word and whether it is free text.
template <typename Emit>
void Walk(const RunOptions& o, bool with_seed, Emit emit) {
  for (const RunOptionRow* row : RowsInLineOrder()) {
    if (!row->batch && !with_seed) continue;
    std::visit(
        [&](auto member) {
          const auto& value = o.*member;
          using T = std::decay_t<decltype(value)>;
          if (row->written ? !row->written(o) : !Set(value)) return;
          if constexpr (std::is_same_v<T, bool>) {
            emit(row->name, false);
          } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            const bool after_dashes = row->name[0] != '-';
            if (after_dashes) emit("--", false);
            for (const auto& w : value) {
              if (!after_dashes) emit(row->name, false);
              emit(w, row->free_text);
            }
          } else {
            emit(row->name, false);
            emit(Word(value), row->free_text);
          }
        },
        row->field);
  }
}

// A word the shell reads as itself without quotes.
bool Bare(const std::string& word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return std::isalnum(c) || std::string_view("-_.@~:,+/=").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

}  // namespace

const std::vector<RunOptionRow>& RunOptionTable() {
  static const std::vector<RunOptionRow> table = {
      {.name = "--scenario",
       .help = "scenario file (TOML); default: the built-in handset",
       .field = &RunOptions::scenario_file,
       .place = 1,
       .free_text = true,
       .check = ExistingFileProblem,
       .check_name = "FILE"},
      {.name = "--answer",
       .help = "the user's answer to each box in turn: yes|no|cancel|none[@MS[~J]]",
       .field = &RunOptions::answers,
       .place = 6,
       .check =
           [](const std::string& s) {
             return ParseBoxAnswer(s) ? std::string() : "expected yes|no|cancel|none[@MS[~J]]";
           }},
      {.name = "--fail",
       .help = "fail a platform call: OP, OP:DETAIL, OP@N or OP@N+ (repeatable; "
               "devsim --list-fault-sites names the operations)",
       .field = &RunOptions::fail,
       .place = 7,
       .free_text = true,
       .check = FailRuleProblem},
      {.name = "--time-limit",
       .help = "end the run after MS of virtual time",
       .field = &RunOptions::time_limit_ms,
       .place = 8,
       .check = WholeNumberCheck(1, kMaxTimeLimitMs),
       .check_name = "NUMBER"},
      {.name = "--cmdline",
       .help = "the program's raw command line, instead of ARGS",
       .field = &RunOptions::cmdline,
       .place = 9,
       .free_text = true},
      {.name = "--pct",
       .help = "probabilistic priority scheduling instead of uniform random choices",
       .field = static_cast<bool RunOptions::*>(&RunOptions::pct),
       .place = 4},
      {.name = "--pct-depth",
       .help = "bug depth for --pct (d-1 priority change points); needs --pct",
       .field = static_cast<int RunOptions::*>(&RunOptions::pct_depth),
       .place = 5,
       .written = [](const RunOptions& o) { return o.pct; },
       .check = WholeNumberCheck(1, kMaxPctDepth),
       .check_name = "NUMBER",
       .shown_default = "3"},
      {.name = "--knob",
       .help = "turn on one of the fault sweep's device knobs by name (see devsim sweep --list-knobs)",
       .field = &RunOptions::knob,
       .place = 2,
       .check =
           [](const std::string& s) {
             return s.empty() ? std::string("expected a knob's name, not ''") : std::string();
           }},
      {.name = "ARGS",
       .help = "the program's arguments",
       .field = &RunOptions::args,
       .place = 10,
       .free_text = true,
       .written = [](const RunOptions& o) { return !o.cmdline; }},
      {.name = "--seed",
       .help = "scheduling seed; 0 runs threads in a fixed order",
       .field = static_cast<std::uint64_t RunOptions::*>(&RunOptions::seed),
       .place = 3,
       .batch = false,
       .written = [](const RunOptions&) { return true; },
       .check = WholeNumberCheck(0, UINT64_MAX),
       .check_name = "NUMBER",
       .shown_default = "0"},
      {.name = "--schedule",
       .help = "follow a list of scheduling choices (as devsim explore --systematic prints them): "
               "the index of the runnable thread to run at each choice point, d for the fixed order's, "
               "xN for repeats, as in dx12.1.0; the fixed order past its end",
       .field = static_cast<std::string RunOptions::*>(&RunOptions::schedule),
       .place = 3,
       .batch = false,
       // With PCT the kernel follows neither (devsim refuses the pair); the line says the PCT run.
       .written = [](const RunOptions& o) { return !o.schedule.empty() && !o.pct; },
       .check = ScheduleTextProblem,
       .check_name = "CHOICES"},
  };
  return table;
}

const RunOptionRow* FindRunOption(const std::string& name) {
  for (const auto& row : RunOptionTable())
    if (name == row.name) return &row;
  return nullptr;
}

WordCheck WholeNumberCheck(std::uint64_t lo, std::uint64_t hi) {
  return [lo, hi](const std::string& s) -> std::string {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    const bool digits = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!digits || end != s.data() + s.size() || ec != std::errc() || v < lo || v > hi)
      return "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not '" + s + "'";
    return {};
  };
}

// Worded as CLI11's own file check, which devsim's messages have always used.
std::string ExistingFileProblem(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) return "File does not exist: " + path;
  if (std::filesystem::is_directory(status)) return "File is actually a directory: " + path;
  return {};
}

// A detail may hold one colon of its own as device and indexed names do ("SPI5:", "supports:0"),
// no more.
std::string FailRuleProblem(const std::string& rule) {
  const std::string body = rule.substr(0, rule.rfind('@'));
  const std::size_t colon = body.find(':');
  if (colon == std::string::npos) return {};
  const std::string detail = body.substr(colon + 1);
  const std::size_t inner = detail.find(':');
  if (detail.empty() || inner == 0) return "expected OP:DETAIL with a detail after ':', not '" + rule + "'";
  if (inner != std::string::npos && detail.find(':', inner + 1) != std::string::npos)
    return "'" + rule + "' has more than one detail; expected OP:DETAIL";
  const std::string tail = detail.substr(inner == std::string::npos ? detail.size() : inner + 1);
  const bool device_or_index = std::all_of(tail.begin(), tail.end(), [](unsigned char c) { return std::isdigit(c); });
  if (inner != std::string::npos && !device_or_index)
    return "'" + rule + "' has more than one detail (" + detail.substr(0, inner) + " and " + tail +
           "); expected OP:DETAIL";
  return {};
}

std::u16string RunOptions::CommandLine() const { return cmdline ? Wide(*cmdline) : JoinCommandLine(args); }

std::vector<std::string> RunWords(const RunOptions& o, bool with_seed) {
  std::vector<std::string> words;
  Walk(o, with_seed, [&](const std::string& w, bool) { words.push_back(w); });
  return words;
}

std::string RunLine(const RunOptions& o, bool with_seed) {
  std::string line;
  Walk(o, with_seed, [&](const std::string& w, bool free) {
    line += (line.empty() ? "" : " ") + (free || !Bare(w) ? ShellQuote(w) : w);
  });
  return line;
}

std::string ReplayLine(const RunOptions& o) { return "devsim " + RunLine(o); }

std::string ShellQuote(const std::string& text) {
  const bool plain = std::none_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
  if (plain) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  // Control characters: $'...' with every byte that is not plain text as \xHH.
  std::string out = "$'";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\'' || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "'";
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
