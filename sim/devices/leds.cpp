#include "sim/devices/leds.h"

#include <cstdio>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

void Leds::Configure(const Section& root) {
  auto t = root.Table("leds");
  if (!t) return;
  count_fails_ = t->Bool("count_fails", false);
  for (const Section& entry : t->Tables("leds")) {
    Led led;
    led.cycle_adjust = static_cast<std::int32_t>(entry.Int("cycle_adjust", 0, INT32_MIN, INT32_MAX));
    led.supports_fails = entry.Bool("supports_fails", false);
    led.settings_fails = entry.Bool("settings_fails", false);
    entry.CheckNoUnknownKeys();
    leds_.push_back(led);
  }
  t->CheckNoUnknownKeys();
}

Led* Leds::Find(std::uint32_t n) { return n < leds_.size() ? &leds_[n] : nullptr; }

void Leds::SetState(std::uint32_t n, int state, Micros now) {
  Led& led = leds_.at(n);
  const bool was_on = led.state != kOff;
  const bool is_on = state != kOff;
  led.state = state;
  if (!led.IsVibrator() || was_on == is_on) return;
  if (is_on) {
    vibrations_.push_back(Vibration{n, now, std::nullopt});
  } else {
    for (auto it = vibrations_.rbegin(); it != vibrations_.rend(); ++it) {
      if (it->led == n && !it->off) {
        it->off = now;
        break;
      }
    }
  }
}

namespace {
std::string Seconds(Micros t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(t) / 1e6);
  return buf;
}
}  // namespace

void Leds::Summarize(Json& out) const {
  int vibrators = 0;
  for (const Led& led : leds_) vibrators += led.IsVibrator() ? 1 : 0;
  std::string text;
  Json list = Json::array();
  for (const Vibration& v : vibrations_) {
    if (!text.empty()) text += ", ";
    if (vibrators > 1) text += "LED " + std::to_string(v.led) + " ";
    text += "on " + Seconds(v.on) + "\u2013" + (v.off ? Seconds(*v.off) : std::string("still on"));
    Json vibration = ObjectWithRoom(3);
    Append(vibration, "led", v.led);
    Append(vibration, "on_ms", v.on / kMicrosPerMs);
    Append(vibration, "off_ms", v.off ? Json(*v.off / kMicrosPerMs) : Json(nullptr));
    list.push_back(std::move(vibration));
  }
  if (vibrators == 0)
    text = "none";
  else if (text.empty())
    text = "never switched on";
  Append(out, "vibrator", std::move(text));
  Append(out, "vibrations", std::move(list));
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Leds::Declared() {
  static const PartDeclaration kDeclared{
      {"NLedGetDeviceInfo", "NLedSetDevice"},
      {},
      {{"LED count fails", "[leds]\ncount_fails = true\n"},
       {"no LEDs", "[leds]\nleds = []\n"},
       {"vibrator supports query fails", "[leds]\nleds = [{cycle_adjust = -1, supports_fails = true}]\n"},
       {"vibrator settings fail", "[leds]\nleds = [{cycle_adjust = -1, settings_fails = true}]\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

namespace {

// Fills the supports record of the LED it names.
BOOL QuerySupports(Call& c, NLED_SUPPORTS_INFO* info) {
  c.Arg("led", info->LedNum);
  // The program learns the count first; an LED number past it is a loop that overran its bound.
  if (info->LedNum >= Dev().leds.Count())
    c.Misuse("NLedGetDeviceInfo for LED " + std::to_string(info->LedNum) + " of " + std::to_string(Dev().leds.Count()));
  Led* led = Dev().leds.Find(info->LedNum);
  if (led == nullptr || led->supports_fails || c.Injected("supports:" + std::to_string(info->LedNum))) {
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  info->lCycleAdjust = led->cycle_adjust;
  info->fAdjustTotalCycleTime = FALSE;
  info->fAdjustOnTime = FALSE;
  info->fAdjustOffTime = FALSE;
  info->fMetaCycleOn = FALSE;
  info->fMetaCycleOff = FALSE;
  c.Arg("cycle_adjust", led->cycle_adjust);
  return c.Return<BOOL>(TRUE, true);
}

}  // namespace

BOOL NLedGetDeviceInfo(UINT nInfoId, void* pOutput) {
  Call c("NLedGetDeviceInfo");
  c.Arg("info", nInfoId);
  Handset& d = Dev();
  if (pOutput == nullptr) {
    c.Misuse("NLedGetDeviceInfo without a record");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  if (nInfoId == NLED_COUNT_INFO_ID) {
    if (d.leds.CountFails() || c.Injected("count")) {
      c.SetError(ERROR_GEN_FAILURE);
      return c.Return<BOOL>(FALSE, false);
    }
    static_cast<NLED_COUNT_INFO*>(pOutput)->cLeds = d.leds.Count();
    c.Arg("count", d.leds.Count());
    return c.Return<BOOL>(TRUE, true);
  }
  if (nInfoId == NLED_SUPPORTS_INFO_ID) return QuerySupports(c, static_cast<NLED_SUPPORTS_INFO*>(pOutput));
  c.SetError(ERROR_NOT_SUPPORTED);
  return c.Return<BOOL>(FALSE, false);
}

BOOL NLedSetDevice(UINT nInfoId, void* pInput) {
  Call c("NLedSetDevice");
  c.Arg("info", nInfoId);
  Handset& d = Dev();
  if (nInfoId != NLED_SETTINGS_INFO_ID || pInput == nullptr) {
    if (pInput == nullptr) c.Misuse("NLedSetDevice without a record");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  const auto* s = static_cast<const NLED_SETTINGS_INFO*>(pInput);
  c.Arg("led", s->LedNum).Arg("state", s->OffOnBlink);
  // 0xFFFFFFFF is the program's "no vibrator found", which the driver simply refuses.
  if (s->LedNum >= d.leds.Count() && s->LedNum != 0xFFFFFFFFu)
    c.Misuse("NLedSetDevice for LED " + std::to_string(s->LedNum) + " of " + std::to_string(d.leds.Count()));
  Led* led = d.leds.Find(s->LedNum);
  if (led == nullptr || s->OffOnBlink < Leds::kOff || s->OffOnBlink > Leds::kBlink || led->settings_fails ||
      c.Injected("settings:" + std::to_string(s->LedNum))) {
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  d.leds.SetState(s->LedNum, s->OffOnBlink, d.kernel.Now());
  if (led->IsVibrator()) d.Note("vibrator", s->OffOnBlink == Leds::kOff ? "off" : "on", {{"led", s->LedNum}});
  return c.Return<BOOL>(TRUE, true);
}
