#include "sim/devices/resources.h"

#include <sstream>
#include <stdexcept>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

extern const char* const kEmbeddedResourceScript;
extern const char* const kEmbeddedResourceHeader;

namespace {

std::map<std::string, std::uint32_t> Defines(const std::string& header) {
  std::map<std::string, std::uint32_t> out;
  std::istringstream in(header);
  std::string word, name, value;
  while (in >> word) {
    if (word != "#define") continue;
    if (!(in >> name >> value)) break;
    try {
      out[name] = static_cast<std::uint32_t>(std::stoul(value, nullptr, 0));
    } catch (const std::exception&) {
      // not a numeric define
    }
  }
  return out;
}

}  // namespace

std::map<std::uint32_t, std::u16string> ParseStringTable(const std::string& script, const std::string& header) {
  const auto defines = Defines(header);
  std::map<std::uint32_t, std::u16string> table;
  std::istringstream in(script);
  std::string line;
  int number = 0;
  bool in_table = false, in_block = false;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first.rfind("//", 0) == 0) continue;
    if (first == "STRINGTABLE") {
      in_table = true;
      continue;
    }
    if (in_table && (first == "BEGIN" || first == "{")) {
      in_block = true;
      continue;
    }
    if (in_block && (first == "END" || first == "}")) {
      in_table = in_block = false;
      continue;
    }
    if (!in_block) continue;
    if (!first.empty() && first.back() == ',') first.pop_back();
    std::uint32_t id = 0;
    if (auto it = defines.find(first); it != defines.end()) {
      id = it->second;
    } else {
      try {
        id = static_cast<std::uint32_t>(std::stoul(first, nullptr, 0));
      } catch (const std::exception&) {
        throw std::runtime_error("resource script line " + std::to_string(number) + ": unknown id '" + first + "'");
      }
    }
    const auto open = line.find('"');
    const auto close = line.rfind('"');
    if (open == std::string::npos || close <= open)
      throw std::runtime_error("resource script line " + std::to_string(number) + ": expected a quoted string");
    std::string text;
    for (std::size_t i = open + 1; i < close; ++i) {
      if (line[i] == '"' && i + 1 < close && line[i + 1] == '"') ++i;  // "" is a quote
      text += line[i];
    }
    table[id] = Wide(text);
  }
  return table;
}

void Resources::Configure(const Section& root) {
  // The program's own string table never changes: parsed once per process.
  static const auto* const kProgramStrings =
      new std::map<std::uint32_t, std::u16string>(ParseStringTable(kEmbeddedResourceScript, kEmbeddedResourceHeader));
  strings_ = *kProgramStrings;
  if (auto program = root.Table("program")) {
    module_path_ = Wide(program->String("module_path", Narrow(module_path_)));
    if (auto strings = program->Table("strings")) {
      for (std::uint32_t id : {101u, 102u, 103u}) {
        const std::string key = std::to_string(id);
        if (strings->Has(key)) strings_[id] = Wide(strings->String(key, ""));
      }
      strings->CheckNoUnknownKeys();
    }
  }
}

const std::u16string* Resources::String(std::uint32_t id) const {
  auto it = strings_.find(id);
  return it == strings_.end() ? nullptr : &it->second;
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Resources::Declared() {
  static const PartDeclaration kDeclared{{"GetModuleFileNameW", "LoadStringW"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  Call c("GetModuleHandleW");
  c.Arg("name", lpModuleName ? Value(Narrow(lpModuleName)) : Value(nullptr));
  if (lpModuleName != nullptr) {
    c.SetError(ERROR_MOD_NOT_FOUND);
    return c.Return<HMODULE>(nullptr, nullptr);
  }
  auto h = reinterpret_cast<HMODULE>(Resources::kProgramInstance);
  return c.Return(h, HandleValue(h));
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  Call c("GetModuleFileNameW");
  c.Arg("module", HandleValue(hModule)).Arg("capacity", nSize);
  if (lpFilename == nullptr || nSize == 0) {
    c.Misuse("GetModuleFileNameW without a buffer");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<DWORD>(0, 0);
  }
  if (hModule != nullptr && reinterpret_cast<std::uintptr_t>(hModule) != Resources::kProgramInstance) {
    c.SetError(ERROR_MOD_NOT_FOUND);
    return c.Return<DWORD>(0, 0);
  }
  if (c.Injected()) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<DWORD>(0, 0);
  }
  const std::u16string& path = Dev().resources.ModulePath();
  const std::size_t n = std::min<std::size_t>(path.size(), nSize - 1);
  std::copy(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n), lpFilename);
  lpFilename[n] = 0;
  if (n < path.size()) {
    c.SetError(ERROR_INSUFFICIENT_BUFFER);
    return c.Return<DWORD>(nSize, nSize);
  }
  c.SetError(ERROR_SUCCESS);
  c.Arg("path", Narrow(path));
  return c.Return<DWORD>(static_cast<DWORD>(n), static_cast<DWORD>(n));
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  Call c("LoadStringW");
  c.Arg("module", HandleValue(hInstance)).Arg("id", uID).Arg("capacity", cchBufferMax);
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    c.Misuse("LoadStringW without a buffer");
    return c.Return(0, 0);
  }
  if (reinterpret_cast<std::uintptr_t>(hInstance) != Resources::kProgramInstance) {
    c.SetError(ERROR_MOD_NOT_FOUND);
    return c.Return(0, 0);
  }
  const std::u16string* s = Dev().resources.String(uID);
  if (s == nullptr || c.Injected(std::to_string(uID))) {
    c.SetError(ERROR_NOT_FOUND);
    return c.Return(0, 0);
  }
  const std::size_t n = std::min<std::size_t>(s->size(), static_cast<std::size_t>(cchBufferMax) - 1);
  std::copy(s->begin(), s->begin() + static_cast<std::ptrdiff_t>(n), lpBuffer);
  lpBuffer[n] = 0;
  c.Arg("text", Narrow(std::u16string_view(lpBuffer, n)));
  return c.Return(static_cast<int>(n), n);
}
