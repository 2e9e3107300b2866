#include "sim/devices/files.h"
#include "sim/scenario/limits.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/base/text.h"
#include "sim/devices/handset.h"
#include "sim/devices/sound.h"

namespace sim {

namespace {

std::vector<std::uint8_t> ReadHostFile(const Section& entry, const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(entry.Directory()) / name;
  std::string text;
  try {
    text = ReadBoundedFile(path.string(), ScenarioLimits::kHostFileBytes, "host file");
  } catch (const ScenarioError& e) {
    entry.Fail("host", std::string("cannot read the host file: ") + e.what());
  }
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The contents of one [[file]] entry, from exactly one of its sources.
std::vector<std::uint8_t> ContentsOf(const Section& entry) {
  const int sources = entry.Has("contents") + entry.Has("host") + entry.Has("wav_ms");
  if (sources != 1) entry.Fail("path", "give exactly one of contents, host or wav_ms");
  if (entry.Has("contents")) {
    const std::string text = entry.String("contents", "");
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }
  if (entry.Has("host")) return ReadHostFile(entry, entry.String("host", ""));
  return GenerateWav(static_cast<std::uint64_t>(entry.Int("wav_ms", 0, 0, ScenarioLimits::kWavMs)));
}

}  // namespace

void FileSystem::Configure(const Section& root) {
  for (const Section& entry : root.Tables("file")) {
    SimFile f;
    f.path = Wide(entry.String("path", ""));
    if (f.path.empty()) entry.Fail("path", "missing: the file's full path on the handset");
    if (Find(f.path) != nullptr) entry.Fail("path", "the file is listed twice");
    f.contents = ContentsOf(entry);
    f.open_fails = entry.Bool("open_fails", false);
    f.open_error = entry.U32("open_error", ERROR_ACCESS_DENIED);
    f.size_fails = entry.Bool("size_fails", false);
    f.short_read_bytes =
        static_cast<std::uint32_t>(entry.Int("short_read_bytes", 0, 0, static_cast<std::int64_t>(f.contents.size())));
    entry.CheckNoUnknownKeys();
    files_.push_back(std::move(f));
  }
}

SimFile* FileSystem::Find(std::u16string_view path) {
  for (auto& f : files_)
    if (EqualsNoCase(f.path, path)) return &f;
  return nullptr;
}

HANDLE OpenSimFile(Call& c, const std::u16string& name, DWORD access, DWORD disposition) {
  Handset& d = Dev();
  SimFile* f = d.files.Find(name);
  if (f == nullptr) {
    c.SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if ((access & GENERIC_WRITE) != 0 || disposition != OPEN_EXISTING) {
    c.SetError(ERROR_ACCESS_DENIED);  // the handset's files are read only
    return INVALID_HANDLE_VALUE;
  }
  if (f->open_fails) {
    c.SetError(f->open_error);
    return INVALID_HANDLE_VALUE;
  }
  ++f->opens;
  auto open = std::make_shared<OpenFile>(OpenFile{f, 0});
  const auto v = d.OpenHandle(HandleKind::kFile, open, "file '" + Narrow(f->path) + "'", "CreateFileW");
  c.SetError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(v);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& FileSystem::Declared() {
  static const PartDeclaration kDeclared{
      {"GetFileSize", "ReadFile"},
      {},
      {{"no animation, no sound file",
        "file = []\n[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
       {"no animation, sound file short on reading",
        "[[file]]\npath = '\\Windows\\Critbatt.wav'\nwav_ms = 1800\nshort_read_bytes = 100\n"
        "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
       {"no animation, empty sound file",
        "[[file]]\npath = '\\Windows\\Critbatt.wav'\ncontents = \"\"\n"
        "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"},
       {"no animation, sound file size fails",
        "[[file]]\npath = '\\Windows\\Critbatt.wav'\nwav_ms = 1800\nsize_fails = true\n"
        "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n'''\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

namespace {
OpenFile* CheckFile(Call& c, HANDLE h, const char* op) {
  auto* f = Dev().handles.Object<OpenFile>(reinterpret_cast<std::uintptr_t>(h), HandleKind::kFile);
  if (f == nullptr) {
    c.Misuse(std::string(op) + " on a handle that is not an open file");
    c.SetError(ERROR_INVALID_HANDLE);
  }
  return f;
}
}  // namespace

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  Call c("GetFileSize");
  c.Arg("handle", HandleValue(hFile));
  OpenFile* f = CheckFile(c, hFile, "GetFileSize");
  if (f == nullptr) return c.Return<DWORD>(INVALID_FILE_SIZE, "INVALID_FILE_SIZE");
  c.Arg("file", Narrow(f->file->path));
  if (f->file->size_fails || c.Injected(Narrow(f->file->path))) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<DWORD>(INVALID_FILE_SIZE, "INVALID_FILE_SIZE");
  }
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = 0;
  const auto size = static_cast<DWORD>(f->file->contents.size());
  c.SetError(ERROR_SUCCESS);
  return c.Return(size, size);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED /*lpOverlapped: reads are synchronous*/) {
  Call c("ReadFile");
  c.Arg("handle", HandleValue(hFile)).Arg("bytes", nNumberOfBytesToRead);
  OpenFile* f = CheckFile(c, hFile, "ReadFile");
  if (f == nullptr) return c.Return<BOOL>(FALSE, false);
  c.Arg("file", Narrow(f->file->path));
  if ((lpBuffer == nullptr && nNumberOfBytesToRead != 0) || lpNumberOfBytesRead == nullptr) {
    c.Misuse("ReadFile without a buffer or a place for the count");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  const Heap::Block* block = Dev().heap.Find(lpBuffer);
  if (block != nullptr && block->size < nNumberOfBytesToRead) {
    c.Misuse("ReadFile into a heap block smaller than the read");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  *lpNumberOfBytesRead = 0;
  if (c.Injected(Narrow(f->file->path))) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  const std::size_t readable = f->file->contents.size() - f->file->short_read_bytes;
  const std::size_t left = f->position < readable ? readable - f->position : 0;
  const std::size_t n = std::min<std::size_t>(left, nNumberOfBytesToRead);
  if (n > 0) std::memcpy(lpBuffer, f->file->contents.data() + f->position, n);
  f->position += n;
  *lpNumberOfBytesRead = static_cast<DWORD>(n);
  c.Arg("read", n);
  c.SetError(ERROR_SUCCESS);
  return c.Return<BOOL>(TRUE, true);
}
