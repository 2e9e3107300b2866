// Reader for registry export text: "REGEDIT4" and "Windows Registry Editor Version 5.00".
// Understands key sections, deleted keys ([-...]), deleted values ("name"=-), strings, dwords,
// hex data of any type (hex:, hex(2):, hex(7):, hex(b):, hex(N):), the default value (@) and
// lines continued with a backslash. A malformed line is an error naming its line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class RegFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RegOperation {
  enum class Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = Kind::kCreateKey;
  std::string root;           // "HKEY_LOCAL_MACHINE", ...
  std::u16string path;        // key path below the root, backslash separated
  std::u16string value_name;  // empty for the default value
  std::uint32_t type = 0;     // REG_SZ (1), REG_DWORD (4), ... or any other number kept as is
  std::vector<std::uint8_t> data;
  int line = 0;
};

// Parses export text. `source` names the text in error messages ("file.reg").
std::vector<RegOperation> ParseRegText(const std::string& text, const std::string& source);

}  // namespace sim
