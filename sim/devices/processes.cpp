#include "sim/devices/processes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

namespace {
constexpr std::uint32_t kFirstPid = 0x00A00002;  // pids the scenario leaves to the handset
constexpr std::uint32_t kPidStep = 0x00010000;
}  // namespace

struct Processes::WindowSpec {
  Window window;
  std::int64_t order = 0;
  std::size_t listed = 0;
  std::size_t process = 0;
  bool foreground = false;
};

void Processes::Configure(const Section& root, WindowManager& windows) {
  std::vector<WindowSpec> specs;
  for (const Section& entry : root.Tables("process")) AddProcess(entry, specs);
  if (auto p = root.Table("processes")) {
    snapshot = p->Choice("snapshot", "ok", {"ok", "fails", "first_unreadable"});
    snapshot_error = p->U32("snapshot_error", ERROR_NOT_ENOUGH_MEMORY);
    AddExtras(p->Int("extra_processes", 0, 0, 10000), specs);
    p->CheckNoUnknownKeys();
  }
  std::stable_sort(specs.begin(), specs.end(),
                   [](const WindowSpec& a, const WindowSpec& b) { return a.order < b.order; });
  for (WindowSpec& spec : specs) {
    const std::uintptr_t hwnd = windows.Add(spec.window);
    procs_[spec.process].windows.push_back(hwnd);
    if (spec.foreground) windows.SetForeground(hwnd, false);
  }
}

void Processes::AddProcess(const Section& entry, std::vector<WindowSpec>& specs) {
  SimProcess p;
  p.exe = Wide(entry.String("name", ""));
  if (p.exe.empty()) entry.Fail("name", "missing: the executable as the snapshot lists it");
  p.pid = entry.U32("pid", kFirstPid + kPidStep * static_cast<std::uint32_t>(procs_.size()));
  if (Find(p.pid) != nullptr) entry.Fail("pid", "another process has this id");
  p.parent = entry.U32("parent", 0);
  p.threads = entry.U32("threads", 1);
  p.usage = entry.U32("usage", 1);
  p.module = entry.U32("module", 0);
  p.open_fails = entry.Bool("open_fails", false);
  p.terminate_fails = entry.Bool("terminate_fails", false);
  for (const Section& w : entry.Tables("window")) {
    WindowSpec spec;
    spec.window.cls = Wide(w.String("class", "AppWindow"));
    spec.window.title = Wide(w.String("title", ""));
    spec.window.pid = p.pid;
    spec.window.visible = w.Bool("visible", true);
    spec.window.on_close = w.Choice("on_close", "close", {"close", "ignore"});
    spec.window.close_delay = w.Ms("close_after_ms", 0) * kMicrosPerMs;
    spec.order = w.Int("order", 0, -1000000, 1000000);
    spec.foreground = w.Bool("foreground", false);
    spec.listed = specs.size();
    spec.process = procs_.size();
    w.CheckNoUnknownKeys();
    specs.push_back(std::move(spec));
  }
  entry.CheckNoUnknownKeys();
  procs_.push_back(std::move(p));
}

// Generated applications, each with one visible window that closes when asked.
void Processes::AddExtras(std::int64_t count, std::vector<WindowSpec>& specs) {
  for (std::int64_t i = 1; i <= count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "extra%03lld", static_cast<long long>(i));
    SimProcess p;
    p.exe = Wide(std::string(name) + ".exe");
    p.pid = kFirstPid + kPidStep * static_cast<std::uint32_t>(procs_.size());
    while (Find(p.pid) != nullptr) p.pid += 4;
    WindowSpec spec;
    spec.window.cls = u"ExtraApp";
    spec.window.title = Wide(name);
    spec.window.pid = p.pid;
    spec.window.close_delay = 0;
    spec.listed = specs.size();
    spec.process = procs_.size();
    specs.push_back(std::move(spec));
    procs_.push_back(std::move(p));
  }
}

SimProcess* Processes::Find(std::uint32_t pid) { return const_cast<SimProcess*>(std::as_const(*this).Find(pid)); }

const SimProcess* Processes::Find(std::uint32_t pid) const {
  for (const auto& p : procs_)
    if (p.pid == pid) return &p;
  return nullptr;
}

ProcessSnapshot Processes::TakeSnapshot(const std::vector<SimProcess>& more) const {
  ProcessSnapshot s;
  std::size_t slot = 0;
  std::vector<const SimProcess*> listed;
  for (const auto& p : procs_) listed.push_back(&p);
  for (const auto& p : more) listed.push_back(&p);
  for (const SimProcess* each : listed) {
    const SimProcess& p = *each;
    if (!p.alive) continue;
    PROCESSENTRY32 r;
    std::memset(&r, 0, sizeof r);
    r.dwSize = sizeof r;
    r.cntUsage = p.usage;
    r.th32ProcessID = p.pid;
    r.th32ModuleID = p.module;
    r.cntThreads = p.threads;
    r.th32ParentProcessID = p.parent;
    r.pcPriClassBase = 251;
    // The record holds 260 characters; a longer name fills it with no terminator.
    const std::size_t n = std::min<std::size_t>(p.exe.size(), MAX_PATH);
    std::copy(p.exe.begin(), p.exe.begin() + static_cast<std::ptrdiff_t>(n), r.szExeFile);
    r.th32MemoryBase = static_cast<DWORD>((slot + 2) << 25);
    r.th32AccessKey = 1u << ((slot + 2) % 32);
    s.records.push_back(r);
    ++slot;
  }
  return s;
}

void Processes::Terminate(SimProcess& p, std::uint32_t exit_code) {
  Handset& d = Dev();
  p.alive = false;
  p.terminated = true;
  p.exit_code = exit_code;
  d.Note("processes", "terminated", {{"name", Narrow(p.exe)}, {"pid", HexText(p.pid)}, {"exit_code", exit_code}});
  for (std::uintptr_t hwnd : p.windows) d.windows.Close(hwnd, "its process was terminated");
}

std::string Processes::StateOf(const SimProcess& p) const {
  if (p.terminated) return "terminated (exit code " + std::to_string(p.exit_code) + ")";
  bool asked = false, ignored = false, pending = false;
  for (const Window& w : Dev().windows.All()) {
    if (w.pid != p.pid || w.is_box || w.close_requests == 0) continue;
    asked = true;
    if (w.alive && w.on_close == "ignore") ignored = true;
    if (w.alive && w.on_close == "close") pending = true;
  }
  if (!asked) return "untouched";
  if (ignored) return "ignored the request to close";
  if (pending) return "asked to close, not closed yet";
  return "closed";
}

void Processes::Summarize(Json& out) const {
  Json apps = Json::array();
  apps.get_ref<Json::array_t&>().reserve(procs_.size());
  for (const auto& p : procs_) {
    Json app = ObjectWithRoom(3);
    Append(app, "name", Narrow(p.exe));
    Append(app, "pid", HexText(p.pid));
    Append(app, "state", StateOf(p));
    apps.push_back(std::move(app));
  }
  Append(out, "applications", std::move(apps));
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Processes::Declared() {
  static const PartDeclaration kDeclared{
      {"CreateToolhelp32Snapshot", "OpenProcess", "Process32First", "Process32Next", "TerminateProcess"},
      {},
      {{"no process snapshot", "[processes]\nsnapshot = \"fails\"\n"},
       {"first process record unreadable", "[processes]\nsnapshot = \"first_unreadable\"\n"},
       {"300 more processes", "[processes]\nextra_processes = 300\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

namespace {
ProcessSnapshot* CheckSnapshot(Call& c, HANDLE h, const char* op) {
  auto* s = Dev().handles.Object<ProcessSnapshot>(reinterpret_cast<std::uintptr_t>(h), HandleKind::kSnapshot);
  if (s == nullptr) {
    c.Misuse(std::string(op) + " on a handle that is not an open snapshot");
    c.SetError(ERROR_INVALID_HANDLE);
  }
  return s;
}

// Copies the next record of `s` into the program's record; false when there is none.
BOOL Deliver(Call& c, ProcessSnapshot& s, LPPROCESSENTRY32 lppe) {
  if (lppe == nullptr || lppe->dwSize < sizeof(PROCESSENTRY32)) {
    c.Misuse("a process record without room for 564 bytes (dwSize not set)");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  if (s.next >= s.records.size()) {
    c.SetError(ERROR_NO_MORE_FILES);
    return c.Return<BOOL>(FALSE, false);
  }
  const PROCESSENTRY32& r = s.records[s.next++];
  std::memcpy(lppe, &r, sizeof r);
  c.Arg("pid", HexText(r.th32ProcessID));
  std::size_t n = 0;
  while (n < MAX_PATH && r.szExeFile[n] != 0) ++n;
  c.Arg("name", Narrow(std::u16string_view(r.szExeFile, n)));
  c.SetError(ERROR_SUCCESS);
  return c.Return<BOOL>(TRUE, true);
}
}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  Call c("CreateToolhelp32Snapshot");
  c.Arg("flags", HexText(dwFlags)).Arg("pid", th32ProcessID);
  Handset& d = Dev();
  if (d.processes.snapshot == "fails" || c.Injected()) {
    c.SetError(d.processes.snapshot_error);
    return c.Return(INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
  }
  auto snap = std::make_shared<ProcessSnapshot>();
  if ((dwFlags & TH32CS_SNAPPROCESS) != 0) *snap = d.processes.TakeSnapshot(d.ProgramProcesses());
  c.Arg("processes", snap->records.size());
  HANDLE h = reinterpret_cast<HANDLE>(
      d.OpenHandle(HandleKind::kSnapshot, snap, "process snapshot", "CreateToolhelp32Snapshot"));
  c.SetError(ERROR_SUCCESS);
  return c.Return(h, HandleValue(h));
}

BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
  Call c("Process32First");
  c.Arg("handle", HandleValue(hSnapshot));
  ProcessSnapshot* s = CheckSnapshot(c, hSnapshot, "Process32First");
  if (s == nullptr) return c.Return<BOOL>(FALSE, false);
  if (Dev().processes.snapshot == "first_unreadable" || c.Injected()) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  s->next = 0;
  return Deliver(c, *s, lppe);
}

BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
  Call c("Process32Next");
  c.Arg("handle", HandleValue(hSnapshot));
  ProcessSnapshot* s = CheckSnapshot(c, hSnapshot, "Process32Next");
  if (s == nullptr) return c.Return<BOOL>(FALSE, false);
  if (c.Injected()) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  return Deliver(c, *s, lppe);
}

BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot) {
  Call c("CloseToolhelp32Snapshot");
  c.Arg("handle", HandleValue(hSnapshot));
  if (CheckSnapshot(c, hSnapshot, "CloseToolhelp32Snapshot") == nullptr) return c.Return<BOOL>(FALSE, false);
  Dev().handles.Close(reinterpret_cast<std::uintptr_t>(hSnapshot));
  return c.Return<BOOL>(TRUE, true);
}

HANDLE OpenProcess(DWORD fdwAccess, BOOL fInherit, DWORD IDProcess) {
  Call c("OpenProcess");
  c.Arg("access", HexText(fdwAccess)).Arg("inherit", fInherit != 0).Arg("pid", HexText(IDProcess));
  Handset& d = Dev();
  SimProcess* p = d.processes.Find(IDProcess);
  if (p == nullptr || !p->alive) {
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<HANDLE>(nullptr, nullptr);
  }
  c.Arg("name", Narrow(p->exe));
  if (p->open_fails || c.Injected(Narrow(p->exe))) {
    c.SetError(ERROR_ACCESS_DENIED);
    return c.Return<HANDLE>(nullptr, nullptr);
  }
  HANDLE h = reinterpret_cast<HANDLE>(d.OpenHandle(HandleKind::kProcess, std::make_shared<std::uint32_t>(p->pid),
                                                   "process '" + Narrow(p->exe) + "'", "OpenProcess"));
  c.SetError(ERROR_SUCCESS);
  return c.Return(h, HandleValue(h));
}

BOOL TerminateProcess(HANDLE hProcess, DWORD uExitCode) {
  Call c("TerminateProcess");
  c.Arg("handle", HandleValue(hProcess)).Arg("exit_code", uExitCode);
  Handset& d = Dev();
  auto* pid = d.handles.Object<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hProcess), HandleKind::kProcess);
  if (pid == nullptr) {
    c.Misuse("TerminateProcess on a handle that is not an open process");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<BOOL>(FALSE, false);
  }
  SimProcess* p = d.processes.Find(*pid);
  c.Arg("name", Narrow(p->exe));
  if (!p->alive || p->terminate_fails || c.Injected(Narrow(p->exe))) {
    c.SetError(ERROR_ACCESS_DENIED);
    return c.Return<BOOL>(FALSE, false);
  }
  d.processes.Terminate(*p, uExitCode);
  c.SetError(ERROR_SUCCESS);
  return c.Return<BOOL>(TRUE, true);
}
