#include "sim/devices/drivers.h"

#include <cstring>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/files.h"
#include "sim/devices/handset.h"

namespace sim {

void Drivers::Configure(const Section& root) {
  for (const char* name : {"SPI5:", "DMP1:", "BKL1:"}) drivers_[name] = DriverState{name};
  if (auto d = root.Table("drivers")) {
    for (const auto& name : d->Strings("missing")) {
      if (!drivers_.count(name)) d->Fail("missing", "unknown driver '" + name + "' (SPI5:, DMP1:, BKL1:)");
      drivers_[name].present = false;
    }
    for (const auto& name : d->Strings("refuse")) {
      if (!drivers_.count(name)) d->Fail("refuse", "unknown driver '" + name + "' (SPI5:, DMP1:, BKL1:)");
      drivers_[name].refuse = true;
    }
    d->CheckNoUnknownKeys();
  }
}

bool Drivers::IsDeviceName(const std::u16string& name) {
  // Device names are three letters, an index and a colon: "SPI5:".
  return name.size() >= 4 && name.size() <= 6 && name.back() == u':' && name.find(u'\\') == std::u16string::npos;
}

DriverState* Drivers::Find(const std::u16string& name) {
  auto it = drivers_.find(Narrow(name));
  return it == drivers_.end() ? nullptr : &it->second;
}

void Drivers::Summarize(Json& out) const {
  Append(out, "lcd", lcd_state == 4 ? "off (D4)" : "on (D" + std::to_string(lcd_state) + ")");
  Append(out, "log_dumps", log_dumps);
  Json missing = Json::array();
  for (const auto& [name, d] : drivers_)
    if (!d.present) missing.push_back(name);
  Append(out, "drivers_missing", std::move(missing));
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Drivers::Declared() {
  static const PartDeclaration kDeclared{{"CreateFileW", "DeviceIoControl"},
                                         {},
                                         {{"no LCD driver", "[drivers]\nmissing = [\"SPI5:\"]\n"},
                                          {"no log-dump driver", "[drivers]\nmissing = [\"DMP1:\"]\n"},
                                          {"no backlight driver", "[drivers]\nmissing = [\"BKL1:\"]\n"},
                                          {"LCD refuses", "[drivers]\nrefuse = [\"SPI5:\"]\n"},
                                          {"log dump refuses", "[drivers]\nrefuse = [\"DMP1:\"]\n"},
                                          {"backlight refuses", "[drivers]\nrefuse = [\"BKL1:\"]\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  Call c("CreateFileW");
  const std::u16string name = lpFileName ? lpFileName : u"";
  c.Arg("name", Narrow(name))
      .Arg("access", HexText(dwDesiredAccess))
      .Arg("share", dwShareMode)
      .Arg("disposition", dwCreationDisposition)
      .Arg("attributes", HexText(dwFlagsAndAttributes));
  Handset& d = Dev();
  if (lpFileName == nullptr || hTemplateFile != nullptr) {
    c.Misuse("CreateFileW without a name or with a template");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return(INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
  }
  if (c.Injected(Narrow(name))) {
    c.SetError(ERROR_ACCESS_DENIED);
    return c.Return(INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
  }
  if (!Drivers::IsDeviceName(name)) {
    HANDLE h = OpenSimFile(c, name, dwDesiredAccess, dwCreationDisposition);
    return c.Return(h, h == INVALID_HANDLE_VALUE ? Value("INVALID_HANDLE_VALUE") : HandleValue(h));
  }
  DriverState* drv = d.drivers.Find(name);
  if (drv == nullptr || !drv->present) {
    c.SetError(ERROR_FILE_NOT_FOUND);
    return c.Return(INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
  }
  ++drv->opens;
  const auto v = d.OpenHandle(HandleKind::kDevice, std::make_shared<std::string>(drv->name),
                              "device '" + drv->name + "'", "CreateFileW");
  c.SetError(ERROR_SUCCESS);
  HANDLE h = reinterpret_cast<HANDLE>(v);
  return c.Return(h, HandleValue(h));
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD /*lpBytesReturned*/,
                     LPOVERLAPPED /*lpOverlapped: every control completes at once*/) {
  Call c("DeviceIoControl");
  c.Arg("handle", HandleValue(hDevice))
      .Arg("code", HexText(dwIoControlCode))
      .Arg("in_size", nInBufferSize)
      .Arg("out_size", nOutBufferSize);
  if (lpInBuffer && nInBufferSize) c.Arg("in", HexBytes(lpInBuffer, nInBufferSize));
  Handset& d = Dev();
  auto* name = d.handles.Object<std::string>(reinterpret_cast<std::uintptr_t>(hDevice), HandleKind::kDevice);
  if (name == nullptr) {
    c.Misuse("DeviceIoControl on a handle that is not an open device");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<BOOL>(FALSE, false);
  }
  if ((lpInBuffer == nullptr) != (nInBufferSize == 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
    c.Misuse("DeviceIoControl with a buffer and a size that disagree");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  DriverState* drv = d.drivers.Find(Wide(*name));
  c.Arg("device", *name);
  ++drv->controls;
  if (drv->refuse || c.Injected(*name)) {
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  if (*name == "SPI5:" && dwIoControlCode == Drivers::kIoctlSetDevicePower) {
    if (nInBufferSize != 8) {
      c.Misuse("the LCD power control takes 8 bytes");
      c.SetError(ERROR_INVALID_PARAMETER);
      return c.Return<BOOL>(FALSE, false);
    }
    std::uint32_t words[2];
    std::memcpy(words, lpInBuffer, 8);
    d.drivers.lcd_state = static_cast<int>(words[0]);
    d.drivers.lcd_inputs.push_back(HexBytes(lpInBuffer, 8));
    d.Note("lcd", words[0] == 4 ? "off" : "power", {{"state", words[0]}, {"second_word", words[1]}});
    return c.Return<BOOL>(TRUE, true);
  }
  if (*name == "DMP1:" && dwIoControlCode == Drivers::kIoctlDumpLog) {
    ++d.drivers.log_dumps;
    d.Note("dmp", "dump", {{"lines", d.debug.Lines().size()}});
    return c.Return<BOOL>(TRUE, true);
  }
  c.SetError(ERROR_NOT_SUPPORTED);
  return c.Return<BOOL>(FALSE, false);
}
