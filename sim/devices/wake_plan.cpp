#include "sim/devices/wake_plan.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include "sim/base/text.h"
#include "sim/devices/hal.h"
#include "sim/devices/handset.h"
#include "sim/devices/notification_db.h"

namespace sim {

namespace {

constexpr std::uint32_t kBootMinLead = 120;
constexpr std::uint32_t kAlarmMinLead = 300;
constexpr std::uint32_t kAlarmWakeLead = 180;
constexpr std::size_t kAlarmTable = 30;
constexpr std::uint32_t kSecondsPerDay = 86400;
const KeyRef kAlarmSettings{"HKEY_LOCAL_MACHINE", u"ControlPanel\\AlarmSettings"};

// What the program read while it chose the instant (since the previous ERTC write): the alarm
// settings a fault kept from it, and the local time it read first (the boot instant is computed
// from it) and last (the alarms are compared with it).
struct ProgramReads {
  std::set<std::string> hidden;  // names of settings the program could not read for a fault
  std::optional<CivilTime> first_time, last_time;
};

// A setting counts as hidden when the program's last query of it failed for a fault, or when it
// made none while a fault failed an opening of the settings' key (which the query follows).
ProgramReads ReadsSince(std::size_t from) {
  const auto& events = Dev().events.Events();
  ProgramReads reads;
  std::map<std::string, bool> queried;  // setting -> its last query was failed by a fault
  bool open_failed = false;
  for (std::size_t i = from; i < events.size(); ++i) {
    const Event& e = events[i];
    if (!e.IsCall()) continue;
    if (e.op == "GetLocalTime") {
      const CivilTime t = Dev().clock.CivilAt(e.t_us);
      if (!reads.first_time) reads.first_time = t;
      reads.last_time = t;
    } else if (e.op == "RegOpenKeyExW" && e.Contains("injected_fault")) {
      open_failed |= e.ArgShown("subkey") == Narrow(kAlarmSettings.path);
    } else if (e.op == "RegQueryValueExW") {
      queried[e.ArgShown("value")] = e.Contains("injected_fault");
    }
  }
  for (const char* name : {"AutoBootEnable", "AutoBootTime", "RtcAlarmEnable"}) {
    const auto it = queried.find(name);
    if (it == queried.end() ? open_failed : it->second) reads.hidden.insert(name);
  }
  return reads;
}

// What the program said it chose: the dwUsageOfERTC of its trace since `from`, if it traced one.
std::optional<int> TracedUsage(std::size_t from) {
  static const std::string kLine = "[Shutdown_RTC] CompareNotifyToAutoBoot--, dwUsageOfERTC = ";
  const auto& events = Dev().events.Events();
  // The line comes just before the write: looked for from the end.
  for (std::size_t i = events.size(); i > from; --i) {
    const Event& e = events[i - 1];
    if (!e.IsCall() || e.op != "NKDbgPrintfW") continue;
    const std::string text = e.ArgShown("text");
    if (text.rfind(kLine, 0) == 0) return std::atoi(text.c_str() + kLine.size());
  }
  return std::nullopt;
}

const ProgramReads* g_reads = nullptr;  // of the plan being made

bool Hidden(const char16_t* name) { return g_reads != nullptr && g_reads->hidden.count(Narrow(name)) != 0; }

// A 32-bit setting as a 4-byte read sees it: nothing when missing, larger than 4 bytes or hidden
// from the program by a fault.
std::optional<std::uint32_t> DwordSetting(const char16_t* name) {
  if (Hidden(name)) return std::nullopt;
  const RegValue* v = Dev().registry.FindValue(kAlarmSettings, name);
  if (v == nullptr || v->data.size() > 4) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < v->data.size(); ++i) value |= std::uint32_t{v->data[i]} << (8 * i);
  return value;
}

// The boot time text as a 260-byte read into a zeroed buffer sees it.
std::optional<std::u16string> TextSetting(const char16_t* name) {
  if (Hidden(name)) return std::nullopt;
  const RegValue* v = Dev().registry.FindValue(kAlarmSettings, name);
  if (v == nullptr || v->data.size() > 260) return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i < v->data.size(); i += 2) {
    const char16_t ch = static_cast<char16_t>(v->data[i] | (i + 1 < v->data.size() ? v->data[i + 1] << 8 : 0));
    if (ch == 0) break;
    text += ch;
  }
  return text;
}

// Decimal text as the platform's wide strtol reads it, kept modulo 65,536 (the program's pieces
// hold at most nine characters, so no value overflows on the way).
std::uint16_t Decimal(std::u16string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == u' ' || (s[i] >= u'\t' && s[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  long long v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) v = v * 10 + (s[i] - u'0');
  return static_cast<std::uint16_t>(negative ? -v : v);
}

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string Join(const std::vector<std::string>& parts, const char* sep) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : sep) + p;
  return out;
}

// Dates of up to three alarms, then how many more.
std::string DateList(const std::vector<std::uint32_t>& when) {
  std::vector<std::string> dates;
  for (std::size_t i = 0; i < when.size() && i < 3; ++i) dates.push_back(ErtcDate(when[i]));
  std::string out = Join(dates, ", ");
  if (when.size() > 3) out += " and " + std::to_string(when.size() - 3) + " more";
  return out;
}

std::string Count(std::size_t n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::uint32_t RtcSecondsOf(const CivilTime& t, std::uint32_t h, std::uint32_t m, std::uint32_t s) {
  const auto days = static_cast<std::uint32_t>(DaysFromCivil(t.year, t.month, t.day) - kEpoch1950);
  return days * kSecondsPerDay + h * 3600u + m * 60u + s;
}

struct BootPlan {
  std::optional<std::uint32_t> enable;  // nothing: cannot be read
  bool known = false;                   // the boot instant was computed
  std::uint32_t when = 0;
  std::vector<std::string> why;
};

BootPlan PlanBoot(const CivilTime& now) {
  BootPlan b;
  b.enable = DwordSetting(u"AutoBootEnable");
  if (!b.enable) {
    b.why.push_back("AutoBootEnable cannot be read, so no auto-boot");
    return b;
  }
  if (*b.enable == 0) b.why.push_back("auto-boot disabled");
  const auto text = TextSetting(u"AutoBootTime");
  const auto clock = text ? ParseBootClock(*text) : std::nullopt;
  if (*b.enable != 0 && !text) b.why.push_back("AutoBootTime cannot be read, so the boot time is unknown");
  if (*b.enable != 0 && text && !clock)
    b.why.push_back("AutoBootTime \"" + Narrow(*text) + "\" is illegal, so the boot time is unknown");
  if (!clock) return b;
  b.known = true;
  b.when = RtcSecondsOf(now, clock->hour, clock->minute, clock->second);
  const std::uint32_t now_s = RtcSecondsOf(now, now.hour, now.minute, now.second);
  if (now_s >= b.when - kBootMinLead) {
    if (*b.enable != 0)
      b.why.push_back("the boot time today, " + ErtcDate(b.when) +
                      ", lies at most 120 s ahead or has passed, so tomorrow");
    b.when += kSecondsPerDay;
  }
  return b;
}

struct AlarmPlan {
  std::optional<std::uint32_t> enable;
  std::optional<std::uint32_t> chosen;  // start of the alarm chosen
  std::size_t later = 0;
  std::vector<std::string> why;
};

// The clock alarms the program received, as it keeps them: valid start times, at most 30, in
// delivery order. Notes what it could not see.
std::vector<std::uint32_t> AlarmsSeen(std::vector<std::string>& why) {
  const NotificationDb& db = Dev().notifications;
  const NotificationWalk& walk = db.Walk();
  std::vector<std::uint32_t> seen;
  if (!walk.list_failure.empty()) {
    why.push_back(walk.list_failure + ", so no alarm was seen");
    return seen;
  }
  std::size_t clock_alarms = 0;
  for (const NotificationEntry& e : db.Entries()) clock_alarms += IsClockAlarm(e) ? 1 : 0;
  if (clock_alarms == 0) why.push_back("no clock alarm in the database");
  if (!walk.handles_delivered) {
    if (clock_alarms != 0) why.push_back("the program did not fetch the notification handles, so no alarm was seen");
    return seen;
  }
  std::size_t others = 0, invalid = 0, beyond = 0;
  std::vector<std::string> unread;
  for (std::size_t i = 0; i < db.Entries().size(); ++i) {
    const NotificationEntry& e = db.Entries()[i];
    const bool fetched = walk.fetched.count(i) != 0;
    if (!IsClockAlarm(e)) {
      others += fetched ? 1 : 0;
    } else if (beyond > 0 || (fetched && seen.size() == kAlarmTable && ValidErtcSeconds(e.start))) {
      ++beyond;
    } else if (!fetched) {
      unread.push_back("#" + std::to_string(i + 1) + (walk.failed.count(i) ? " (the database failed it)" : ""));
    } else if (auto s = ValidErtcSeconds(e.start)) {
      seen.push_back(*s);
    } else {
      ++invalid;
    }
  }
  if (!unread.empty()) why.push_back("clock alarm notification " + Join(unread, ", ") + " not read");
  if (invalid) why.push_back(Count(invalid, "clock alarm", "clock alarms") + " with an impossible start time ignored");
  if (beyond) why.push_back(Count(beyond, "clock alarm", "clock alarms") + " beyond the 30th not looked at");
  if (others) why.push_back(Count(others, "notification is", "notifications are") + " not a clock alarm");
  return seen;
}

AlarmPlan PlanAlarms(const CivilTime& now) {
  AlarmPlan a;
  a.enable = DwordSetting(u"RtcAlarmEnable");
  if (!a.enable || *a.enable == 0) {
    a.why.push_back(a.enable ? "clock alarms may not wake the handset (RtcAlarmEnable 0)"
                             : "RtcAlarmEnable cannot be read, so clock alarms may not wake the handset");
    return a;
  }
  std::vector<std::string> database_notes;
  const std::vector<std::uint32_t> seen = AlarmsSeen(database_notes);
  const std::uint32_t now_s = RtcSecondsOf(now, now.hour, now.minute, now.second);
  std::vector<std::uint32_t> passed, close;
  std::size_t qualifying = 0;
  for (std::uint32_t s : seen) {
    if (s <= now_s)
      passed.push_back(s);
    else if (s - now_s <= kAlarmMinLead)
      close.push_back(s);
    else {
      ++qualifying;
      if (!a.chosen || s < *a.chosen) a.chosen = s;
    }
  }
  a.later = qualifying > 0 ? qualifying - 1 : 0;
  if (!passed.empty()) a.why.push_back("alarm at " + DateList(passed) + " passed");
  if (!close.empty()) a.why.push_back("alarm at " + DateList(close) + " too close (300 s or less ahead)");
  if (a.later) a.why.push_back(Count(a.later, "later alarm", "later alarms"));
  a.why.insert(a.why.end(), database_notes.begin(), database_notes.end());
  return a;
}

std::string UsageName(int usage) {
  return usage == 1 ? "the auto-boot" : usage == 2 ? "the clock alarm" : usage == 0 ? "neither" : "an unknown use";
}

}  // namespace

std::optional<BootClock> ParseBootClock(std::u16string_view text) {
  const auto colon = text.find(u':');
  if (colon == std::u16string_view::npos || colon >= 3) return std::nullopt;
  const std::u16string_view rest = text.substr(colon + 1);
  if (rest.size() >= 10) return std::nullopt;
  BootClock c;
  c.hour = Decimal(text.substr(0, colon));
  const auto second_colon = rest.find(u':');
  if (second_colon == std::u16string_view::npos) {
    c.minute = Decimal(rest);
    return c;
  }
  if (second_colon >= 3 || rest.size() - second_colon - 1 >= 3) return std::nullopt;
  c.minute = Decimal(rest.substr(0, second_colon));
  c.second = Decimal(rest.substr(second_colon + 1));
  return c;
}

void WakePlan::OnErtcWrite(std::uint32_t written, Micros at) {
  // A disagreement found at an earlier write of this run stays the plan the summary shows.
  if (planned_ && !agrees_) return;
  const ProgramReads reads = ReadsSince(since_);
  g_reads = &reads;
  const CivilTime now = Dev().clock.CivilAt(at);  // for a program that read no local time
  BootPlan boot = PlanBoot(reads.first_time.value_or(now));
  AlarmPlan alarm = PlanAlarms(reads.last_time.value_or(now));
  g_reads = nullptr;
  const bool boot_on = boot.enable.value_or(0) != 0;
  const bool alarms_on = alarm.enable.value_or(0) != 0;
  const std::optional<std::uint32_t> wake =
      alarm.chosen ? std::optional<std::uint32_t>(*alarm.chosen - kAlarmWakeLead) : std::nullopt;
  std::string head;
  std::vector<std::string> why;
  int usage = 0;  // the dwUsageOfERTC this plan gives: 1 auto-boot, 2 clock alarm, 0 neither
  if (wake && (!boot_on || !boot.known || *wake < boot.when)) {
    value_ = *wake;
    usage = 2;
    head = "wakes at " + ErtcDate(*wake) + " for the clock alarm at " + ErtcDate(*alarm.chosen) + ", 180 s before it";
    if (boot_on && boot.known) why.push_back("the auto-boot at " + ErtcDate(boot.when) + " comes later");
  } else if (boot_on) {
    value_ = boot.known ? boot.when : 0;
    usage = 1;
    head = boot.known ? "wakes for the auto-boot at " + ErtcDate(boot.when)
                      : "writes 0: auto-boot is on, but its time is unknown";
    if (wake)
      why.push_back("the clock alarm at " + ErtcDate(*alarm.chosen) + " would wake it at " + ErtcDate(*wake) +
                    ", not before the auto-boot");
  } else {
    value_ = 0;
    usage = alarms_on ? 2 : 0;
    head = alarms_on ? "writes 0: no clock alarm qualifies and auto-boot is off"
                     : "writes 0: neither auto-boot nor clock alarms are enabled";
  }
  why.insert(why.end(), boot.why.begin(), boot.why.end());
  why.insert(why.end(), alarm.why.begin(), alarm.why.end());
  const std::optional<int> traced = TracedUsage(since_);
  const bool same_use = !traced || *traced == usage;
  agrees_ = value_ == written && same_use;
  text_ = head + (why.empty() ? "" : "; " + Join(why, "; "));
  if (value_ != written)
    text_ += "; BUT the ERTC was written with " + Hex(written) + " where this plan gives " + Hex(value_);
  if (!same_use)
    text_ += "; BUT the program chose " + UsageName(*traced) + " (dwUsageOfERTC " + std::to_string(*traced) +
             ") where this plan chooses " + UsageName(usage) + " (" + std::to_string(usage) + ")";
  planned_ = true;
  since_ = Dev().events.Events().size();
}

void WakePlan::Summarize(Json& out) const {
  if (!planned_) return;
  Append(out, "wake_plan", text_);
  Append(out, "wake_plan_value", value_);
  Append(out, "wake_plan_agrees", agrees_);
}

}  // namespace sim
