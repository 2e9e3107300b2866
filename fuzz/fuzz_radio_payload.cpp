// Recognition of the radio's power-off report, on any notification code and payload.
#include <cstdint>
#include <cstring>
#include <vector>

#include "steps/radio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  DWORD dwCode;
  std::memcpy(&dwCode, data, 4);
  // The payload lives in a block of exactly its size, so a read past it is caught.
  const bool null_payload = data[4] & 1;
  std::vector<std::uint8_t> payload(data + 5, data + size);
  IsRadioPowerOffReport(dwCode, null_payload ? nullptr : payload.data(), static_cast<DWORD>(payload.size()));
  return 0;
}
