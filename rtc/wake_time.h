// Wake source selection: the next automatic boot or the earliest coming clock alarm, and the
// programming of the external real-time clock (ERTC) with that instant.
#pragma once

#include "platform/platform.h"
#include "rtc/calendar.h"

// An alarm qualifies only when it lies more than this many seconds ahead.
#define ALARM_MIN_LEAD_SECONDS 300
// The handset is woken this many seconds before the alarm it wakes for.
#define ALARM_WAKE_LEAD_SECONDS 180

// What the ERTC wake-up is for (traced only).
#define ERTC_USAGE_NONE     0
#define ERTC_USAGE_AUTOBOOT 1
#define ERTC_USAGE_ALARM    2

// Chooses the wake-up instant and writes it to *pdwWakeTime (0 when nothing is to wake the
// handset): the automatic boot, or 180 s before the earliest clock alarm lying more than 300 s
// ahead when that comes before the boot (on a tie the boot wins). A boot instant that could
// not be computed never wins over a qualifying alarm. Always returns 1.
BOOL CompareNotifyToAutoBoot(RtcSeconds *pdwWakeTime);

// Chooses the wake-up instant and hands it to the ERTC, also when it is 0.
void WriteErtcWakeTime(void);
