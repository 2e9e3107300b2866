// One fetched notification as the database hands it over, made of any bytes: the reader follows
// no pointer outside the buffer. Pointers in the input are made to point into the buffer, just
// past it, or far away, so that every case is tried.
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtc/clock_alarms.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  // The buffer lives in a block of exactly its size, so a read past it is caught.
  std::vector<BYTE> buffer(data + 4, data + size);
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(buffer.data());
  // Rewrite every pointer-sized slot named by the first bytes into an address near the buffer.
  for (int i = 0; i < 4; ++i) {
    const std::size_t slot = static_cast<std::size_t>(data[i]) * sizeof(void*);
    if (slot + sizeof(void*) > buffer.size()) continue;
    std::uintptr_t target = 0;
    std::memcpy(&target, buffer.data() + slot, sizeof target);
    target = base + target % (buffer.size() + 16);
    std::memcpy(buffer.data() + slot, &target, sizeof target);
  }
  SYSTEMTIME st;
  ReadClockAlarm(buffer.data(), static_cast<DWORD>(buffer.size()), &st);
  return 0;
}
