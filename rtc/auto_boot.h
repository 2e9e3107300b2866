// Auto-boot settings: whether the handset switches itself on every day and at what time, and
// whether the clock's alarms may switch it on. The daily boot time becomes the next automatic
// boot instant in clock seconds.
#pragma once

#include "platform/platform.h"
#include "rtc/calendar.h"

#define REGKEY_ALARM_SETTINGS  TEXT("ControlPanel\\AlarmSettings")
#define REGVAL_AUTOBOOT_ENABLE TEXT("AutoBootEnable")
#define REGVAL_AUTOBOOT_TIME   TEXT("AutoBootTime")
#define REGVAL_RTCALARM_ENABLE TEXT("RtcAlarmEnable")

// "AutoBootTime" is read into 260 characters, offered 260 bytes, so the text left behind is at
// most 129 characters and always terminated.
#define AUTOBOOT_TIME_CCH        260
#define AUTOBOOT_TIME_READ_BYTES 260
// A boot time at most this many seconds ahead is taken as tomorrow's.
#define AUTOBOOT_MIN_LEAD_SECONDS 120
#define SECONDS_PER_DAY           86400
// Size of one formatted date and time for the trace.
#define RTC_TIME_TEXT_CCH 100

// Reads "AutoBootTime" text as hours:minutes or hours:minutes:seconds, each piece read as the
// platform's _wtol reads decimal text and kept modulo 65,536; nothing is range-checked. Returns
// 0, with nothing written, for a text without ':' and for pieces longer than their storage: an
// hour of 3 or more characters, a rest after the first ':' of 10 or more, and in the form with
// seconds a minute or a text after the second ':' of 3 or more. Makes no platform call.
BOOL ParseAutoBootTime(LPCWSTR pszText, WORD *pwHour, WORD *pwMinute, WORD *pwSecond);

// Formats pst as "YYYY-MM-DD hh:mm:ss" into pszText of cchText characters.
void FormatRtcTimeText(const SYSTEMTIME *pst, LPWSTR pszText, DWORD cchText);

// Reads "AutoBootEnable" into *pdwAutoBootEn and computes *pdwBootTime, the next automatic boot
// instant: today at the configured time, or tomorrow when that lies at most 120 s ahead or has
// passed. Returns 1 when *pdwBootTime was written; 0 when "AutoBootEnable" cannot be read
// (nothing written) or the time cannot be read or is illegal (only *pdwAutoBootEn written).
BOOL GetAutoBootTime(DWORD *pdwAutoBootEn, RtcSeconds *pdwBootTime);

// Reads "RtcAlarmEnable" into *pdwRtcAlarmEn; leaves it untouched when it cannot be read.
void GetRtcAlarmEnable(DWORD *pdwRtcAlarmEn);
