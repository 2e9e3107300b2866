#include "sim/devices/run_options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sim/base/text.h"

namespace sim {

namespace {

// Walks the options in command-line order; `emit` takes each word and whether it is free text.
template <typename Emit>
void Walk(const RunOptions& o, bool with_seed, Emit emit) {
  auto option = [&](const char* name, const std::string& value, bool free) {
    emit(name, false);
    emit(value, free);
  };
  if (!o.scenario_file.empty()) option("--scenario", o.scenario_file, true);
  if (!o.knob.empty()) option("--knob", o.knob, false);
  if (with_seed) option("--seed", std::to_string(o.seed), false);
  if (o.pct) {
    emit("--pct", false);
    option("--pct-depth", std::to_string(o.pct_depth), false);
  }
  for (const auto& a : o.answers) option("--answer", a, false);
  for (const auto& f : o.fail) option("--fail", f, true);
  if (o.time_limit_ms != 0) option("--time-limit", std::to_string(o.time_limit_ms), false);
  if (o.cmdline) {
    option("--cmdline", *o.cmdline, true);
    return;
  }
  emit("--", false);
  for (const auto& a : o.args) emit(a, true);
}

// A word the shell reads as itself without quotes.
bool Bare(const std::string& word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return std::isalnum(c) || std::string_view("-_.@~:,+/=").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

}  // namespace

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
