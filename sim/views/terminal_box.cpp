#include "sim/views/terminal_box.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sstream>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/handset.h"
#include "sim/views/report.h"

namespace sim {

namespace {

constexpr std::size_t kFrameWidth = 60;
constexpr auto kCountdownPeriod = std::chrono::milliseconds(100);

// The terminal's settings before the run, restored on Stop and on a fatal signal.
struct SavedTerminal {
  int fd = -1;
  termios settings{};
  bool saved = false;
};
SavedTerminal g_saved;

void RestoreTerminal() {
  if (g_saved.saved) tcsetattr(g_saved.fd, TCSANOW, &g_saved.settings);
}

void RestoreAndReraise(int sig) {
  RestoreTerminal();  // tcsetattr is async-signal-safe
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Single keys without echo; Ctrl-C still interrupts.
void EnterKeyMode(int fd) {
  if (!isatty(fd) || tcgetattr(fd, &g_saved.settings) != 0) return;
  g_saved.fd = fd;
  g_saved.saved = true;
  termios keys = g_saved.settings;
  keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &keys);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, RestoreAndReraise);
}

std::string Seconds(Micros t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(t) / 1e6);
  return buf;
}

std::string ResultName(int result) {
  switch (result) {
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    case IDCANCEL:
      return "Cancel";
    default:
      return std::to_string(result);
  }
}

// Splits `text` into lines of at most `width` bytes at blanks (a longer word stands alone).
std::vector<std::string> Wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::istringstream words(text);
  std::string word, line;
  while (words >> word) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

TerminalBox::TerminalBox(Kernel& kernel, WindowManager& windows, int in_fd, std::ostream& out)
    : kernel_(kernel), windows_(windows), in_fd_(in_fd), out_(out) {}

TerminalBox::~TerminalBox() { Stop(); }

void TerminalBox::Start() {
  if (started_) return;
  started_ = true;
  EnterKeyMode(in_fd_);
  windows_.on_box_shown = [this](const Window& w) { OnShown(w); };
  windows_.on_box_closed = [this](const Window& w) { OnClosed(w); };
  reader_ = std::thread([this] { ReadKeys(); });
  ticker_ = std::thread([this] { Countdown(); });
}

void TerminalBox::Stop() {
  if (!started_) return;
  started_ = false;
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (ticker_.joinable()) ticker_.join();
  {
    std::lock_guard lk(mu_);
    ClearStatusLocked();
    out_.flush();
  }
  RestoreTerminal();
  g_saved.saved = false;
}

void TerminalBox::Print(const std::function<void()>& write) {
  std::lock_guard lk(mu_);
  ClearStatusLocked();  // the countdown draws it again at its next tick
  write();
  out_.flush();
}

std::vector<std::string> TerminalBox::Frame(const std::string& caption, const std::string& text, std::size_t width) {
  const std::string rule = "+" + std::string(width + 2, '-') + "+";
  auto row = [width](const std::string& s) {
    return "| " + s + std::string(width > s.size() ? width - s.size() : 0, ' ') + " |";
  };
  std::vector<std::string> out{rule, row(caption), row("")};
  for (const auto& line : Wrap(text, width)) out.push_back(row(line));
  out.push_back(row(""));
  out.push_back(row("        [Y] Yes                 [N] No"));
  out.push_back(rule);
  return out;
}

std::string TerminalBox::Status(Micros shown_for, std::optional<Micros> left) {
  std::string s = "shown " + Seconds(shown_for) + " ago";
  if (left) s += ", time left " + Seconds(*left);
  return s;
}

void TerminalBox::OnShown(const Window& w) {
  std::lock_guard lk(mu_);
  ClearStatusLocked();
  out_ << "\n";
  for (const auto& line : Frame(Printable(Narrow(w.title)), Printable(Narrow(w.text)), kFrameWidth))
    out_ << line << "\n";
  out_.flush();
  box_ = Standing{w.hwnd, w.thread, w.shown_at};
}

void TerminalBox::OnClosed(const Window& w) {
  std::lock_guard lk(mu_);
  if (!box_ || box_->hwnd != w.hwnd) return;
  ClearStatusLocked();
  out_ << "box '" << Printable(Narrow(w.title)) << "' closed: " << ResultName(w.result) << "\n";
  out_.flush();
  box_.reset();
}

void TerminalBox::ReadKeys() {
  while (!stop_) {
    pollfd p{in_fd_, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready <= 0) continue;
    char keys[16];
    const ssize_t n = read(in_fd_, keys, sizeof keys);
    if (n <= 0) return;  // end of input: nobody will answer from here
    for (ssize_t i = 0; i < n; ++i) {
      if (keys[i] == 'y' || keys[i] == 'Y') Answer(IDYES);
      if (keys[i] == 'n' || keys[i] == 'N') Answer(IDNO);
    }
  }
}

// Redraws the countdown line while a box stands. The kernel is asked outside mu_, since the
// handset's threads call into this class without holding the kernel's lock.
void TerminalBox::Countdown() {
  while (!stop_) {
    std::this_thread::sleep_for(kCountdownPeriod);
    ThreadId box_thread = -1;
    {
      std::lock_guard lk(mu_);
      if (!box_) continue;
      box_thread = box_->thread;
    }
    const Micros now = kernel_.PacedNow();
    const auto wait = kernel_.EarliestTimedWait(box_thread);
    std::lock_guard lk(mu_);
    if (!box_) continue;
    std::optional<Micros> left;
    if (wait) left = wait->deadline > now ? wait->deadline - now : 0;
    DrawStatusLocked(Status(now > box_->shown_at ? now - box_->shown_at : 0, left));
    out_.flush();
  }
}

void TerminalBox::Answer(int result) {
  std::uintptr_t hwnd = 0;
  {
    std::lock_guard lk(mu_);
    if (!box_) return;
    hwnd = box_->hwnd;
  }
  WindowManager* windows = &windows_;
  kernel_.Post([windows, hwnd, result] { windows->AnswerBox(hwnd, result, "person at the terminal"); });
}

void TerminalBox::ClearStatusLocked() {
  if (!status_drawn_) return;
  out_ << "\r\033[K";
  status_drawn_ = false;
}

void TerminalBox::DrawStatusLocked(const std::string& status) {
  out_ << "\r\033[K  " << status << "   (Y: yes, N: no)";
  status_drawn_ = true;
}

}  // namespace sim
