#include "sim/explore/batch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "sim/checks/expectations.h"
#include "sim/kernel/caller.h"

namespace sim {

namespace {

constexpr unsigned kRunWallLimitSeconds = 120;

void WriteLine(int fd, std::string line) {
  if (line.size() > 4000) line.resize(4000);  // one atomic pipe write per result
  line += '\n';
  [[maybe_unused]] ssize_t n = write(fd, line.data(), line.size());
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[8192];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

std::string Shorten(std::string s) {
  if (s.size() > 300) s = s.substr(0, 297) + "...";
  return s;
}

[[noreturn]] void Child(const BatchItem& item, std::size_t index, int fd) {
  alarm(kRunWallLimitSeconds);
  Json r{{"index", index}, {"seed", item.options.seed}};
  try {
    auto* options = new RunOptions(item.options);
    options->name_host_thread = false;  // nobody watches a batch's runs in a debugger
    const Scenario* scenario = item.scenario;
    if (item.world) scenario = new Scenario(item.world(*item.scenario, *options));
    auto* handset = new Handset(*scenario, *options);
    const CheckedRun run = RunChecked(*handset);
    const Outcome& outcome = run.outcome;
    const Json& summary = run.summary;
    r["outcome"] = outcome.state;
    r["reason"] = Shorten(outcome.reason);
    Json v = Json::array();
    for (const auto& x : summary["violations"])
      if (v.size() < 5) v.push_back({{"invariant", x["invariant"]}, {"detail", Shorten(x["detail"])}});
    r["violations"] = v;
    r["violation_count"] = summary["violations"].size();
    r["expected"] = summary.value("expected_outcomes", Json::array());
    r["unmet"] = UnmetExpectations(summary);
    r["unused_fault_rules"] = summary["unused_fault_rules"];
    if (item.want_sites) r["sites"] = handset->faults.Consultations();
    r["steps"] = handset->kernel.Steps();
  } catch (const std::exception& e) {
    r["crash"] = Shorten(e.what());
  }
  WriteLine(fd, r.dump());
  // Then the call sites this run named, for the worker to hand to the runs after it.
  std::string sites = Json(TakeNewCallSites()).dump() + "\n";
  for (std::size_t off = 0; off < sites.size();) {
    const ssize_t n = write(fd, sites.data() + off, sites.size() - off);
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
  _exit(0);
}

Json RunOne(const BatchItem& item, std::size_t index) {
  int fds[2];
  if (pipe(fds) != 0) return Json{{"index", index}, {"crash", "pipe failed"}};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Child(item, index, fds[1]);
  }
  close(fds[1]);
  const std::string text = ReadAll(fds[0]);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (const auto nl = text.find('\n'); nl != std::string::npos) {
    try {
      AddCallSites(Json::parse(text.substr(nl + 1)).get<std::vector<std::pair<std::uintptr_t, std::string>>>());
    } catch (const Json::exception&) {
      // a run cut short leaves no sites: the next run names them again
    }
    return Json::parse(text.substr(0, nl));
  }
  if (!text.empty()) return Json::parse(text);
  std::string why = "no result";
  if (WIFSIGNALED(status))
    why = WTERMSIG(status) == SIGALRM ? "the run took over " + std::to_string(kRunWallLimitSeconds) + " s of wall time"
                                      : "killed by signal " + std::to_string(WTERMSIG(status));
  return Json{{"index", index}, {"seed", item.options.seed}, {"crash", why}};
}

}  // namespace

bool RunFailed(const BatchResult& r) {
  if (r.contains("crash")) return true;
  if (!r["violations"].empty()) return true;
  if (!r.value("unmet", Json::array()).empty()) return true;  // the scenario's [expect] did not happen
  const std::string outcome = r.value("outcome", "");
  if (outcome != "stuck" && outcome != "time-limit") return false;
  for (const auto& e : r["expected"])
    if (e == outcome) return false;
  return true;
}

void RunBatch(const std::vector<BatchItem>& items, int jobs, bool progress,
              const std::function<void(std::size_t, const BatchResult&)>& on_result) {
  const auto start = std::chrono::steady_clock::now();
  PrepareCallerNames();
  int fds[2];
  if (pipe(fds) != 0) return;
  std::fflush(nullptr);
  std::vector<pid_t> workers;
  for (int j = 0; j < jobs; ++j) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      for (std::size_t i = static_cast<std::size_t>(j); i < items.size(); i += static_cast<std::size_t>(jobs))
        WriteLine(fds[1], RunOne(items[i], i).dump());
      _exit(0);
    }
    workers.push_back(pid);
  }
  close(fds[1]);
  std::string pending;
  char buf[65536];
  std::size_t done = 0, failing = 0;
  auto last = start;
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const Json r = Json::parse(pending.substr(0, nl));
      pending.erase(0, nl + 1);
      ++done;
      failing += RunFailed(r) ? 1 : 0;
      on_result(r["index"].get<std::size_t>(), r);
    }
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - last > std::chrono::milliseconds(500)) {
      last = now;
      const double secs = std::chrono::duration<double>(now - start).count();
      std::fprintf(stderr, "\r%zu/%zu runs, %.0f runs/s, %zu failing   ", done, items.size(), done / secs, failing);
      std::fflush(stderr);
    }
  }
  close(fds[0]);
  for (pid_t w : workers) waitpid(w, nullptr, 0);
  if (progress) std::fprintf(stderr, "\r%70s\r", "");
}

}  // namespace sim
