// The start-up's command-line split, on any 16-bit text.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/startup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<WCHAR> line(size / 2 + 1, 0);
  std::memcpy(line.data(), data, size / 2 * 2);
  const int counted = SplitCommandLine(line.data(), nullptr, nullptr, 0);
  std::vector<WCHAR> storage(line.size());
  std::vector<LPWSTR> argv(8);
  const int split = SplitCommandLine(line.data(), storage.data(), argv.data(), 8);
  if (counted != split) __builtin_trap();
  for (int i = 0; i < split && i < 8; ++i)
    if (argv[i] < storage.data() || argv[i] >= storage.data() + storage.size()) __builtin_trap();
  return 0;
}
