#include "sim/explore.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "sim/text.h"

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

// Runs one seed in a fresh child process; returns its result as one JSON object.
Json RunSeed(const Scenario& scenario, const ExploreOptions& o, std::uint64_t seed) {
  int fds[2];
  if (pipe(fds) != 0) return Json{{"seed", seed}, {"crash", "pipe failed"}};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(kRunWallLimitSeconds);
    Json r{{"seed", seed}};
    try {
      RunOptions opts = o.base;
      opts.seed = seed;
      opts.pct = o.pct;
      opts.pct_depth = o.pct_depth;
      auto* handset = new Handset(scenario, opts);
      const Outcome outcome = handset->Run();
      const Json summary = handset->Summary();
      r["outcome"] = outcome.state;
      r["reason"] = Shorten(outcome.reason);
      Json v = Json::array();
      for (const auto& x : summary["violations"])
        if (v.size() < 5) v.push_back({{"invariant", x["invariant"]}, {"detail", Shorten(x["detail"])}});
      r["violations"] = v;
      r["expected"] = summary.value("expected_outcomes", Json::array());
    } catch (const std::exception& e) {
      r["crash"] = Shorten(e.what());
    }
    WriteLine(fds[1], r.dump());
    _exit(0);
  }
  close(fds[1]);
  const std::string text = ReadAll(fds[0]);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (text.empty()) {
    const std::string why = WIFSIGNALED(status) ? (WTERMSIG(status) == SIGALRM ? "the run took over "
                                                       + std::to_string(kRunWallLimitSeconds) + " s of wall time"
                                                                                  : "signal " + std::to_string(WTERMSIG(status)))
                                                : "no result";
    return Json{{"seed", seed}, {"crash", why}};
  }
  return Json::parse(text);
}

void Worker(const Scenario& scenario, const ExploreOptions& o, int index, int fd) {
  for (std::uint64_t i = static_cast<std::uint64_t>(index); i < o.runs; i += static_cast<std::uint64_t>(o.jobs))
    WriteLine(fd, RunSeed(scenario, o, o.first_seed + i).dump());
  close(fd);
  _exit(0);
}

bool Failed(const Json& r) {
  if (r.contains("crash")) return true;
  if (!r["violations"].empty()) return true;
  const std::string outcome = r.value("outcome", "");
  if (outcome != "stuck" && outcome != "time-limit") return false;
  for (const auto& e : r["expected"])
    if (e == outcome) return false;
  return true;
}

std::string Replay(const ExploreOptions& o, std::uint64_t seed) {
  std::string cmd = "devsim";
  if (!o.scenario_file.empty()) cmd += " --scenario " + o.scenario_file;
  cmd += " --seed " + std::to_string(seed);
  if (o.pct) cmd += " --pct --pct-depth " + std::to_string(o.pct_depth);
  cmd += o.replay_prefix;
  cmd += " --";
  for (const auto& a : o.args) cmd += " '" + a + "'";
  return cmd;
}

void Report(const Json& r, const ExploreOptions& o, ExploreResult& result, std::ostream& out) {
  ++result.runs;
  ++result.outcomes[r.contains("crash") ? "crash" : r.value("outcome", "?")];
  for (const auto& v : r.value("violations", Json::array())) ++result.violations[v["invariant"].get<std::string>()];
  if (!Failed(r)) return;
  ++result.failures;
  const std::uint64_t seed = r["seed"].get<std::uint64_t>();
  result.failing_seeds.push_back(seed);
  if (result.failures > static_cast<std::uint64_t>(o.max_reported)) return;
  out << "seed " << seed << ": ";
  if (r.contains("crash")) out << "crashed: " << r["crash"].get<std::string>();
  else out << "outcome " << r.value("outcome", "?") << " (" << r.value("reason", "") << ")";
  out << "\n";
  for (const auto& v : r.value("violations", Json::array()))
    out << "  violated " << v["invariant"].get<std::string>() << ": " << v["detail"].get<std::string>() << "\n";
  out << "  replay: " << Replay(o, seed) << "\n";
}

}  // namespace

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  int fds[2];
  ExploreResult result;
  if (pipe(fds) != 0) return result;
  std::cout.flush();
  std::vector<pid_t> workers;
  for (int j = 0; j < o.jobs; ++j) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      Worker(scenario, o, j, fds[1]);
    }
    workers.push_back(pid);
  }
  close(fds[1]);
  std::string pending;
  char buf[65536];
  auto last_progress = start;
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      Report(Json::parse(line), o, result, std::cout);
    }
    const auto now = std::chrono::steady_clock::now();
    if (o.progress && now - last_progress > std::chrono::milliseconds(500)) {
      last_progress = now;
      const double secs = std::chrono::duration<double>(now - start).count();
      std::fprintf(stderr, "\rexplore: %llu/%llu runs, %.0f seeds/s, %llu failing   ",
                   static_cast<unsigned long long>(result.runs), static_cast<unsigned long long>(o.runs),
                   result.runs / std::max(secs, 1e-9), static_cast<unsigned long long>(result.failures));
      std::fflush(stderr);
    }
  }
  close(fds[0]);
  for (pid_t w : workers) waitpid(w, nullptr, 0);
  if (o.progress) std::fprintf(stderr, "\r%80s\r", "");
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "explored " << result.runs << " seeds (" << o.first_seed << " to " << o.first_seed + o.runs - 1
            << ", " << (o.pct ? "PCT depth " + std::to_string(o.pct_depth) : std::string("uniform random"))
            << ") in " << result.seconds << " s: " << result.runs / std::max(result.seconds, 1e-9)
            << " seeds/s on " << o.jobs << " processes\n";
  std::cout << "outcomes:";
  for (const auto& [k, v] : result.outcomes) std::cout << " " << k << "=" << v;
  std::cout << "\n";
  std::cout << "violations:";
  if (result.violations.empty()) std::cout << " none";
  for (const auto& [k, v] : result.violations) std::cout << " " << k << "=" << v;
  std::cout << "\n";
  std::cout << "failing seeds: " << result.failures << "\n";
  return result;
}

}  // namespace sim
