// The registry export reader, on any text: it either loads or names a line.
#include <cstdint>
#include <string>

#include "sim/scenario/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    sim::ParseRegText(std::string(reinterpret_cast<const char*>(data), size), "fuzz.reg");
  } catch (const sim::RegFileError&) {
  }
  return 0;
}
