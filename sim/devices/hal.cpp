#include "sim/devices/hal.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"
#include "sim/devices/local_time.h"

namespace sim {

std::string ErtcDate(std::uint32_t seconds) {
  const CivilTime t = CivilFromEpochSeconds(kEpoch1950, seconds);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

void Hal::Summarize(Json& out) const {
  if (ertc) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "0x%08X (%s)", *ertc, ErtcDate(*ertc).c_str());
    Append(out, "ertc", buf);
    Append(out, "ertc_value", *ertc);
  } else {
    Append(out, "ertc", "not written");
  }
  Append(out, "ertc_writes", ertc_writes.size());
  Append(out, "kernel_shutdown", !kernel_shutdowns.empty());
  Append(out, "kernel_shutdowns", kernel_shutdowns.size());
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Hal::Declared() {
  static const PartDeclaration kDeclared{{"KernelIoControl"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf, DWORD nOutBufSize,
                     LPDWORD lpBytesReturned) {
  Call c("KernelIoControl");
  c.Arg("code", HexText(dwIoControlCode)).Arg("in_size", nInBufSize).Arg("out_size", nOutBufSize);
  if (lpInBuf && nInBufSize) c.Arg("in", HexBytes(lpInBuf, nInBufSize));
  if (dwIoControlCode != Hal::kIoctlOemCommand) {
    c.SetError(ERROR_NOT_SUPPORTED);
    return c.Return<BOOL>(FALSE, false);
  }
  if (lpInBuf == nullptr || nInBufSize != 8 || (lpOutBuf == nullptr && nOutBufSize != 0) ||
      (lpOutBuf != nullptr && nOutBufSize < 4)) {
    c.Misuse("the OEM command takes an 8-byte input and at most a 4-byte output");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  std::uint32_t in[2];
  std::memcpy(in, lpInBuf, 8);
  Handset& d = Dev();
  d.hal.inputs.push_back(HexBytes(lpInBuf, 8));
  if (c.Injected(std::to_string(in[0]))) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  if (in[0] == Hal::kCmdWriteErtc) {
    d.hal.ertc = in[1];
    d.hal.ertc_writes.push_back({in[1], d.kernel.Now(), d.drivers.lcd_state != 4});
    d.Note("ertc", "write", {{"value", HexText(in[1])}, {"date", ErtcDate(in[1])}});
    d.wake_plan.OnErtcWrite(in[1], d.kernel.Now());
  } else if (in[0] == Hal::kCmdShutdown) {
    d.hal.kernel_shutdowns.push_back(d.kernel.Now());
    d.Note("kernel", "shutdown", {{"value", in[1]}});
  } else {
    c.SetError(ERROR_NOT_SUPPORTED);
    return c.Return<BOOL>(FALSE, false);
  }
  if (lpOutBuf) std::memset(lpOutBuf, 0, 4);
  if (lpBytesReturned) *lpBytesReturned = 0;
  return c.Return<BOOL>(TRUE, true);
}
