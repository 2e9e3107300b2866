// The program's message boxes drawn in the terminal during a real-clock run, so that a person can
// try the handset: the box's caption, text and buttons, how long it has stood and how much time
// is left until another thread of the program stops waiting (the prompt's timeout). Y and N
// answer the box; the answer reaches the handset through Kernel::Post.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/devices/windows.h"
#include "sim/kernel/kernel.h"

namespace sim {

class TerminalBox {
 public:
  // Keys are read from `in_fd`; the box and the trace go to `out`.
  TerminalBox(Kernel& kernel, WindowManager& windows, int in_fd, std::ostream& out);
  ~TerminalBox();
  TerminalBox(const TerminalBox&) = delete;
  TerminalBox& operator=(const TerminalBox&) = delete;

  // Switches the terminal to single keys without echo, hooks the window manager's box callbacks
  // and starts the key reader and the countdown.
  void Start();
  // Stops the key reader and the countdown and gives the terminal its settings back. Safe to
  // call more than once.
  void Stop();
  // Runs `write`, which prints whole lines to the same stream, with the countdown line cleared
  // first (the countdown draws it again at its next tick).
  void Print(const std::function<void()>& write);

  // The framed box as text lines, the text wrapped at word boundaries to `width` columns.
  static std::vector<std::string> Frame(const std::string& caption, const std::string& text, std::size_t width);
  // The countdown line: "shown 2.1 s ago, time left 7.9 s" (without time left when unknown).
  static std::string Status(Micros shown_for, std::optional<Micros> left);

 private:
  struct Standing {
    std::uintptr_t hwnd = 0;
    ThreadId thread = -1;
    Micros shown_at = 0;
  };

  void OnShown(const Window& w);
  void OnClosed(const Window& w);
  void ReadKeys();
  void Countdown();
  void Answer(int result);
  void ClearStatusLocked();
  void DrawStatusLocked(const std::string& status);

  Kernel& kernel_;
  WindowManager& windows_;
  int in_fd_;
  std::ostream& out_;
  std::mutex mu_;
  std::optional<Standing> box_;
  bool status_drawn_ = false;
  std::atomic<bool> stop_{false};
  bool started_ = false;
  std::thread reader_, ticker_;
};

}  // namespace sim
