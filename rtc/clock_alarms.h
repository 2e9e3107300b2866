// Clock alarm collection: the start times of the clock application's alarms, read from the
// platform's notification database into a fixed table before the handset goes down.
#pragma once

#include "platform/platform.h"

// Records the table holds; a clock alarm found beyond the last one ends the walk with an error.
#define CLOCK_ALARM_TABLE_SIZE 30
// A clock alarm is a timed user notification whose application path contains this name (case
// kept).
#define CLOCK_APPLICATION_NAME TEXT("clock.exe")

// Start times of the clock alarms found, in the order the database delivered their handles;
// records from g_dwArraySize on are all zero.
extern SYSTEMTIME g_AlarmTimes[CLOCK_ALARM_TABLE_SIZE];
// Records of g_AlarmTimes filled, 0 to CLOCK_ALARM_TABLE_SIZE.
extern DWORD g_dwArraySize;

// Reads one notification as fetched from the database: cbBuffer bytes at pBuffer holding the
// information header and the records it points to. Returns 1 and copies the trigger's start
// time to *pstStart when it is a clock alarm (an application, type CNT_CLASSICTIME, the
// application containing "clock.exe"), else 0. A header, trigger or application string that
// does not lie wholly inside the buffer, or a string not terminated inside it, makes the
// record no clock alarm: nothing outside the buffer is ever read. Makes no platform call.
BOOL ReadClockAlarm(const BYTE *pBuffer, DWORD cbBuffer, SYSTEMTIME *pstStart);

// Walks the notification database and fills g_AlarmTimes and g_dwArraySize with the valid clock
// alarms (start times that the clock can hold); alarms with an impossible start time are traced
// and skipped. Returns 1 when every handle was examined, 0 when the handles cannot be listed
// or fetched, memory runs out, or a clock alarm beyond the table's last record is found. The
// table is valid on every path.
BOOL GetSystemClockNotifyTime(void);
