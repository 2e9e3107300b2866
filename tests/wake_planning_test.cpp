// Wake-up planning on the simulated handset: the auto-boot settings, the clock alarms the
// notification database holds, the choice between them and the value written to the ERTC, as
// the trace and the summary show them. The two pure readers (the "AutoBootTime" grammar and one
// fetched notification) are also called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "platform/platform.h"
#include "power/power_controls.h"
#include "rtc/auto_boot.h"
#include "rtc/clock_alarms.h"
#include "tests/harness.h"

using testing_support::RunBuiltin;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::RunSpec;

namespace {

// 2008-06-15 06:40:00, the built-in handset's start, in clock seconds.
constexpr DWORD kStart = 0x6DF356C0;

std::string Hex(DWORD v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// "2008-06-15 hh:mm:ss" for `offset` seconds after 06:40:00 on the same day.
std::string SameDay(int offset) {
  const int s = 6 * 3600 + 40 * 60 + offset;
  EXPECT_TRUE(s >= 0 && s < 86400);
  char buf[32];
  std::snprintf(buf, sizeof buf, "2008-06-15 %02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

std::string Dword(const char* name, DWORD v) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "\"%s\"=dword:%08x\n", name, v);
  return buf;
}
std::string Text(const char* name, const std::string& v) { return "\"" + std::string(name) + "\"=\"" + v + "\"\n"; }

// One clock alarm (or another notification) of the database.
std::string Alarm(const std::string& start, const std::string& application = "\\Windows\\clock.exe", int type = 4) {
  return "[[notifications]]\nstart = \"" + start + "\"\napplication = '" + application +
         "'\ntype = " + std::to_string(type) + "\n";
}

// The built-in handset with its alarm settings and notifications replaced.
struct Handset {
  std::string start = "2008-06-15 06:40:00";
  std::string settings;       // lines of ControlPanel\AlarmSettings
  std::string notifications;  // [[notifications]] and [clock_alarms] tables; none when empty

  std::string Toml() const {
    std::string t = notifications.find("[[notifications]]") == std::string::npos ? "notifications = []\n" : "";
    t += "[clock]\nstart = \"" + start + "\"\n";
    t += "[registry]\ntext = '''\nREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n" + settings +
         "\n[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call Count\"=dword:00000000\n\n"
         "[HKEY_LOCAL_MACHINE\\System\\Startup\\1]\n\"Dll\"=\"\\\\Windows\\\\ShutdownAnimation.dll\"\n'''\n";
    return t + notifications;
  }
};

RunResult RunMode1(const Handset& h, std::vector<std::string> fail = {}) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n" + h.Toml();
  spec.args = {"1"};
  spec.fail = std::move(fail);
  return RunProgram(spec);
}

// The wake-up planning lines of a run, without their "[Shutdown_RTC] " tag.
std::vector<std::string> RtcLines(const RunResult& r) {
  std::vector<std::string> out;
  for (const auto& l : r.lines)
    if (l.text.rfind("[Shutdown_RTC] ", 0) == 0) out.push_back(l.text.substr(15));
  return out;
}

DWORD ErtcValue(const RunResult& r) { return r.summary.value("ertc_value", 0xDEADBEEFu); }

// Every run here ends with the ERTC written once, the plan agreeing, no invariant violated and
// no block of the program's heap left behind.
void ExpectSoundRun(const RunResult& r) {
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.outcome, "suspended") << r.Dump();
  EXPECT_EQ(r.summary["ertc_writes"], 1);
  EXPECT_TRUE(r.summary.value("wake_plan_agrees", false)) << r.summary.value("wake_plan", "(no plan)");
  EXPECT_TRUE(r.summary["violations"].empty()) << r.summary["violations"].dump();
  EXPECT_TRUE(r.summary["heap"]["live"].empty()) << r.summary["heap"].dump();
}

const std::string kBootOnAlarmsOff = Dword("AutoBootEnable", 1) + Dword("RtcAlarmEnable", 0);
const std::string kBootOffAlarmsOn =
    Dword("AutoBootEnable", 0) + Text("AutoBootTime", "7:00") + Dword("RtcAlarmEnable", 1);

}  // namespace

TEST(AutoBootTime, GrammarAndPieceLengths) {
  struct Case {
    const char16_t* text;
    bool legal;
    WORD hour, minute, second;
  };
  const Case cases[] = {
      {u"7:30", true, 7, 30, 0},
      {u"07:30:15", true, 7, 30, 15},
      {u"7:", true, 7, 0, 0},
      {u":45", true, 0, 45, 0},
      {u"7:5:", true, 7, 5, 0},
      {u"25:00", true, 25, 0, 0},
      {u" 7:-1", true, 7, 65535, 0},
      {u"7:0:1:", true, 7, 0, 1},
      {u"12:000000059", true, 12, 59, 0},
      {u"7", false, 0, 0, 0},
      {u"", false, 0, 0, 0},
      {u"123:00", false, 0, 0, 0},
      {u"12:0000000000", false, 0, 0, 0},
      {u"7:123:00", false, 0, 0, 0},
      {u"7:12:345", false, 0, 0, 0},
      {u"7:0:0:0", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
    WORD h = 0xEEEE, m = 0xEEEE, s = 0xEEEE;
    ASSERT_EQ(ParseAutoBootTime(c.text, &h, &m, &s), c.legal ? 1 : 0);
    if (c.legal) {
      EXPECT_EQ(h, c.hour);
      EXPECT_EQ(m, c.minute);
      EXPECT_EQ(s, c.second);
    } else {
      EXPECT_EQ(h, 0xEEEE);  // an illegal text writes nothing
      EXPECT_EQ(m, 0xEEEE);
      EXPECT_EQ(s, 0xEEEE);
    }
  }
}

namespace {

// A fetched notification laid out as the database lays it out, in a block of exactly its size.
struct Fetched {
  std::unique_ptr<BYTE[]> bytes;
  DWORD size = 0;
  CE_NOTIFICATION_INFO_HEADER* Header() { return reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(bytes.get()); }
  CE_NOTIFICATION_TRIGGER* Trigger() {
    return reinterpret_cast<CE_NOTIFICATION_TRIGGER*>(bytes.get() + sizeof(CE_NOTIFICATION_INFO_HEADER));
  }
};

const SYSTEMTIME kAlarmStart = {2008, 6, 0, 15, 7, 30, 0, 0};

Fetched Notification(const std::u16string* application, DWORD type = CNT_CLASSICTIME) {
  Fetched f;
  f.size = sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER) +
           (application ? (application->size() + 1) * 2 : 0);
  f.bytes.reset(new BYTE[f.size]());
  f.Header()->pcent = f.Trigger();
  f.Trigger()->dwSize = sizeof(CE_NOTIFICATION_TRIGGER);
  f.Trigger()->dwType = type;
  f.Trigger()->stStartTime = kAlarmStart;
  if (application) {
    auto* text =
        reinterpret_cast<WCHAR*>(f.bytes.get() + sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER));
    std::memcpy(text, application->c_str(), (application->size() + 1) * 2);
    f.Trigger()->lpszApplication = text;
  }
  return f;
}

}  // namespace

TEST(ClockAlarmRecord, WhatCountsAsAClockAlarm) {
  struct Case {
    const char* what;
    std::optional<std::u16string> application;
    DWORD type;
    bool alarm;
  };
  const Case cases[] = {
      {"the clock's alarm", u"\\Windows\\clock.exe", 4, true},
      {"clock.exe inside a longer name", u"\\Program Files\\alarmclock.exe.lnk", 4, true},
      {"another case", u"\\Windows\\Clock.exe", 4, false},
      {"upper case", u"\\WINDOWS\\CLOCK.EXE", 4, false},
      {"another application", u"\\Windows\\calendar.exe", 4, false},
      {"another type", u"\\Windows\\clock.exe", CNT_TIME, false},
      {"no application", std::nullopt, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fetched f = Notification(c.application ? &*c.application : nullptr, c.type);
    SYSTEMTIME st = {};
    ASSERT_EQ(ReadClockAlarm(f.bytes.get(), f.size, &st), c.alarm ? 1 : 0);
    if (c.alarm) {
      EXPECT_EQ(std::memcmp(&st, &kAlarmStart, sizeof st), 0);
    }
  }
}

TEST(ClockAlarmRecord, PointersOutsideTheBufferMakeNoAlarm) {
  const std::u16string clock = u"\\Windows\\clock.exe";
  Fetched elsewhere = Notification(&clock);  // a well-formed record in another block
  struct Case {
    const char* what;
    void (*spoil)(Fetched& f, Fetched& other);
    DWORD trim;  // bytes left out at the end
  };
  const Case cases[] = {
      {"untouched", [](Fetched&, Fetched&) {}, 0},
      {"no trigger", [](Fetched& f, Fetched&) { f.Header()->pcent = nullptr; }, 0},
      {"trigger in another block", [](Fetched& f, Fetched& o) { f.Header()->pcent = o.Trigger(); }, 0},
      {"trigger running past the end",
       [](Fetched& f, Fetched&) {
         f.Header()->pcent = reinterpret_cast<CE_NOTIFICATION_TRIGGER*>(f.bytes.get() + f.size - 8);
       },
       0},
      {"application in another block",
       [](Fetched& f, Fetched& o) { f.Trigger()->lpszApplication = o.Trigger()->lpszApplication; }, 0},
      {"application off a character boundary",
       [](Fetched& f, Fetched&) {
         f.Trigger()->lpszApplication =
             reinterpret_cast<WCHAR*>(reinterpret_cast<BYTE*>(f.Trigger()->lpszApplication) + 1);
       },
       0},
      {"application without its terminator", [](Fetched&, Fetched&) {}, 2},
      {"header cut short", [](Fetched&, Fetched&) {}, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fetched f = Notification(&clock);
    c.spoil(f, elsewhere);
    // Copy into a block of exactly the size handed over, so that a read past it is caught
    // under AddressSanitizer.
    const DWORD size = c.trim == 0xFFFFFFFF ? sizeof(CE_NOTIFICATION_INFO_HEADER) - 1 : f.size - c.trim;
    std::unique_ptr<BYTE[]> exact(new BYTE[size]);
    std::memcpy(exact.get(), f.bytes.get(), size);
    // Pointers into the original block are moved along to the copy.
    auto rebase = [&](void* p) -> void* {
      const auto at = reinterpret_cast<std::uintptr_t>(p), base = reinterpret_cast<std::uintptr_t>(f.bytes.get());
      return at >= base && at < base + f.size ? exact.get() + (at - base) : p;
    };
    if (size >= sizeof(CE_NOTIFICATION_INFO_HEADER)) {
      auto* header = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(exact.get());
      header->pcent = static_cast<CE_NOTIFICATION_TRIGGER*>(rebase(header->pcent));
      const std::uintptr_t trigger_at = reinterpret_cast<std::uintptr_t>(header->pcent);
      const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(exact.get());
      if (trigger_at >= base && trigger_at + sizeof(CE_NOTIFICATION_TRIGGER) <= base + size) {
        auto* trigger = header->pcent;
        trigger->lpszApplication = static_cast<WCHAR*>(rebase(trigger->lpszApplication));
      }
    }
    SYSTEMTIME st = {};
    EXPECT_EQ(ReadClockAlarm(exact.get(), size, &st), std::string(c.what) == "untouched" ? 1 : 0);
  }
  SYSTEMTIME st = {};
  EXPECT_EQ(ReadClockAlarm(nullptr, 500, &st), 0);
}

// Well-formed records spoiled at random: pointers moved in and around the buffer, the buffer cut
// short, bytes changed. Nothing outside the buffer is ever read (AddressSanitizer watches), and
// a record is an alarm only when its trigger and terminated application lie inside.
TEST(ClockAlarmRecord, SpoiledRecordsAreReadSafely) {
  constexpr DWORD kHeader = sizeof(CE_NOTIFICATION_INFO_HEADER);
  constexpr DWORD kTrigger = sizeof(CE_NOTIFICATION_TRIGGER);
  const std::u16string names[] = {u"\\Windows\\clock.exe", u"clock.exe", u"\\Windows\\calendar.exe"};
  std::mt19937 rng(20080615);
  int alarms = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::u16string& name = names[rng() % 3];
    Fetched layout = Notification(&name);
    std::intptr_t trigger_at = kHeader, app_at = kHeader + kTrigger;
    DWORD size = layout.size;
    switch (rng() % 5) {
      case 0:
        trigger_at = static_cast<std::intptr_t>(rng() % (size + 32)) - 16;
        break;
      case 1:
        app_at = static_cast<std::intptr_t>(rng() % (size + 32)) - 16;
        break;
      case 2:
        size = rng() % (size + 1);
        break;
      case 3:
        layout.bytes[rng() % size] = static_cast<BYTE>(rng());
        break;
      default:
        break;
    }
    // The record in a block of exactly `size` bytes, its pointers aimed relative to that block.
    std::unique_ptr<BYTE[]> exact(new BYTE[size ? size : 1]);
    std::memcpy(exact.get(), layout.bytes.get(), size);
    auto plant = [&](DWORD slot, std::intptr_t offset) {
      if (slot + sizeof(void*) > size) return;
      const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(exact.get()) + offset;  // only the address
      std::memcpy(exact.get() + slot, &p, sizeof p);
    };
    plant(offsetof(CE_NOTIFICATION_INFO_HEADER, pcent), trigger_at);
    plant(kHeader + offsetof(CE_NOTIFICATION_TRIGGER, lpszApplication), app_at);
    SYSTEMTIME st;
    const BOOL alarm = ReadClockAlarm(exact.get(), size, &st);
    alarms += alarm;
    if (alarm) {
      EXPECT_TRUE(trigger_at >= 0 && trigger_at + kTrigger <= size);
      EXPECT_TRUE(app_at >= 0 && app_at < static_cast<std::intptr_t>(size));
      EXPECT_NE(name, names[2]);
    }
  }
  // Two records in three name the clock and one in five is left whole: the alarm path is taken
  // often, not only the refusals.
  EXPECT_GT(alarms, 2000);
}

TEST(AutoBoot, NextBootInstant) {
  struct Case {
    std::string start, time, ertc;
    bool next_day;
  };
  const Case cases[] = {
      {"2008-06-15 06:58:00", "7:00", "0x6DF4ACF0 (2008-06-16 07:00:00)", true},   // exactly 120 s ahead
      {"2008-06-15 06:57:59", "7:00", "0x6DF35B70 (2008-06-15 07:00:00)", false},  // 121 s ahead
      {"2008-12-31 23:59:00", "0:30", "0x6EFAAC08 (2009-01-01 00:30:00)", true},   // passed: next year
      {"2008-06-15 06:40:00", "07:30:15", "0x6DF36287 (2008-06-15 07:30:15)", false},
      {"2008-06-15 06:40:00", "7:5:", "0x6DF35C9C (2008-06-15 07:05:00)", false},
      {"2008-06-15 06:40:00", ":45", "0x6DF4550C (2008-06-16 00:45:00)", true},
      {"2008-06-15 06:40:00", "25:00", "0x6DF45890 (2008-06-16 01:00:00)", false},  // hours add in
      {"2008-06-15 07:00:00", "7:00", "0x6DF4ACF0 (2008-06-16 07:00:00)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start + " " + c.time);
    Handset h;
    h.start = c.start;
    h.settings = kBootOnAlarmsOff + Text("AutoBootTime", c.time);
    const RunResult r = RunMode1(h);
    ExpectSoundRun(r);
    EXPECT_EQ(r.summary["ertc"], c.ertc);
    EXPECT_EQ(r.Has("[Shutdown_RTC] GetAutoBootTime, dwBootTime add 1 day."), c.next_day) << r.Dump();
    EXPECT_TRUE(r.Has("[Shutdown_RTC] Not enable RtcAlarm, Enable AutoBoot. "));
    EXPECT_TRUE(r.Has("[Shutdown_RTC] CompareNotifyToAutoBoot--, dwUsageOfERTC = 1"));
    EXPECT_TRUE(r.Has("[Shutdown_RTC] GetAutoBootTime: " + c.ertc.substr(c.ertc.find('(') + 1, 19) + ",[" +
                      c.ertc.substr(0, c.ertc.find(' ')) + "]."));
  }
}

TEST(AutoBoot, UnreadableOrIllegalSettings) {
  struct Case {
    std::string what, settings, failure_line;
    std::string enables;  // the enables line's values
  };
  const std::string kTail = Dword("RtcAlarmEnable", 0);
  const Case cases[] = {
      {"no colon", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7"), "illegal AUTOBOOT_TIME string.",
       "0, dwAutoBootEn=1"},
      {"empty", Dword("AutoBootEnable", 1) + Text("AutoBootTime", ""), "illegal AUTOBOOT_TIME string.",
       "0, dwAutoBootEn=1"},
      {"hour of three", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "007:00"), "illegal AUTOBOOT_TIME string.",
       "0, dwAutoBootEn=1"},
      {"rest of ten", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:0000000000"),
       "illegal AUTOBOOT_TIME string.", "0, dwAutoBootEn=1"},
      {"minute of three", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:000:00"),
       "illegal AUTOBOOT_TIME string.", "0, dwAutoBootEn=1"},
      {"second of three", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00:000"),
       "illegal AUTOBOOT_TIME string.", "0, dwAutoBootEn=1"},
      {"a long text", Dword("AutoBootEnable", 1) + Text("AutoBootTime", std::string(129, '7')),
       "illegal AUTOBOOT_TIME string.", "0, dwAutoBootEn=1"},
      {"too long to read", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00" + std::string(126, ' ')),
       "Get AUTOBOOT_TIME failed.", "0, dwAutoBootEn=1"},
      {"time missing", Dword("AutoBootEnable", 1), "Get AUTOBOOT_TIME failed.", "0, dwAutoBootEn=1"},
      {"enable missing", Text("AutoBootTime", "7:00"), "Get REGNAME_AUTOBOOT_ENABLE failed.", "0, dwAutoBootEn=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Handset h;
    h.settings = c.settings + kTail;
    const RunResult r = RunMode1(h);
    ExpectSoundRun(r);
    const auto lines = RtcLines(r);
    ASSERT_GE(lines.size(), 4u) << r.Dump();
    EXPECT_EQ(lines[1], "GetAutoBootTime ++");
    EXPECT_EQ(lines[2], c.failure_line);
    EXPECT_EQ(lines[3], "CompareNotifyToAutoBoot, dwRtcAlarmEn=" + c.enables + ".");
    EXPECT_EQ(ErtcValue(r), 0u);
    // With automatic boot on but no boot time, the wake-up is 0 for the auto-boot.
    const bool boot_on = c.enables.back() == '1';
    EXPECT_EQ(r.Has("dwUsageOfERTC = 1"), boot_on);
  }
}

TEST(WakeSource, NothingEnabledTracesEveryStepInOrder) {
  Handset h;
  h.settings = Dword("AutoBootEnable", 0) + Text("AutoBootTime", "7:00") + Dword("RtcAlarmEnable", 0);
  const RunResult r = RunMode1(h);
  ExpectSoundRun(r);
  EXPECT_EQ(RtcLines(r), (std::vector<std::string>{
                             "CompareNotifyToAutoBoot ++.",
                             "GetAutoBootTime ++",
                             "LocalTime: 2008-06-15 06:40:00, [0x6DF356C0].",
                             "dwBootTime = 0x6DF35B70.",
                             "GetAutoBootTime: 2008-06-15 07:00:00,[0x6DF35B70].",
                             "CompareNotifyToAutoBoot, dwRtcAlarmEn=0, dwAutoBootEn=0.",
                             "Not enable RtcAlarm, Not enable AutoBoot. ",
                             "CompareNotifyToAutoBoot--, dwUsageOfERTC = 0",
                             "Ready Write ERTC: 1950-01-01 00:00:00, [0x0]. ",
                         }));
  EXPECT_EQ(r.summary["ertc"], "0x00000000 (1950-01-01 00:00:00)");
  EXPECT_TRUE(r.Calls("CeGetUserNotificationHandles").empty());
  EXPECT_NE(r.summary["wake_plan"].get<std::string>().find("neither auto-boot nor clock alarms are enabled"),
            std::string::npos);
  // The ERTC is written with {10, 0} before anything else of the sequence reaches a device.
  const auto kernel = r.Calls("KernelIoControl");
  ASSERT_FALSE(kernel.empty());
  EXPECT_EQ(kernel.front()["args"]["in"], "0A 00 00 00 00 00 00 00");
}

TEST(WakeSource, ChoiceBetweenAlarmsAndTheAutoBoot) {
  struct Case {
    std::string what, settings, notifications;
    DWORD ertc;
    int usage;
    int ignored;  // "Ignore this clock." lines
  };
  const std::string both = Dword("AutoBootEnable", 1) + Dword("RtcAlarmEnable", 1);
  const Case cases[] = {
      {"alarm 300 s ahead is too close", kBootOffAlarmsOn, Alarm(SameDay(300)), 0, 2, 1},
      {"alarm 301 s ahead", kBootOffAlarmsOn, Alarm(SameDay(301)), kStart + 121, 2, 0},
      {"the earlier alarm wins over table order", kBootOffAlarmsOn, Alarm(SameDay(7200)) + Alarm(SameDay(3600)),
       kStart + 3420, 2, 0},
      {"passed and close alarms ignored, the later chosen", kBootOffAlarmsOn,
       Alarm(SameDay(-60)) + Alarm(SameDay(5400)) + Alarm(SameDay(120)) + Alarm(SameDay(4000)), kStart + 3820, 2, 2},
      {"every alarm passed or too close", kBootOffAlarmsOn, Alarm(SameDay(-3600)) + Alarm(SameDay(200)), 0, 2, 2},
      {"no alarm at all", kBootOffAlarmsOn, "", 0, 2, 0},
      {"boot and alarm's wake-up tie: the boot wins", both + Text("AutoBootTime", "7:40"), Alarm(SameDay(3780)),
       kStart + 3600, 1, 0},
      {"alarm one second earlier wins", both + Text("AutoBootTime", "7:40"), Alarm(SameDay(3779)), kStart + 3599, 2, 0},
      {"boot before a qualifying alarm", both + Text("AutoBootTime", "7:00"), Alarm(SameDay(7200)), kStart + 1200, 1,
       0},
      {"boot enabled, no alarm qualifies", both + Text("AutoBootTime", "7:00"), Alarm(SameDay(100)), kStart + 1200, 1,
       1},
      {"illegal boot time never wins over an alarm", both + Text("AutoBootTime", "7"), Alarm(SameDay(3600)),
       kStart + 3420, 2, 0},
      {"missing boot time never wins over an alarm", both, Alarm(SameDay(3600)), kStart + 3420, 2, 0},
      {"missing boot time and no alarm", both, "", 0, 1, 0},
      {"alarms disabled: not collected",
       Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00") + Dword("RtcAlarmEnable", 0), Alarm(SameDay(600)),
       kStart + 1200, 1, 0},
      {"RtcAlarmEnable missing: not collected", Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00"),
       Alarm(SameDay(600)), kStart + 1200, 1, 0},
      {"alarm tomorrow", kBootOffAlarmsOn, Alarm("2008-06-16 06:00:00"), kStart + 84000 - 180, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Handset h;
    h.settings = c.settings;
    h.notifications = c.notifications;
    const RunResult r = RunMode1(h);
    ExpectSoundRun(r);
    EXPECT_EQ(ErtcValue(r), c.ertc) << Hex(ErtcValue(r)) << "\n" << r.Dump();
    EXPECT_TRUE(r.Has("[Shutdown_RTC] CompareNotifyToAutoBoot--, dwUsageOfERTC = " + std::to_string(c.usage)));
    EXPECT_EQ(r.Count("[Shutdown_RTC] Ignore this clock."), c.ignored);
    const bool alarm_chosen = c.usage == 2 && c.ertc != 0;
    const bool any_qualifies = r.Has("dwAlarmRtc = ");
    EXPECT_EQ(r.Count("[Shutdown_RTC] dwAlarmRtc = "), any_qualifies ? 1 : 0);
    if (alarm_chosen) {
      EXPECT_TRUE(r.Has("[Shutdown_RTC] dwAlarmRtc = " + Hex(c.ertc) + "."));
    }
    const bool collected = c.settings.find("\"RtcAlarmEnable\"=dword:00000001") != std::string::npos;
    EXPECT_EQ(r.Has("[Shutdown_RTC] GetSystemClockNotifyTime ++"), collected);
    EXPECT_TRUE(r.Has("[Shutdown_RTC] Ready Write ERTC: ") && r.Has(", [" + Hex(c.ertc) + "]. "));
  }
}

TEST(ClockAlarms, TheThirtyRecordTable) {
  struct Case {
    int count;
    bool descending;
    int kept;
    bool too_many;
    int fetched;  // notifications fetched (size query and fetch each)
    DWORD ertc;
  };
  // Alarms a minute apart from 07:00 today; the first qualifies.
  const Case cases[] = {
      {29, false, 29, false, 29, kStart + 1020},
      {30, false, 30, false, 30, kStart + 1020},
      {31, false, 30, true, 31, kStart + 1020},
      {40, false, 30, true, 31, kStart + 1020},
      // Latest first: the earliest alarm lies beyond the 30th and is never looked at.
      {31, true, 30, true, 31, kStart + 1020 + 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + (c.descending ? " descending" : ""));
    Handset h;
    h.settings = kBootOffAlarmsOn;
    h.notifications =
        "[clock_alarms]\ncount = " + std::to_string(c.count) +
        "\nevery_ms = 60000\nfirst = \"2008-06-15 07:00:00\"\ndescending = " + (c.descending ? "true" : "false") + "\n";
    const RunResult r = RunMode1(h);
    ExpectSoundRun(r);
    EXPECT_TRUE(r.Has("[Shutdown_RTC] clock : g_dwArraySize=" + std::to_string(c.kept) + " "));
    EXPECT_EQ(r.Has("[Shutdown_RTC] Error: Notify count is too much!"), c.too_many);
    EXPECT_EQ(r.Calls("CeGetUserNotification").size(), 2u * c.fetched);
    EXPECT_EQ(ErtcValue(r), c.ertc);
    EXPECT_EQ(r.Count("Ignore this clock."), 0);
    if (c.count > 30) {
      EXPECT_NE(r.summary["wake_plan"].get<std::string>().find(std::to_string(c.count - 30) + " clock alarm"),
                std::string::npos)
          << r.summary["wake_plan"];
    }
  }
}

TEST(ClockAlarms, OnlyClockAlarmsWithRealStartTimesAreKept) {
  struct Case {
    std::string what, entry;
    int kept;
    bool invalid_line;
  };
  auto fields = [](const std::string& f) { return "[[notifications]]\nstart_fields = [" + f + "]\n"; };
  const Case cases[] = {
      {"a clock alarm", Alarm(SameDay(3600)), 1, false},
      {"another type", Alarm(SameDay(3600), "\\Windows\\clock.exe", 2), 0, false},
      {"another application", Alarm(SameDay(3600), "\\Windows\\calendar.exe"), 0, false},
      {"no application", "[[notifications]]\nno_application = true\nstart = \"" + SameDay(3600) + "\"\n", 0, false},
      {"clock.exe inside a longer name", Alarm(SameDay(3600), "\\Storage Card\\myclock.exe.bak"), 1, false},
      {"Clock.exe", Alarm(SameDay(3600), "\\Windows\\Clock.exe"), 0, false},
      {"CLOCK.EXE", Alarm(SameDay(3600), "\\WINDOWS\\CLOCK.EXE"), 0, false},
      {"month 13", fields("2008, 13, 0, 15, 8, 0, 0, 0"), 0, true},
      {"month 0", fields("2008, 0, 0, 15, 8, 0, 0, 0"), 0, true},
      {"month 14", fields("2008, 14, 0, 15, 8, 0, 0, 0"), 0, true},
      {"31 June", fields("2008, 6, 0, 31, 8, 0, 0, 0"), 0, true},
      {"29 February of a common year", fields("2009, 2, 0, 29, 8, 0, 0, 0"), 0, true},
      {"hour 24", fields("2008, 6, 0, 15, 24, 0, 0, 0"), 0, true},
      {"minute 60", fields("2008, 6, 0, 15, 8, 60, 0, 0"), 0, true},
      {"before 1950", fields("1949, 12, 0, 31, 23, 59, 59, 0"), 0, true},
      {"past the clock's last second", fields("2086, 2, 0, 6, 6, 28, 16, 0"), 0, true},
      {"the clock's last second", fields("2086, 2, 0, 6, 6, 28, 15, 0"), 1, false},
      {"29 February of a leap year", fields("2012, 2, 0, 29, 8, 0, 0, 0"), 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Handset h;
    h.settings = kBootOffAlarmsOn;
    h.notifications = c.entry;
    const RunResult r = RunMode1(h);
    ExpectSoundRun(r);
    EXPECT_TRUE(r.Has("[Shutdown_RTC] clock : g_dwArraySize=" + std::to_string(c.kept) + " ")) << r.Dump();
    EXPECT_EQ(r.Has("[Shutdown_RTC] Invalid clock time "), c.invalid_line);
    EXPECT_EQ(ErtcValue(r) != 0, c.kept == 1);
  }
}

TEST(ClockAlarms, DatabaseFailures) {
  struct Case {
    std::string rule, line;
    DWORD ertc;  // the first alarm gives kStart + 420, the second kStart + 720
    int kept;
  };
  const Case cases[] = {
      {"", "", kStart + 420, 2},
      {"CeGetUserNotificationHandles:count", "GetSystemClockNotifyTime, CeGetUserNotificationHandles failed. ",
       kStart + 1200, 0},
      {"CeGetUserNotificationHandles:fetch", "GetSystemClockNotifyTime, Get handles failed. ", kStart + 1200, 0},
      // Allocations are told apart by their size: two handles of 8 bytes, and a notification of
      // 136 bytes (header, trigger, application and empty arguments).
      {"LocalAlloc:16", "GetSystemClockNotifyTime, malloc failed. ", kStart + 1200, 0},
      {"LocalAlloc:136@1", "", kStart + 720, 1},           // the first notification's buffer
      {"CeGetUserNotification:1", "", kStart + 720, 1},    // cannot be sized
      {"CeGetUserNotification:1@2", "", kStart + 720, 1},  // sized, but cannot be fetched
      {"CeGetUserNotification:2", "", kStart + 420, 1},
      {"CeGetUserNotification", "", kStart + 1200, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Handset h;
    h.settings = Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00") + Dword("RtcAlarmEnable", 1);
    h.notifications = Alarm(SameDay(600)) + Alarm(SameDay(900));
    const RunResult r = RunMode1(h, c.rule.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.rule});
    ExpectSoundRun(r);
    EXPECT_TRUE(r.summary["unused_fault_rules"].empty()) << r.summary["unused_fault_rules"];
    const auto lines = RtcLines(r);
    const auto notify = std::find(lines.begin(), lines.end(), "GetSystemClockNotifyTime ++");
    ASSERT_NE(notify, lines.end());
    // A failure of the walk itself is traced right after its entry; a lost notification is not.
    EXPECT_EQ(notify[1], c.line.empty() ? "clock : g_dwArraySize=" + std::to_string(c.kept) + " " : c.line);
    EXPECT_EQ(ErtcValue(r), c.ertc) << Hex(ErtcValue(r));
    EXPECT_EQ(r.Count("[Shutdown_RTC] Ready Write ERTC: "), 1);
  }
}

TEST(WakePlan, ExplainsTheChoiceInWords) {
  struct Case {
    std::string what, settings, notifications;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"the built-in handset",
       "",
       "",
       {"wakes for the auto-boot at 2008-06-15 07:00:00",
        "would wake it at 2008-06-16 06:27:00, not before the auto-boot", "alarm at 2008-06-15 06:15:00 passed",
        "alarm at 2008-06-15 06:43:00 too close", "1 notification is not a clock alarm"}},
      {"an alarm before the boot",
       Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00") + Dword("RtcAlarmEnable", 1),
       Alarm(SameDay(600)),
       {"wakes at 2008-06-15 06:47:00 for the clock alarm at 2008-06-15 06:50:00, 180 s before it",
        "the auto-boot at 2008-06-15 07:00:00 comes later"}},
      {"auto-boot moved to tomorrow",
       kBootOnAlarmsOff + Text("AutoBootTime", "6:41"),
       "",
       {"wakes for the auto-boot at 2008-06-16 06:41:00", "lies at most 120 s ahead or has passed, so tomorrow",
        "clock alarms may not wake the handset (RtcAlarmEnable 0)"}},
      {"illegal boot time",
       kBootOnAlarmsOff + Text("AutoBootTime", "7h"),
       "",
       {"writes 0: auto-boot is on, but its time is unknown", "AutoBootTime \"7h\" is illegal"}},
      {"alarms only, all passed",
       kBootOffAlarmsOn,
       Alarm(SameDay(-60)),
       {"writes 0: no clock alarm qualifies and auto-boot is off", "auto-boot disabled",
        "alarm at 2008-06-15 06:39:00 passed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r;
    if (c.settings.empty()) {
      r = RunBuiltin("", {"1"});
    } else {
      Handset h;
      h.settings = c.settings;
      h.notifications = c.notifications;
      r = RunMode1(h);
    }
    ExpectSoundRun(r);
    const std::string plan = r.summary.value("wake_plan", "");
    for (const auto& w : c.words) EXPECT_NE(plan.find(w), std::string::npos) << w << "\n in: " << plan;
  }
}

TEST(WakePlan, SaysSoWhenTheWrittenValueDisagrees) {
  RunSpec spec;
  spec.scenario = "base = \"builtin\"\n";
  spec.entry = [] {
    HalOemCommand(HAL_CMD_WRITE_ERTC, 12345);
    return 0;
  };
  spec.expect_violations = {"ertc-once", "wake-plan"};  // a write outside any sequence, of another value
  const RunResult r = RunProgram(spec);
  ASSERT_EQ(r.error, "");
  EXPECT_FALSE(r.summary["wake_plan_agrees"].get<bool>());
  EXPECT_NE(r.summary["wake_plan"].get<std::string>().find(
                "BUT the ERTC was written with 0x00003039 where this plan gives 0x6DF35B70"),
            std::string::npos)
      << r.summary["wake_plan"];
}

// A setting the program could not read for a fault is planned without, as the program had to:
// the plan follows the fault and the run is sound (the harness judges it by every invariant).
TEST(WakePlan, FollowsTheReadsThatAFaultFailed) {
  struct Case {
    std::string rule;
    DWORD ertc;  // the alarm wakes at kStart + 420, the boot is kStart + 1200
    std::string words;
  };
  const Case cases[] = {
      {"", kStart + 420, "for the clock alarm"},
      {"RegQueryValueExW:AutoBootEnable", kStart + 420, "AutoBootEnable cannot be read"},
      {"RegQueryValueExW:AutoBootTime", kStart + 420, "for the clock alarm"},
      {"RegQueryValueExW:RtcAlarmEnable", kStart + 1200, "RtcAlarmEnable cannot be read"},
      // The key is opened for each of the three reads, in this order.
      {"RegOpenKeyExW:ControlPanel\\AlarmSettings@1", kStart + 420, "AutoBootEnable cannot be read"},
      {"RegOpenKeyExW:ControlPanel\\AlarmSettings@2", kStart + 420, "for the clock alarm"},
      {"RegOpenKeyExW:ControlPanel\\AlarmSettings@3", kStart + 1200, "RtcAlarmEnable cannot be read"},
      {"RegOpenKeyExW:ControlPanel\\AlarmSettings", 0, "neither auto-boot nor clock alarms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Handset h;
    h.settings = Dword("AutoBootEnable", 1) + Text("AutoBootTime", "7:00") + Dword("RtcAlarmEnable", 1);
    h.notifications = Alarm(SameDay(600));
    const RunResult r = RunMode1(h, c.rule.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.rule});
    ExpectSoundRun(r);
    EXPECT_EQ(ErtcValue(r), c.ertc) << Hex(ErtcValue(r));
    EXPECT_NE(r.summary.value("wake_plan", "").find(c.words), std::string::npos) << r.summary["wake_plan"];
  }
}

TEST(NotificationScenario, BadEntriesAreNamed) {
  struct Case {
    std::string toml, message;
  };
  const Case cases[] = {
      {"[[notifications]]\ntype = 4\n", "key 'notifications[0].start': missing"},
      {"[[notifications]]\nstart = \"2008-06-31 07:00:00\"\n", "key 'notifications[0].start': expected a date"},
      {"[[notifications]]\nstart_fields = [2008, 6, 0, 15]\n",
       "key 'notifications[0].start_fields': expected eight numbers"},
      {"[[notifications]]\nstart = \"2008-06-15 07:00:00\"\nstart_fields = [2008, 6, 0, 15, 7, 0, 0, 0]\n",
       "give either start or start_fields"},
      {"[[notifications]]\nstart = \"2008-06-15 07:00:00\"\nno_application = true\napplication = 'x'\n",
       "key 'notifications[0].application'"},
      {"[[notifications]]\nstart = \"2008-06-15 07:00:00\"\nsnooze = 5\n",
       "key 'notifications[0].snooze': unknown key"},
      {"[clock_alarms]\ncount = 3\nevery_ms = 1500\n",
       "key 'clock_alarms.every_ms': expected a whole number of seconds"},
      {"[clock_alarms]\ncount = 3\nrepeat = true\n", "key 'clock_alarms.repeat': unknown key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    RunSpec spec;
    spec.scenario = "base = \"builtin\"\n" + c.toml;
    spec.args = {"1"};
    const RunResult r = RunProgram(spec);
    EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("test.toml:"), std::string::npos) << r.error;
  }
}
