// Top-level windows of the handset: the program's message boxes (class "Dialog", titled with
// their caption, closed by WM_COMMAND IDYES from another thread or by the user's answer), boxes
// and application windows of other processes, the foreground window, and window enumeration.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/devices/sync.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct Window {
  std::uintptr_t hwnd = 0;
  std::u16string cls;
  std::u16string title;
  std::uint32_t pid = 0;
  bool visible = true;
  bool alive = true;
  // Application windows: what WM_CLOSE does ("close" or "ignore").
  std::string on_close = "close";
  Micros close_delay = 5 * kMicrosPerMs;  // how long the application takes to obey WM_CLOSE
  int close_requests = 0;
  // Message boxes of the program.
  bool is_box = false;
  std::u16string text;
  std::uint32_t style = 0;
  ThreadId thread = -1;
  int result = 0;
  Micros shown_at = 0;
  std::shared_ptr<EventObject> answered;  // set when the box has been given its result
  std::shared_ptr<EventObject> handled;   // set once the box's thread has handled it
};

// The user's answer to a box: "yes", "no", "cancel" or "none", optionally "@MS" after it shows
// and "~J" for a seeded random offset of up to J ms either way.
struct BoxAnswer {
  int result = 0;  // 0: no answer
  Micros after = 0;
  Micros jitter = 0;  // "@MS~J": the answer comes MS +- J ms after the box shows (seeded)
};
// Parses an answer; returns nothing for a malformed one.
std::optional<BoxAnswer> ParseBoxAnswer(const std::string& text);

class WindowManager {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Reads [user] answers (unless `answers` overrides them), [windows] post_message_cost_us and
  // the windows of [[other_process]] entries.
  void Configure(const Section& root, const std::vector<std::string>& answers);
  // Registers the timeline actions show_box and close_box.
  void RegisterActions(class Timeline& timeline);

  // Adds a top-level window; returns its handle value (low bit clear).
  std::uintptr_t Add(Window w);
  Window* Find(std::uintptr_t hwnd);  // alive windows only
  bool EverExisted(std::uintptr_t hwnd) const;
  // First alive window matching class and title (null matches any), most recent first.
  Window* FindByClassAndTitle(const char16_t* cls, const char16_t* title);
  std::vector<Window*> TopLevel();  // alive windows in enumeration order
  // Brings a window to the front; `by_program` records it among the program's requests.
  void SetForeground(std::uintptr_t hwnd, bool by_program = true);
  std::uintptr_t Foreground() const { return foreground_; }

  // Gives a standing box its result (the user or a WM_COMMAND); false when it no longer stands.
  bool AnswerBox(std::uintptr_t hwnd, int result, const std::string& by);
  // Closes a window (WM_CLOSE that the window obeys, or its process ending).
  void Close(std::uintptr_t hwnd, const std::string& why);
  // Virtual time a PostMessageW holds its caller (a busy handset); 0 by default.
  Micros PostMessageCost() const { return post_message_cost_; }
  // Answer planned for the next box shown.
  BoxAnswer NextAnswer();
  // A box is waiting for an answer that nothing will give.
  const Window* BoxWaitingForever() const;
  // Called when a box appears (the runner draws it in the terminal).
  std::function<void(const Window&)> on_box_shown;
  std::function<void(const Window&)> on_box_closed;

  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;
  const std::deque<Window>& All() const { return windows_; }

 private:
  std::deque<Window> windows_;
  std::uintptr_t foreground_ = 0;
  std::uintptr_t next_ = 0x10010;
  std::vector<BoxAnswer> answers_;
  std::size_t boxes_shown_ = 0;
  std::vector<std::uintptr_t> pending_answer_;  // boxes with an answer still to come
  std::vector<std::string> foregrounds_;
  Micros post_message_cost_ = 0;
};

}  // namespace sim
