// A single run: the trace (or the calls) as it happens, the summary, the replay line and the
// files the options ask for.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include "runner/commands.h"
#include "sim/base/text.h"
#include "sim/checks/checked_run.h"
#include "sim/explore/explore.h"
#include "sim/views/chrome_trace.h"
#include "sim/views/report.h"
#include "sim/views/terminal_box.h"
#include "sim/views/timeline_svg.h"

namespace devsim {

namespace {

// The files a run writes, opened before it starts so that a path that cannot be written is a
// usage error at once rather than a late surprise after a long run.
struct Outputs {
  std::ofstream events, trace, summary, report;
  std::string error;

  explicit Outputs(const Args& a) {
    Open(events, a.events_file, std::ios::out);
    Open(trace, a.trace_file, std::ios::out | std::ios::binary);
    Open(summary, a.summary_json, std::ios::out);
    Open(report, a.report_file, std::ios::out);
    // The picture writers open their own files; make sure they will be able to.
    for (const std::string* path : {&a.chrome_trace_file, &a.timeline_file}) {
      std::ofstream probe;
      Open(probe, *path, std::ios::out);
    }
  }

  void Open(std::ofstream& out, const std::string& path, std::ios::openmode mode) {
    if (path.empty() || !error.empty()) return;
    out.open(path, mode);
    if (!out) error = "cannot write " + path + ": " + std::strerror(errno);
  }
};

// The scripted answers in force: those of the command line, else the scenario's.
std::vector<std::string> ScriptedAnswers(const Args& a, const sim::Scenario& scenario) {
  if (!a.run.answers.empty()) return a.run.answers;
  if (auto user = scenario.Root().Table("user")) return user->Strings("answers");
  return {};
}

// The answers that replay the run: the scripted ones, with those a person gave at the terminal
// written in as the answer and its delay after the box showed.
std::vector<std::string> ReplayAnswers(const Args& a, const sim::Scenario& scenario, const sim::Json& summary) {
  const std::vector<std::string> scripted = ScriptedAnswers(a, scenario);
  const sim::Json boxes = summary.value("boxes", sim::Json::array());
  bool by_person = false;
  for (const auto& b : boxes) by_person |= b.value("answered_by", "") == "person at the terminal";
  if (!by_person) return a.run.answers;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].value("answered_by", "") == "person at the terminal") {
      out.push_back(boxes[i].value("result", "none") + "@" + std::to_string(boxes[i].value("answer_after_ms", 0)));
    } else if (!scripted.empty()) {
      out.push_back(scripted[std::min(i, scripted.size() - 1)]);
    } else {
      out.push_back("none");
    }
  }
  return out;
}

// The command that replays the run: the options as given (the knob by its listed name), with the
// answers that replay it.
std::string ReplayCommand(const Args& a, const std::vector<std::string>& answers) {
  sim::RunOptions replay = a.run;
  replay.answers = answers;
  if (const sim::DeviceKnob* k = FindKnob(a.run.knob)) replay.knob = KnobSlug(k->name);
  return sim::ReplayLine(replay);
}

sim::Json Report(const sim::Handset& handset, const std::vector<sim::Json>& events, const sim::Json& summary,
                 int status) {
  sim::Json report;
  report["outcome"] = summary.value("outcome", "");
  report["exit_status"] = status;
  report["summary"] = summary;
  sim::Json lines = sim::Json::array();
  for (const auto& l : handset.debug.Lines()) lines.push_back({static_cast<double>(l.at) / 1000.0, l.thread, l.text});
  report["lines"] = lines;
  report["raw"] = handset.debug.Raw();
  report["events"] = events;
  return report;
}

// Writes the files; returns false (after a message) when one could not be written in full.
bool WriteOutputs(const Args& a, Outputs& files, const sim::Handset& handset, const std::vector<sim::Json>& events,
                  const sim::Json& summary, int status) {
  bool ok = true;
  auto done = [&](std::ofstream& out, const std::string& path) {
    if (path.empty()) return;
    out.close();
    if (!out) {
      std::cerr << "devsim: cannot write " << path << "\n";
      ok = false;
    }
  };
  if (!a.events_file.empty()) handset.events.WriteJsonLines(files.events);
  done(files.events, a.events_file);
  if (!a.trace_file.empty()) files.trace << handset.debug.Raw();
  done(files.trace, a.trace_file);
  if (!a.report_file.empty())
    files.report << Report(handset, events, summary, status).dump(-1, ' ', false, sim::Json::error_handler_t::replace)
                 << "\n";
  done(files.report, a.report_file);
  if (!a.summary_json.empty())
    files.summary << summary.dump(2, ' ', false, sim::Json::error_handler_t::replace) << "\n";
  done(files.summary, a.summary_json);
  const sim::RunRecord record{events, handset.debug.Lines(), summary};
  if (!a.chrome_trace_file.empty() && !sim::WriteChromeTrace(record, a.chrome_trace_file)) {
    std::cerr << "devsim: cannot write the Chrome trace to " << a.chrome_trace_file << "\n";
    ok = false;
  }
  sim::TimelineOptions picture;
  picture.linear = a.timeline_scale == "linear";
  if (!a.timeline_file.empty() && !sim::WriteTimelineSvg(record, a.timeline_file, picture)) {
    std::cerr << "devsim: cannot write the timeline to " << a.timeline_file << "\n";
    ok = false;
  }
  return ok;
}

// A scenario written for other arguments: its expectations say nothing about this run, which is
// judged without them.
void DropForeignExpectations(const std::string& note, sim::Json& summary) {
  if (note.empty()) return;
  summary.erase("expected_outcomes");
  summary.erase("expected_ertc");
}

}  // namespace

int RunOnce(const Args& a) {
  const sim::Scenario scenario = LoadScenario(a.run);
  Outputs files(a);
  if (!files.error.empty()) {
    std::cerr << "devsim: " << files.error << "\n";
    return 2;
  }
  sim::RunOptions opts = ResolvedOptions(a.run, scenario);
  if (const std::string note = ModeNote(opts); !note.empty()) std::cerr << "devsim: note: " << note << "\n";
  opts.real_clock = a.clock == "real";
  opts.interactive = opts.real_clock && isatty(0) && isatty(1);
  if (opts.pct)  // the same horizon as the explorer's
    if (const std::uint64_t steps = sim::LearnRunLength(scenario, opts); steps != 0) opts.pct_steps = steps;
  auto* handset = new sim::Handset(scenario, opts);  // lives until the process exits with its threads
  sim::TracePrinter printer(std::cout);
  // With a person at the terminal, boxes are drawn there and answered with Y and N.
  std::unique_ptr<sim::TerminalBox> terminal;
  if (opts.interactive) {
    terminal = std::make_unique<sim::TerminalBox>(handset->kernel, handset->windows, 0, std::cout);
    terminal->Start();
  }
  if (!a.quiet && !a.calls) {
    handset->debug.OnLine([&](const sim::TraceLine& l) {
      if (terminal)
        terminal->Print([&] { printer.Print(l); });
      else
        printer.Print(l);
    });
  }
  handset->Run();
  sim::Json summary = handset->Summary();
  const std::string foreign = ForeignExpectations(a.run, scenario);
  DropForeignExpectations(foreign, summary);
  const int status = sim::JudgeRun(*handset, summary).status;
  if (terminal) terminal->Stop();
  printer.Flush();
  // The log as JSON, for the report, the listing of calls and the views.
  const std::vector<sim::Json> events = handset->events.ToJson();
  sim::AddBoxAnswers(summary, events, ScriptedAnswers(a, scenario));
  if (!foreign.empty()) summary["expectations_skipped"] = foreign;
  if (a.calls && !a.quiet)
    for (const auto& e : events)
      if (e.value("kind", "") == "call") std::cout << sim::FormatCall(e) << "\n";
  if (!a.quiet) std::cout << "----\n";
  sim::PrintSummary(std::cout, summary);
  if (summary.contains("expectations_skipped"))
    std::cout << "expected outcome: not checked (" << summary["expectations_skipped"].get<std::string>() << ")\n";
  std::cout << "replay: " << ReplayCommand(a, ReplayAnswers(a, scenario, summary)) << "\n";
  const bool written = WriteOutputs(a, files, *handset, events, summary, status);
  return !written && status == 0 ? 2 : status;
}

}  // namespace devsim
