#include "tests/harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "sim/base/text.h"
#include "sim/checks/checked_run.h"
#include "sim/views/report.h"

namespace testing_support {

namespace {

void WriteAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// Runs `body` as the handset's main thread in place of the program's entry point.
sim::Json RunBody(sim::Handset& handset, const std::function<sim::Json()>& body) {
  sim::Json value;
  const sim::ThreadId main = handset.kernel.Spawn(
      "main",
      [&] {
        value = body();
        handset.kernel.End(sim::EndKind::kProcessEnded, "the routine returned");
      },
      false);
  handset.timeline.Start(handset.kernel);
  const sim::RunEnd end = handset.kernel.Run(main);
  return end.kind == sim::EndKind::kProcessEnded ? value : sim::Json("the run ended: " + end.reason);
}

// Runs one spec in this process and describes the run; the handset is torn down afterwards
// when its kernel allows, so that the process may run another.
sim::Json RunHere(const RunSpec& spec, const std::function<sim::Json()>* body) {
  sim::Json out;
  try {
    sim::Scenario scenario =
        spec.scenario.empty() ? sim::Scenario::Builtin() : sim::Scenario::FromText(spec.scenario, "test.toml");
    const sim::RunOptions& opts = spec;
    auto handset = std::make_unique<sim::Handset>(scenario, opts);
    if (body != nullptr) {
      out["value"] = RunBody(*handset, *body);
      out["outcome"] = "routine";
      out["exit_status"] = 0;
    } else {
      const sim::Outcome outcome = sim::RunChecked(*handset).outcome;
      out["outcome"] = outcome.state;
      out["exit_status"] = outcome.exit_status;
    }
    out["summary"] = sim::CheckedSummary(*handset);
    sim::Json lines = sim::Json::array();
    for (const auto& l : handset->debug.Lines())
      lines.push_back({static_cast<double>(l.at) / 1000.0, l.thread, l.text});
    out["lines"] = lines;
    out["raw"] = handset->debug.Raw();
    if (spec.keep_events) out["events"] = handset->events.ToJson();
    if (!handset->kernel.Reclaimable()) (void)handset.release();  // host threads stay parked on it
  } catch (const std::exception& e) {
    out["error"] = e.what();
  }
  return out;
}

[[noreturn]] void Child(const std::vector<RunSpec>& specs, int fd, const std::function<sim::Json()>* body) {
  sim::Json out = sim::Json::array();
  for (const RunSpec& spec : specs) out.push_back(RunHere(spec, body));
  WriteAll(fd, out.dump(-1, ' ', false, sim::Json::error_handler_t::replace));
  close(fd);
  _exit(0);
}

RunResult ResultOf(sim::Json& j) {
  RunResult r;
  if (j.contains("error")) {
    r.error = j["error"].get<std::string>();
    return r;
  }
  r.outcome = j["outcome"].get<std::string>();
  r.exit_status = j["exit_status"].get<int>();
  r.summary = j["summary"];
  if (j.contains("value")) r.value = j["value"];
  for (const auto& l : j["lines"])
    r.lines.push_back(Line{l[0].get<double>(), l[1].get<std::string>(), l[2].get<std::string>()});
  r.raw_trace = j["raw"].get<std::string>();
  if (j.contains("events"))
    for (auto& e : j["events"]) r.events.push_back(std::move(e));
  return r;
}

// Runs `specs` one after another in one child process.
std::vector<RunResult> RunAllInChild(const std::vector<RunSpec>& specs, const std::function<sim::Json()>* body) {
  std::vector<RunResult> results(specs.size());
  int fds[2];
  if (pipe(fds) != 0) {
    for (auto& r : results) r.error = "pipe failed";
    return results;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Child(specs, fds[1], body);
  }
  close(fds[1]);
  const std::string text = ReadAll(fds[0]);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || text.empty()) {
    for (auto& r : results) r.error = "the run crashed (status " + std::to_string(status) + ")";
    return results;
  }
  sim::Json all = sim::Json::parse(text);
  for (std::size_t i = 0; i < specs.size(); ++i) results[i] = ResultOf(all.at(i));
  return results;
}

RunResult RunInChild(const RunSpec& spec, const std::function<sim::Json()>* body) {
  return RunAllInChild({spec}, body).front();
}

}  // namespace

// A fresh process per run, started with exec rather than a fork of the test binary (much cheaper
// under ThreadSanitizer).
RunResult RunDevsim(const RunSpec& spec) {
  RunResult r;
  char dir_template[] = "/tmp/devsim-test-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) {
    r.error = "mkdtemp failed";
    return r;
  }
  const std::string scenario_file = std::string(dir) + "/test.toml";
  const std::string report_file = std::string(dir) + "/report.json";
  sim::RunOptions options = spec;
  if (!spec.scenario.empty()) {
    FILE* f = std::fopen(scenario_file.c_str(), "w");
    std::fwrite(spec.scenario.data(), 1, spec.scenario.size(), f);
    std::fclose(f);
    options.scenario_file = scenario_file;
  }
  std::vector<std::string> argv = {HS_DEVSIM, "--quiet", "--report", report_file};
  for (auto& w : sim::RunWords(options)) argv.push_back(std::move(w));
  int err_pipe[2];
  if (pipe(err_pipe) != 0) {
    r.error = "pipe failed";
    return r;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err_pipe[1], 2);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    close(err_pipe[0]);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(err_pipe[1]);
  const std::string err = ReadAll(err_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream in(report_file);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(report_file.c_str());
  std::remove(scenario_file.c_str());
  rmdir(dir);
  if (!WIFEXITED(status) || text.str().empty()) {
    r.error = err.empty() ? "devsim crashed (status " + std::to_string(status) + ")" : err;
    return r;
  }
  sim::Json j = sim::Json::parse(text.str());
  r.outcome = j["outcome"].get<std::string>();
  r.exit_status = j["exit_status"].get<int>();
  r.summary = j["summary"];
  for (const auto& l : j["lines"])
    r.lines.push_back(Line{l[0].get<double>(), l[1].get<std::string>(), l[2].get<std::string>()});
  r.raw_trace = j["raw"].get<std::string>();
  if (spec.keep_events)
    for (auto& e : j["events"]) r.events.push_back(std::move(e));
  return r;
}

DevsimOutput DevsimCommand(const std::string& args, bool merge) {
  DevsimOutput r;
  char err_template[] = "/tmp/devsim-err-XXXXXX";
  const int err_fd = mkstemp(err_template);
  if (err_fd < 0) return r;
  close(err_fd);
  const std::string cmd =
      std::string(HS_DEVSIM) + " " + args + " </dev/null" + (merge ? " 2>&1" : std::string(" 2>") + err_template);
  std::fflush(nullptr);
  FILE* p = popen(cmd.c_str(), "r");
  if (p != nullptr) {
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) r.out.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::ifstream err(err_template);
  std::stringstream text;
  text << err.rdbuf();
  r.err = text.str();
  std::remove(err_template);
  return r;
}

namespace {

// Fails the calling test when the run broke an invariant it does not name, or did not break one
// it names.
RunResult Judged(const RunSpec& spec, RunResult r) {
  if (!r.error.empty()) return r;
  const std::vector<std::string> found = r.Violations();
  for (const auto& v : r.summary.value("violations", sim::Json::array())) {
    const std::string name = v.value("invariant", "");
    if (std::find(spec.expect_violations.begin(), spec.expect_violations.end(), name) == spec.expect_violations.end())
      ADD_FAILURE() << "the run broke the invariant " << name << ": " << v.value("detail", "") << "\n" << r.Dump();
  }
  for (const auto& name : spec.expect_violations)
    if (std::find(found.begin(), found.end(), name) == found.end())
      ADD_FAILURE() << "the run was meant to break " << name << " and did not\n" << r.Dump();
  return r;
}

}  // namespace

RunResult Run(const RunSpec& spec) { return Judged(spec, spec.entry ? RunInChild(spec, nullptr) : RunDevsim(spec)); }

std::vector<RunResult> RunInOneProcess(const std::vector<RunSpec>& specs) {
  std::vector<RunResult> results = RunAllInChild(specs, nullptr);
  for (std::size_t i = 0; i < specs.size(); ++i) results[i] = Judged(specs[i], std::move(results[i]));
  return results;
}

RunResult RunRoutine(const RunSpec& spec, std::function<sim::Json()> body) {
  return Judged(spec, RunInChild(spec, &body));
}

std::vector<std::string> RunResult::Violations() const {
  std::vector<std::string> out;
  for (const auto& v : summary.value("violations", sim::Json::array())) out.push_back(v.value("invariant", ""));
  return out;
}

RunResult RunBuiltin(const std::string& overrides, std::vector<std::string> args, std::vector<std::string> answers) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n" + overrides;
  spec.args = std::move(args);
  spec.answers = std::move(answers);
  return Run(spec);
}

int RunResult::Find(const std::string& text, int from) const {
  for (int i = std::max(0, from); i < static_cast<int>(lines.size()); ++i)
    if (lines[i].text.find(text) != std::string::npos) return i;
  return -1;
}

int RunResult::Count(const std::string& text) const {
  int n = 0;
  for (const auto& l : lines) n += l.text.find(text) != std::string::npos ? 1 : 0;
  return n;
}

bool RunResult::InOrder(const std::vector<std::string>& texts) const {
  int at = 0;
  for (const auto& t : texts) {
    const int i = Find(t, at);
    if (i < 0) return false;
    at = i + 1;
  }
  return true;
}

std::vector<sim::Json> RunResult::Calls(const std::string& op) const {
  std::vector<sim::Json> out;
  for (const auto& e : events)
    if (e.value("kind", "") == "call" && e.value("op", "") == op) out.push_back(e);
  return out;
}

std::vector<sim::Json> RunResult::DeviceEvents(const std::string& op) const {
  std::vector<sim::Json> out;
  for (const auto& e : events)
    if (e.value("kind", "") == "device" && e.value("op", "") == op) out.push_back(e);
  return out;
}

std::string RunResult::Dump() const {
  std::ostringstream out;
  if (!error.empty()) out << "error: " << error << "\n";
  out << "outcome: " << outcome << "\n";
  for (const auto& l : lines) out << l.at_ms << " " << l.thread << "| " << l.text << "\n";
  return out.str();
}

}  // namespace testing_support
