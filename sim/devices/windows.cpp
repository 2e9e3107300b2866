#include "sim/devices/windows.h"

#include <algorithm>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"
#include "sim/scenario/timeline.h"

namespace sim {

std::optional<BoxAnswer> ParseBoxAnswer(const std::string& text) {
  BoxAnswer a;
  std::string word = text;
  auto digits = [](const std::string& t) {
    return !t.empty() && t.size() <= 12 && t.find_first_not_of("0123456789") == std::string::npos;
  };
  if (auto at = text.find('@'); at != std::string::npos) {
    word = text.substr(0, at);
    std::string ms = text.substr(at + 1);
    if (auto tilde = ms.find('~'); tilde != std::string::npos) {
      const std::string j = ms.substr(tilde + 1);
      if (!digits(j)) return std::nullopt;
      a.jitter = std::stoull(j) * kMicrosPerMs;
      ms.resize(tilde);
    }
    if (ms.empty() || ms.size() > 12 || ms.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    a.after = std::stoull(ms) * kMicrosPerMs;
  }
  if (word == "yes")
    a.result = IDYES;
  else if (word == "no")
    a.result = IDNO;
  else if (word == "cancel")
    a.result = IDCANCEL;
  else if (word == "none")
    a.result = 0;
  else
    return std::nullopt;
  return a;
}

void WindowManager::Configure(const Section& root, const std::vector<std::string>& answers) {
  std::vector<std::string> texts = answers;
  if (auto user = root.Table("user")) {
    if (texts.empty())
      texts = user->Strings("answers");
    else
      user->Strings("answers");
    user->CheckNoUnknownKeys();
  }
  for (const auto& t : texts) {
    auto a = ParseBoxAnswer(t);
    if (!a) throw ScenarioError("answer '" + t + "': expected yes, no, cancel or none, optionally followed by @MS");
    answers_.push_back(*a);
  }
  if (auto w = root.Table("windows")) {
    post_message_cost_ = static_cast<Micros>(w->Int("post_message_cost_us", 0, 0, 10000000));
    w->CheckNoUnknownKeys();
  }
  for (const Section& proc : root.Tables("other_process")) {
    const std::uint32_t pid = proc.U32("pid", 0x3F0);
    proc.String("name", "");
    if (auto box = proc.Table("box")) {
      Window w;
      w.cls = Wide(box->String("class", "Dialog"));
      w.title = Wide(box->String("title", "Warning"));
      w.pid = pid;
      Add(std::move(w));
      box->CheckNoUnknownKeys();
    }
  }
}

void WindowManager::RegisterActions(Timeline& timeline) {
  timeline.Register("show_box", [this](const Section& e) -> Timeline::Action {
    Window w;
    w.cls = Wide(e.String("class", "Dialog"));
    w.title = Wide(e.String("title", "Warning"));
    w.pid = e.U32("pid", 0x3F0);
    return [this, w] {
      Add(w);
      Dev().Note("windows", "show_box", {{"title", Narrow(w.title)}});
    };
  });
  timeline.Register("close_box", [this](const Section& e) -> Timeline::Action {
    const std::u16string title = Wide(e.String("title", "Warning"));
    const std::uint32_t pid = e.U32("pid", 0x3F0);
    return [this, title, pid] {
      for (auto& w : windows_)
        if (w.alive && !w.is_box && w.pid == pid && w.title == title) Close(w.hwnd, "closed by its process");
    };
  });
}

std::uintptr_t WindowManager::Add(Window w) {
  w.hwnd = next_;
  next_ += 0x10;
  windows_.push_back(std::move(w));
  return windows_.back().hwnd;
}

Window* WindowManager::Find(std::uintptr_t hwnd) {
  for (auto& w : windows_)
    if (w.hwnd == hwnd && w.alive) return &w;
  return nullptr;
}

bool WindowManager::EverExisted(std::uintptr_t hwnd) const {
  return std::any_of(windows_.begin(), windows_.end(), [&](const Window& w) { return w.hwnd == hwnd; });
}

Window* WindowManager::FindByClassAndTitle(const char16_t* cls, const char16_t* title) {
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
    if (!it->alive) continue;
    if (cls != nullptr && !EqualsNoCase(it->cls, cls)) continue;
    if (title != nullptr && !EqualsNoCase(it->title, title)) continue;
    return &*it;
  }
  return nullptr;
}

std::vector<Window*> WindowManager::TopLevel() {
  std::vector<Window*> out;
  for (auto& w : windows_)
    if (w.alive) out.push_back(&w);
  return out;
}

void WindowManager::SetForeground(std::uintptr_t hwnd, bool by_program) {
  foreground_ = hwnd;
  if (Window* w = Find(hwnd); w != nullptr && by_program) foregrounds_.push_back(Narrow(w->title));
}

bool WindowManager::AnswerBox(std::uintptr_t hwnd, int result, const std::string& by) {
  Window* w = Find(hwnd);
  if (w == nullptr || !w->is_box || w->result != 0) return false;
  w->result = result;
  w->answered->Set();
  Dev().Note("windows", "box_answered", {{"title", Narrow(w->title)}, {"result", result}, {"by", by}});
  return true;
}

void WindowManager::Close(std::uintptr_t hwnd, const std::string& why) {
  Window* w = Find(hwnd);
  if (w == nullptr) return;
  w->alive = false;
  if (foreground_ == hwnd) foreground_ = 0;
  Dev().Note("windows", "closed", {{"window", HexText(hwnd)}, {"title", Narrow(w->title)}, {"why", why}});
  if (w->is_box && on_box_closed) on_box_closed(*w);
}

BoxAnswer WindowManager::NextAnswer() {
  const std::size_t i = boxes_shown_++;
  if (answers_.empty()) return BoxAnswer{};
  return i < answers_.size() ? answers_[i] : answers_.back();
}

const Window* WindowManager::BoxWaitingForever() const {
  for (const auto& w : windows_)
    if (w.alive && w.is_box && w.result == 0) return &w;
  return nullptr;
}

void WindowManager::Summarize(Json& out) const {
  Json boxes = Json::array();
  for (const auto& w : windows_) {
    if (!w.is_box) continue;
    Json b = ObjectWithRoom(6);
    Append(b, "title", Narrow(w.title));
    Append(b, "text", Narrow(w.text));
    Append(b, "shown_ms", w.shown_at / kMicrosPerMs);
    Append(b, "shown_us", w.shown_at);
    Append(b, "result",
           w.result == IDYES      ? "yes"
           : w.result == IDNO     ? "no"
           : w.result == IDCANCEL ? "cancel"
           : w.result == 0        ? "none"
                                  : std::to_string(w.result));
    Append(b, "standing", w.alive);
    boxes.push_back(std::move(b));
  }
  Append(out, "boxes", std::move(boxes));
  Append(out, "brought_to_front", foregrounds_);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& WindowManager::Declared() {
  static const PartDeclaration kDeclared{
      {"EnumWindows", "FindWindowW", "GetWindowThreadProcessId", "MessageBoxW", "PostMessageW"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

namespace {
std::uintptr_t Hwnd(HWND h) { return reinterpret_cast<std::uintptr_t>(h); }

// Checks a window handle; records a misuse for a value that never was a window.
Window* CheckWindow(Call& c, HWND h, const char* op) {
  Handset& d = Dev();
  Window* w = d.windows.Find(Hwnd(h) & ~std::uintptr_t{1});
  if (w == nullptr) {
    if (!d.windows.EverExisted(Hwnd(h) & ~std::uintptr_t{1}))
      c.Misuse(std::string(op) + " on a value that never was a window");
    c.SetError(ERROR_INVALID_WINDOW_HANDLE);
  }
  return w;
}
}  // namespace

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  Call c("MessageBoxW");
  c.Arg("owner", HandleValue(hWnd))
      .Arg("text", Narrow(lpText))
      .Arg("caption", Narrow(lpCaption))
      .Arg("style", HexText(uType));
  if (c.Injected(Narrow(lpCaption))) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return(0, 0);
  }
  Handset& d = Dev();
  Window w;
  w.cls = u"Dialog";
  w.title = lpCaption ? lpCaption : u"Error";
  w.text = lpText ? lpText : u"";
  w.pid = d.CurrentPid();
  w.is_box = true;
  w.style = uType;
  w.thread = d.kernel.Current();
  w.shown_at = d.kernel.Now();
  w.answered = std::make_shared<EventObject>(true, false);
  w.handled = std::make_shared<EventObject>(true, false);
  const std::uintptr_t hwnd = d.windows.Add(w);
  d.windows.SetForeground(hwnd);
  Window* box = d.windows.Find(hwnd);
  auto answered = box->answered;
  auto handled = box->handled;
  c.Set("window", HexText(hwnd));
  d.Note("windows", "box_shown", {{"window", HexText(hwnd)}, {"title", Narrow(w.title)}});
  if (d.windows.on_box_shown) d.windows.on_box_shown(*box);
  const BoxAnswer answer = d.windows.NextAnswer();
  if (answer.result != 0) {
    d.kernel.At(Jittered(d.kernel.Random(), d.kernel.Now() + answer.after, answer.jitter), "user answers the box",
                [hwnd, result = answer.result] { Dev().windows.AnswerBox(hwnd, result, "user"); });
  }
  d.kernel.Wait(answered.get(), kNever, "message box '" + Narrow(w.title) + "' waits for an answer");
  box = d.windows.Find(hwnd);
  const int result = box ? box->result : IDCANCEL;
  d.windows.Close(hwnd, "answered");
  handled->Set();
  // A thread that answered the box with SendMessageW is runnable again as well, and on a real
  // system it may go on before this thread's modal loop notices the answer: a switch point, so
  // that seeds and schedules take that order too (the fixed order keeps this thread).
  d.kernel.SwitchPoint(0);
  c.Set("t_end_us", d.kernel.Now());
  return c.Return(result, result == IDYES ? Value("IDYES") : result == IDNO ? Value("IDNO") : Value(result));
}

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  Call c("FindWindowW");
  c.Arg("class", lpClassName ? Value(Narrow(lpClassName)) : Value(nullptr))
      .Arg("title", lpWindowName ? Value(Narrow(lpWindowName)) : Value(nullptr));
  if (c.Injected(Narrow(lpWindowName))) return c.Return<HWND>(nullptr, nullptr);
  Window* w = Dev().windows.FindByClassAndTitle(lpClassName, lpWindowName);
  HWND h = w ? reinterpret_cast<HWND>(w->hwnd) : nullptr;
  return c.Return(h, HandleValue(h));
}

BOOL SetForegroundWindow(HWND hWnd) {
  Call c("SetForegroundWindow");
  c.Arg("window", HandleValue(hWnd)).Arg("with_owned", (Hwnd(hWnd) & 1) != 0);
  Window* w = CheckWindow(c, hWnd, "SetForegroundWindow");
  if (w == nullptr) return c.Return<BOOL>(FALSE, false);
  Dev().windows.SetForeground(w->hwnd);
  return c.Return<BOOL>(TRUE, true);
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Call c("PostMessageW");
  c.Arg("window", HandleValue(hWnd)).Arg("message", HexText(Msg)).Arg("wparam", wParam).Arg("lparam", lParam);
  Window* w = CheckWindow(c, hWnd, "PostMessageW");
  if (w == nullptr) return c.Return<BOOL>(FALSE, false);
  c.Arg("title", Narrow(w->title));
  if (c.Injected(Narrow(w->title))) return c.Return<BOOL>(FALSE, false);
  const std::uintptr_t hwnd = w->hwnd;
  if (Msg == WM_CLOSE) {
    ++w->close_requests;
    if (w->is_box) {
      Dev().windows.AnswerBox(w->hwnd, IDCANCEL,
                              Dev().kernel.ThreadName(Dev().kernel.Current()) + " (PostMessageW WM_CLOSE)");
    } else if (w->on_close == "close") {
      // The application handles the message a little later, on its own thread.
      Dev().kernel.At(Dev().kernel.Now() + w->close_delay, "application closes its window",
                      [hwnd] { Dev().windows.Close(hwnd, "WM_CLOSE"); });
    }
  }
  if (const Micros cost = Dev().windows.PostMessageCost(); cost > 0) {
    // A busy handset: the post holds its caller while other threads go on.
    Dev().kernel.Wait(nullptr, cost, "PostMessageW on a busy handset");
    c.Set("t_end_us", Dev().kernel.Now());
  }
  return c.Return<BOOL>(TRUE, true);
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Call c("SendMessageW");
  c.Arg("window", HandleValue(hWnd)).Arg("message", HexText(Msg)).Arg("wparam", wParam).Arg("lparam", lParam);
  Handset& d = Dev();
  Window* w = CheckWindow(c, hWnd, "SendMessageW");
  if (w == nullptr) return c.Return<LRESULT>(0, 0);
  c.Arg("title", Narrow(w->title));
  const bool command_yes = Msg == WM_COMMAND && (wParam & 0xFFFF) == IDYES;
  if (w->is_box && (command_yes || Msg == WM_CLOSE)) {
    auto handled = w->handled;
    const std::string by =
        d.kernel.ThreadName(d.kernel.Current()) + (command_yes ? " (SendMessageW)" : " (SendMessageW WM_CLOSE)");
    if (d.windows.AnswerBox(w->hwnd, command_yes ? IDYES : IDCANCEL, by)) {
      // The send returns once the box's thread has handled the command.
      d.kernel.Wait(handled.get(), kNever, "SendMessage waits for the box's thread");
    }
    c.Set("t_end_us", d.kernel.Now());
    return c.Return<LRESULT>(0, 0);
  }
  if (!w->is_box && (command_yes || Msg == WM_CLOSE) && w->on_close == "close") {
    ++w->close_requests;
    d.windows.Close(w->hwnd, command_yes ? "WM_COMMAND IDYES" : "WM_CLOSE");
  }
  return c.Return<LRESULT>(0, 0);
}

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
  Call c("EnumWindows");
  // A pointer into the program's memory changes from run to run; the log shows only its presence,
  // so that a seed replays byte for byte.
  c.Arg("context", lParam != 0 ? Value("set") : Value(nullptr));
  if (lpEnumFunc == nullptr) {
    c.Misuse("EnumWindows without a callback");
    return c.Return<BOOL>(FALSE, false);
  }
  if (c.Injected()) return c.Return<BOOL>(FALSE, false);
  std::vector<std::uintptr_t> handles;
  for (Window* w : Dev().windows.TopLevel()) handles.push_back(w->hwnd);
  int calls = 0;
  for (std::uintptr_t h : handles) {
    ++calls;
    if (!lpEnumFunc(reinterpret_cast<HWND>(h), lParam)) break;
  }
  c.Arg("callbacks", calls);
  return c.Return<BOOL>(TRUE, true);
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  Call c("GetWindowThreadProcessId");
  c.Arg("window", HandleValue(hWnd));
  Window* w = CheckWindow(c, hWnd, "GetWindowThreadProcessId");
  if (w == nullptr || c.Injected(Narrow(w->title))) return c.Return<DWORD>(0, 0);
  if (lpdwProcessId) *lpdwProcessId = w->pid;
  c.Arg("pid", w->pid);
  const DWORD thread = 0x1000 + w->pid;
  return c.Return(thread, thread);
}

DWORD GetCurrentProcessId(void) {
  Call c("GetCurrentProcessId");
  const DWORD pid = Dev().CurrentPid();
  return c.Return(pid, pid);
}

BOOL IsWindowVisible(HWND hWnd) {
  Call c("IsWindowVisible");
  c.Arg("window", HandleValue(hWnd));
  Window* w = CheckWindow(c, hWnd, "IsWindowVisible");
  const BOOL visible = w != nullptr && w->visible;
  return c.Return<BOOL>(visible, visible != 0);
}
