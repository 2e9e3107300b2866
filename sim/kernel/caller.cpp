#include "sim/kernel/caller.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

namespace {

// The executable's exported functions by address, read once from its dynamic symbol table (the
// same symbols dladdr searches, without its linear scan of them at every lookup). Built before
// the explorer forks, so that every run inherits it.
struct Symbol {
  std::uintptr_t start, end;
  const char* raw;  // mangled, in the mapped executable
};

std::string Shortened(const char* raw) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : raw;
  std::free(demangled);
  if (auto paren = name.find('('); paren != std::string::npos) name.resize(paren);
  return name;
}

std::uintptr_t ExecutableBias() {
  std::uintptr_t bias = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        *static_cast<std::uintptr_t*>(out) = info->dlpi_addr;
        return 1;  // the first object is the executable
      },
      &bias);
  return bias;
}

std::vector<Symbol> ReadExportedFunctions() {
  std::vector<Symbol> table;
  const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return table;
  struct stat st {};
  void* file = fstat(fd, &st) == 0 ? mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0)
                                   : MAP_FAILED;
  close(fd);
  if (file == MAP_FAILED) return table;  // stays mapped: the names point into it
  const auto* base = static_cast<const char*>(file);
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(base);
  if (static_cast<std::size_t>(st.st_size) < sizeof(Elf64_Ehdr) || std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
      eh->e_ident[EI_CLASS] != ELFCLASS64)
    return table;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + eh->e_shoff);
  const std::uintptr_t bias = ExecutableBias();
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM) continue;
    const char* names = base + sections[sections[i].sh_link].sh_offset;
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(base + sections[i].sh_offset);
    for (std::size_t k = 0; k < sections[i].sh_size / sizeof(Elf64_Sym); ++k) {
      const Elf64_Sym& sym = syms[k];
      if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF || sym.st_size == 0) continue;
      table.push_back({bias + sym.st_value, bias + sym.st_value + sym.st_size, names + sym.st_name});
    }
  }
  std::sort(table.begin(), table.end(), [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
  return table;
}

const std::vector<Symbol>& ExportedFunctions() {
  static const std::vector<Symbol> table = ReadExportedFunctions();
  return table;
}

}  // namespace

const char* ExportedFunctionAt(const void* pc) {
  const auto addr = reinterpret_cast<std::uintptr_t>(pc);
  const auto& table = ExportedFunctions();
  auto it =
      std::upper_bound(table.begin(), table.end(), addr, [](std::uintptr_t a, const Symbol& s) { return a < s.start; });
  return it != table.begin() && addr < std::prev(it)->end ? std::prev(it)->raw : nullptr;
}

namespace {

// Name of the function that contains `pc`, without namespace or arguments, or "".
std::string FunctionAt(void* pc) {
  if (const char* raw = ExportedFunctionAt(pc)) return Shortened(raw);
  Dl_info info{};  // in a shared library
  if (dladdr(pc, &info) != 0 && info.dli_sname != nullptr) return Shortened(info.dli_sname);
  return {};
}

bool Skipped(const std::string& name, std::string_view op) {
  return name.empty() || name.rfind("sim::", 0) == 0 || name == op || name.rfind("std::", 0) == 0;
}

// Names by code address, and callers by call site; both only grow, and only with code that ran.
// The names stay where they are (map nodes do not move), so views of them live as long as the
// process.
struct Memo {
  std::mutex mu;
  std::unordered_map<const void*, std::string> functions;
  std::unordered_map<const void*, std::string> sites;
  std::vector<std::pair<std::uintptr_t, std::string>> new_sites;
};

Memo& TheMemo() {
  static Memo* memo = new Memo;
  return *memo;
}

}  // namespace

void PrepareCallerNames() { ExportedFunctions(); }

std::vector<std::pair<std::uintptr_t, std::string>> TakeNewCallSites() {
  Memo& memo = TheMemo();
  std::lock_guard lk(memo.mu);
  return std::exchange(memo.new_sites, {});
}

void AddCallSites(const std::vector<std::pair<std::uintptr_t, std::string>>& sites) {
  Memo& memo = TheMemo();
  std::lock_guard lk(memo.mu);
  for (const auto& [address, name] : sites) memo.sites.emplace(reinterpret_cast<const void*>(address), name);
}

std::string_view CallerOf(std::string_view op, const void* site) {
  // The sites this host thread has already seen, without the lock: almost every call is one.
  thread_local std::unordered_map<const void*, std::string_view> seen;
  if (site != nullptr)
    if (auto it = seen.find(site); it != seen.end()) return it->second;
  Memo& memo = TheMemo();
  std::lock_guard lk(memo.mu);
  if (site != nullptr)
    if (auto it = memo.sites.find(site); it != memo.sites.end()) return seen[site] = it->second;
  void* frames[8];
  const int n = backtrace(frames, 8);
  for (int i = 1; i < n; ++i) {
    auto [it, fresh] = memo.functions.try_emplace(frames[i]);
    if (fresh) it->second = FunctionAt(frames[i]);
    if (Skipped(it->second, op)) continue;
    // The answer depends on the site alone when it is the routine around the site itself.
    if (site != nullptr && frames[i] == site && memo.sites.emplace(site, it->second).second)
      memo.new_sites.emplace_back(reinterpret_cast<std::uintptr_t>(site), it->second);
    return it->second;
  }
  return {};
}

}  // namespace sim
