#include "sim/explore/batch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>

#include "sim/kernel/caller.h"

namespace sim {

namespace {

constexpr unsigned kRunWallLimitSeconds = 120;

void WriteLine(int fd, std::string line) {
  if (line.size() > 4000) line.resize(4000);  // one atomic pipe write per result
  line += '\n';
  [[maybe_unused]] ssize_t n = write(fd, line.data(), line.size());
}

std::string Shorten(std::string s) {
  if (s.size() > 300) s = s.substr(0, 297) + "...";
  return s;
}

// The run's violations as a result line keeps them: the first kListedViolations in full, the
// rest counted by invariant in "violations_not_listed" (a line must fit one pipe write).
constexpr std::size_t kListedViolations = 5;

void AddViolations(const Json& violations, Json& r) {
  Json listed = Json::array();
  Json rest = Json::object();
  for (const auto& x : violations) {
    if (listed.size() < kListedViolations) {
      listed.push_back({{"invariant", x["invariant"]}, {"detail", Shorten(x["detail"])}});
    } else {
      const std::string name = x["invariant"].get<std::string>();
      rest[name] = rest.value(name, std::uint64_t{0}) + 1;
    }
  }
  r["violations"] = std::move(listed);
  r["violation_count"] = violations.size();
  if (!rest.empty()) r["violations_not_listed"] = std::move(rest);
}

// A child process runs at most this many items one after another before the worker starts a
// fresh one, which bounds what the abandoned stacks of parked threads may hold.
constexpr std::size_t kRunsPerChild = 500;

}  // namespace

Json RunItem(const BatchItem& item, std::size_t index, bool& reusable) {
  reusable = false;
  Json r{{"index", index}, {"seed", item.options.seed}};
  try {
    RunOptions options(item.options);
    options.name_host_thread = false;  // nobody watches a batch's runs in a debugger
    std::unique_ptr<Scenario> world;
    if (item.world) world = std::make_unique<Scenario>(item.world(*item.scenario, options));
    auto handset = std::make_unique<Handset>(world ? *world : *item.scenario, options);
    const CheckedRun run = RunChecked(*handset, SummaryScope::kVerdict, {"unused_fault_rules"});
    const Outcome& outcome = run.outcome;
    const Json& summary = run.summary;
    r["outcome"] = outcome.state;
    r["reason"] = Shorten(outcome.reason);
    r["status"] = outcome.exit_status;
    AddViolations(summary["violations"], r);
    r["unmet"] = run.unmet;
    r["unused_fault_rules"] = summary["unused_fault_rules"];
    if (item.want_sites) r["sites"] = handset->faults.Consultations();
    r["steps"] = handset->kernel.Steps();
    // A run on host threads leaves them parked on its kernel for good: that process is done.
    reusable = handset->kernel.Reclaimable();
    if (!reusable) (void)handset.release();
  } catch (const std::exception& e) {
    r["crash"] = Shorten(e.what());
  }
  return r;
}

namespace {

// A child process: runs the worker's items mine[from], mine[from + 1]... writing one result line
// each, and ends with a line of the call sites it named, for the worker to hand on to the next
// child. A child that dies leaves the item it was running without a line.
[[noreturn]] void Child(const std::vector<BatchItem>& items, const std::vector<std::size_t>& mine, std::size_t from,
                        int fd) {
  for (std::size_t k = from; k < mine.size() && k < from + kRunsPerChild; ++k) {
    alarm(kRunWallLimitSeconds);
    bool reusable = false;
    WriteLine(fd, RunItem(items[mine[k]], mine[k], reusable).dump());
    if (!reusable) break;
  }
  alarm(0);
  std::string sites = Json{{"sites", TakeNewCallSites()}}.dump() + "\n";
  for (std::size_t off = 0; off < sites.size();) {
    const ssize_t n = write(fd, sites.data() + off, sites.size() - off);
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
  _exit(0);
}

std::string DeathOf(int status) {
  if (WIFSIGNALED(status))
    return WTERMSIG(status) == SIGALRM ? "the run took over " + std::to_string(kRunWallLimitSeconds) + " s of wall time"
                                       : "killed by signal " + std::to_string(WTERMSIG(status));
  // A sanitizer that catches a fault ends the process with a status of its own.
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    return "the process ended with status " + std::to_string(WEXITSTATUS(status)) + " during the run";
  return "no result";
}

// A worker process: runs its share of the items in a row of child processes and passes each
// result line on to the coordinator on `out`. When a child dies, the item it was running is
// reported as a crash and the next child goes on with the item after it.
void Worker(const std::vector<BatchItem>& items, const std::vector<std::size_t>& mine, int out) {
  std::size_t next = 0;
  while (next < mine.size()) {
    int fds[2];
    if (pipe(fds) != 0) {
      WriteLine(out,
                Json{{"index", mine[next]}, {"seed", items[mine[next]].options.seed}, {"crash", "pipe failed"}}.dump());
      ++next;
      continue;
    }
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      Child(items, mine, next, fds[1]);
    }
    close(fds[1]);
    std::string pending;
    bool finished = false;  // the child wrote its closing line
    char buf[65536];
    auto take_lines = [&] {
      for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (line.rfind("{\"sites\":", 0) == 0) {
          finished = true;
          try {
            AddCallSites(Json::parse(line)["sites"].get<std::vector<std::pair<std::uintptr_t, std::string>>>());
          } catch (const Json::exception&) {
            // a list cut short: the next child names those sites again
          }
        } else {
          WriteLine(out, line);
          ++next;
        }
      }
    };
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
      pending.append(buf, static_cast<std::size_t>(n));
      take_lines();
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!finished && next < mine.size()) {
      WriteLine(
          out,
          Json{{"index", mine[next]}, {"seed", items[mine[next]].options.seed}, {"crash", DeathOf(status)}}.dump());
      ++next;
    }
  }
}

}  // namespace

bool RunFailed(const BatchResult& r) { return r.contains("crash") || r.value("status", 0) != 0; }

Json FailureRecord(const BatchResult& r, Json head) {
  if (r.contains("crash"))
    head["crash"] = r["crash"];
  else
    head["outcome"] = r.value("outcome", "?"), head["reason"] = r.value("reason", "");
  head["violations"] = r.value("violations", Json::array());
  if (r.contains("violations_not_listed")) head["violations_not_listed"] = r["violations_not_listed"];
  return head;
}

void CountViolations(const BatchResult& r, Json& counts) {
  auto add = [&counts](const std::string& name, std::uint64_t n) {
    counts[name] = counts.value(name, std::uint64_t{0}) + n;
  };
  for (const auto& v : r.value("violations", Json::array())) add(v["invariant"].get<std::string>(), 1);
  if (const auto rest = r.find("violations_not_listed"); rest != r.end())
    for (const auto& [name, n] : rest->items()) add(name, n.get<std::uint64_t>());
}

std::string NotListed(const Json& failure) {
  const auto it = failure.find("violations_not_listed");
  if (it == failure.end()) return "";
  std::uint64_t total = 0;
  std::string names;
  for (const auto& [name, n] : it->items()) {
    total += n.get<std::uint64_t>();
    names += " " + name + "=" + std::to_string(n.get<std::uint64_t>());
  }
  return "and " + std::to_string(total) + " more:" + names;
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
      std::vector<std::size_t> mine;
      for (std::size_t i = static_cast<std::size_t>(j); i < items.size(); i += static_cast<std::size_t>(jobs))
        mine.push_back(i);
      Worker(items, mine, fds[1]);
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
