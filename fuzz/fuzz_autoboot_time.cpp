// The "AutoBootTime" grammar, on any 16-bit text: a time comes out, or the text is refused.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtc/auto_boot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<WCHAR> text(size / 2 + 1, 0);
  std::memcpy(text.data(), data, size / 2 * 2);
  WORD wHour = 0xAAAA, wMinute = 0xAAAA, wSecond = 0xAAAA;
  if (!ParseAutoBootTime(text.data(), &wHour, &wMinute, &wSecond)) return 0;
  // Without a ':' no text is a time.
  bool colon = false;
  for (WCHAR ch : text) colon |= ch == u':';
  if (!colon) __builtin_trap();
  return 0;
}
