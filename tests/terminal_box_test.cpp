// Real-clock mode at a terminal: devsim draws the auto-shutdown box in the terminal with its
// countdown, and a person answers it with a key or lets the timeout answer it. Driven through a
// pseudo-terminal; each run takes the prompt's real time (about 4 s with an answer, 14 s without).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

// Runs devsim with `args` on a pseudo-terminal. `react` sees all output so far and returns the
// keys to type now (empty: none). Returns the whole output; a run longer than `limit` is killed.
std::string RunOnTerminal(const std::vector<std::string>& args,
                          const std::function<std::string(const std::string&)>& react, std::chrono::seconds limit) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return "forkpty failed";
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("devsim"));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(HS_DEVSIM, argv.data());
    _exit(127);
  }
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[4096];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;  // the child has ended and closed the terminal
      out.append(buf, static_cast<std::size_t>(n));
    }
    const std::string keys = react(out);
    if (!keys.empty() && write(master, keys.data(), keys.size()) < 0) break;
  }
  kill(pid, SIGKILL);  // no effect when it has ended
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  return out;
}

// The first countdown value in seconds, or -1.
double FirstTimeLeft(const std::string& out) {
  const auto at = out.find("time left ");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 10);
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST(TerminalBox, NAnswersTheBoxAndTheHandsetStaysOn) {
  bool typed = false;
  const std::string out = RunOnTerminal(
      {"--clock", "real", "--", "3"},
      [&](const std::string& so_far) {
        if (typed || !Has(so_far, "time left")) return std::string();
        typed = true;
        return std::string("n");
      },
      std::chrono::seconds(40));
  EXPECT_TRUE(typed) << out;
  EXPECT_TRUE(Has(out, "| Warning ")) << out;
  EXPECT_TRUE(Has(out, "| Your device will be powered off in 10 seconds.")) << out;
  EXPECT_TRUE(Has(out, "[Y] Yes")) << out;
  const double left = FirstTimeLeft(out);
  EXPECT_GT(left, 0.0) << out;
  EXPECT_LE(left, 10.5) << out;
  EXPECT_TRUE(Has(out, "box 'Warning' closed: No")) << out;
  EXPECT_TRUE(Has(out, "[UIAutoShutDown] Ret = IDNO")) << out;
  EXPECT_TRUE(Has(out, "outcome: on (")) << out;
}

TEST(TerminalBox, WithoutAKeyTheTimeoutSwitchesTheHandsetOff) {
  // The forced suspend ends the run, so that it does not wait out the watchdog's minute.
  const std::string scenario = ::testing::TempDir() + "terminal_box_suspend.toml";
  std::ofstream(scenario) << "base = \"builtin\"\n[power]\nsuspend = \"ends_run\"\n";
  const std::string out = RunOnTerminal(
      {"--clock", "real", "--scenario", scenario, "--", "3"}, [](const std::string&) { return std::string(); },
      std::chrono::seconds(60));
  EXPECT_TRUE(Has(out, "| Warning ")) << out;
  EXPECT_GT(FirstTimeLeft(out), 0.0) << out;
  EXPECT_TRUE(Has(out, "[AutoShutdownThread] Time out, shutdown start...")) << out;
  EXPECT_TRUE(Has(out, "box 'Warning' closed: Yes")) << out;
  EXPECT_TRUE(Has(out, "outcome: suspended (")) << out;
}

// An answer typed at the terminal is part of the run: its replay line gives the same ending.
TEST(TerminalBox, TheReplayLineCarriesTheAnswerTypedAtTheTerminal) {
  bool typed = false;
  std::string out = RunOnTerminal(
      {"--clock", "real", "--", "3"},
      [&](const std::string& so_far) {
        if (typed || !Has(so_far, "time left")) return std::string();
        typed = true;
        return std::string("n");
      },
      std::chrono::seconds(40));
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
  const auto at = out.find("replay: devsim ");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string replay = out.substr(at + 15, out.find('\n', at) - at - 15);
  EXPECT_TRUE(Has(replay, "--answer no@")) << replay;
  EXPECT_TRUE(Has(out, "answer no by person at the terminal at ")) << out;
  const testing_support::DevsimOutput replayed = testing_support::DevsimCommand("-q " + replay, true);
  const std::string& again = replayed.out;
  EXPECT_EQ(replayed.status, 0) << again;
  auto line = [](const std::string& text, const std::string& start) {
    const auto from = text.find(start);
    return from == std::string::npos ? std::string("(none)") : text.substr(from, text.find('\n', from) - from);
  };
  EXPECT_EQ(line(again, "outcome: "), line(out, "outcome: ")) << again;
  EXPECT_EQ(line(again, "LCD: "), line(out, "LCD: ")) << again;
  EXPECT_EQ(line(again, "radio: "), line(out, "radio: ")) << again;
  EXPECT_TRUE(Has(again, "answer no by user")) << again;
}
