// The program's module as the handset knows it: its instance handle, its path and its string
// table, read from the program's own resource script.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/scenario/scenario.h"

namespace sim {

// Parses a STRINGTABLE block of a resource script; ids may be numbers or names #defined in
// `header`. Throws std::runtime_error naming the line of a malformed entry.
std::map<std::uint32_t, std::u16string> ParseStringTable(const std::string& script, const std::string& header);

class Resources {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::uintptr_t kProgramInstance = 0x00010000;

  // Reads [program] module_path and optional string overrides; loads the embedded table.
  void Configure(const Section& root);
  const std::u16string& ModulePath() const { return module_path_; }
  // The string with `id`, or null when the table has none.
  const std::u16string* String(std::uint32_t id) const;

 private:
  std::u16string module_path_ = u"\\Windows\\shutdown.exe";
  std::map<std::uint32_t, std::u16string> strings_;
};

}  // namespace sim
