#include "sim/devices/notification_db.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

namespace {

constexpr const char* kClockPath = "\\Windows\\clock.exe";
constexpr std::int64_t kSecondsPerDay = 86400;

// Seconds since 1950-01-01 00:00:00 of a civil time (negative before it).
std::int64_t SecondsSince1950(const CivilTime& t) {
  return (DaysFromCivil(t.year, t.month, t.day) - kEpoch1950) * kSecondsPerDay + t.hour * 3600 + t.minute * 60 +
         t.second;
}

TimeFields FieldsOf(const CivilTime& t) {
  return {static_cast<std::uint16_t>(t.year),        static_cast<std::uint16_t>(t.month),
          static_cast<std::uint16_t>(t.day_of_week), static_cast<std::uint16_t>(t.day),
          static_cast<std::uint16_t>(t.hour),        static_cast<std::uint16_t>(t.minute),
          static_cast<std::uint16_t>(t.second),      0};
}

// Reads `key` ("YYYY-MM-DD hh:mm:ss") or `key`_fields (eight raw numbers) of an entry.
std::optional<TimeFields> ReadTime(const Section& e, const std::string& key) {
  const std::string fields_key = key + "_fields";
  if (e.Has(key) && e.Has(fields_key)) e.Fail(fields_key, "give either " + key + " or " + fields_key + ", not both");
  if (e.Has(fields_key)) {
    const auto v = e.Ints(fields_key, 0, 65535);
    if (v.size() != 8)
      e.Fail(fields_key, "expected eight numbers: year, month, day_of_week, day, hour, minute, second, ms");
    TimeFields t{};
    for (std::size_t i = 0; i < 8; ++i) t[i] = static_cast<std::uint16_t>(v[i]);
    return t;
  }
  if (!e.Has(key)) return std::nullopt;
  CivilTime c;
  if (!ParseCivil(e.String(key, ""), c)) e.Fail(key, "expected a date and time as \"YYYY-MM-DD hh:mm:ss\"");
  return FieldsOf(c);
}

NotificationEntry ReadEntry(const Section& e) {
  NotificationEntry n;
  n.type = e.U32("type", NotificationDb::kClassicTime);
  if (e.Bool("no_application", false)) {
    if (e.Has("application")) e.Fail("application", "an entry with no_application has no application");
  } else {
    n.application = Wide(e.String("application", kClockPath));
  }
  n.arguments = Wide(e.String("arguments", ""));
  const auto start = ReadTime(e, "start");
  if (!start) e.Fail("start", "missing: the notification's start time");
  n.start = *start;
  n.end = ReadTime(e, "end").value_or(n.start);
  e.CheckNoUnknownKeys();
  return n;
}

// Appends `text` and its terminator to `out` as 16-bit characters.
void PutString(std::uint8_t* out, const std::u16string& text) {
  std::memcpy(out, text.data(), text.size() * sizeof(char16_t));
  std::memset(out + text.size() * sizeof(char16_t), 0, sizeof(char16_t));
}

SYSTEMTIME ToSystemTime(const TimeFields& t) { return SYSTEMTIME{t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]}; }

}  // namespace

std::string FieldsText(const TimeFields& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t[0], t[1], t[3], t[4], t[5], t[6]);
  return buf;
}

std::optional<std::uint32_t> ValidErtcSeconds(const TimeFields& t) {
  const unsigned year = t[0], month = t[1], day = t[3];
  if (year < 1950 || year > 2086 || month < 1 || month > 12 || day < 1 || t[4] > 23 || t[5] > 59 || t[6] > 59)
    return std::nullopt;
  const CivilTime check = CivilFromDays(DaysFromCivil(year, month, day));
  if (check.month != month || check.day != day) return std::nullopt;
  CivilTime c = check;
  c.hour = t[4];
  c.minute = t[5];
  c.second = t[6];
  const std::int64_t s = SecondsSince1950(c);
  if (s > 0xFFFFFFFFLL) return std::nullopt;
  return static_cast<std::uint32_t>(s);
}

bool IsClockAlarm(const NotificationEntry& e) {
  return e.application && e.type == NotificationDb::kClassicTime &&
         e.application->find(u"clock.exe") != std::u16string::npos;
}

void NotificationDb::Configure(const Section& root, const LocalClock& clock) {
  for (const Section& e : root.Tables("notifications")) entries_.push_back(ReadEntry(e));
  if (auto series = root.Table("clock_alarms")) ReadSeries(*series, clock);
}

void NotificationDb::ReadSeries(const Section& series, const LocalClock& clock) {
  const auto count = series.Int("count", 0, 0, 10000);
  const std::uint64_t every_ms = series.Ms("every_ms", 3600000);
  if (every_ms == 0 || every_ms % 1000 != 0) series.Fail("every_ms", "expected a whole number of seconds, above 0");
  const std::int64_t every = static_cast<std::int64_t>(every_ms / 1000);
  std::int64_t first = SecondsSince1950(clock.CivilAt(0)) + every;
  if (series.Has("first")) {
    CivilTime c;
    if (!ParseCivil(series.String("first", ""), c))
      series.Fail("first", "expected a date and time as \"YYYY-MM-DD hh:mm:ss\"");
    first = SecondsSince1950(c);
  }
  const bool descending = series.Bool("descending", false);
  const std::u16string application = Wide(series.String("application", kClockPath));
  series.CheckNoUnknownKeys();
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t at = first + every * (descending ? count - 1 - i : i);
    if (at < 0) series.Fail("first", "the series reaches before 1950");
    NotificationEntry n;
    n.application = application;
    n.start = n.end = FieldsOf(CivilFromEpochSeconds(kEpoch1950, static_cast<std::uint64_t>(at)));
    entries_.push_back(std::move(n));
  }
}

std::optional<std::size_t> NotificationDb::IndexOf(std::uintptr_t handle) const {
  if (handle < kFirstHandle || handle - kFirstHandle >= entries_.size()) return std::nullopt;
  return handle - kFirstHandle;
}

std::size_t NotificationDb::FetchedSize(std::size_t index) const {
  const NotificationEntry& e = entries_.at(index);
  std::size_t size = sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER);
  if (e.application) size += (e.application->size() + 1) * sizeof(char16_t);
  return size + (e.arguments.size() + 1) * sizeof(char16_t);
}

void NotificationDb::Write(std::size_t index, std::uint8_t* buffer) const {
  const NotificationEntry& e = entries_.at(index);
  auto* header = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(buffer);
  auto* trigger = reinterpret_cast<CE_NOTIFICATION_TRIGGER*>(buffer + sizeof(CE_NOTIFICATION_INFO_HEADER));
  std::uint8_t* strings = buffer + sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER);
  header->hNotification = reinterpret_cast<HANDLE>(HandleOf(index));
  header->dwStatus = 0;
  header->pcent = trigger;
  header->pceun = nullptr;
  trigger->dwSize = sizeof(CE_NOTIFICATION_TRIGGER);
  trigger->dwType = e.type;
  trigger->dwEvent = 0;
  trigger->lpszApplication = nullptr;
  if (e.application) {
    PutString(strings, *e.application);
    trigger->lpszApplication = reinterpret_cast<WCHAR*>(strings);
    strings += (e.application->size() + 1) * sizeof(char16_t);
  }
  PutString(strings, e.arguments);
  trigger->lpszArguments = reinterpret_cast<WCHAR*>(strings);
  trigger->stStartTime = ToSystemTime(e.start);
  trigger->stEndTime = ToSystemTime(e.end);
}

void NotificationDb::Summarize(Json& out) const {
  int alarms = 0;
  for (const auto& e : entries_) alarms += IsClockAlarm(e) ? 1 : 0;
  Append(out, "notifications", entries_.size());
  Append(out, "clock_alarms", alarms);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& NotificationDb::Declared() {
  static const PartDeclaration kDeclared{{"CeGetUserNotification", "CeGetUserNotificationHandles"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

namespace {

// True when `p` is a heap block of the program smaller than `claimed` bytes.
bool ShortHeapBlock(const void* p, std::size_t claimed) {
  const Heap::Block* b = Dev().heap.Find(p);
  return b != nullptr && b->size < claimed;
}

}  // namespace

BOOL CeGetUserNotificationHandles(HANDLE* rghNotifications, DWORD cHandles, LPDWORD pcHandlesNeeded) {
  Call c("CeGetUserNotificationHandles");
  const bool fetch = rghNotifications != nullptr;
  c.Arg("buffer", fetch).Arg("capacity", cHandles);
  if (pcHandlesNeeded == nullptr || (!fetch && cHandles != 0) ||
      (fetch && ShortHeapBlock(rghNotifications, std::size_t{cHandles} * sizeof(HANDLE)))) {
    c.Misuse("CeGetUserNotificationHandles without a place for the count, or with a buffer smaller than it says");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  NotificationDb& db = Dev().notifications;
  NotificationWalk& walk = db.Walk();
  if (!fetch) walk = NotificationWalk{};
  if (c.Injected(fetch ? "fetch" : "count")) {
    walk.list_failure =
        fetch ? "the database failed to hand over its handles" : "the database failed to count its notifications";
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  const DWORD count = static_cast<DWORD>(db.Entries().size());
  *pcHandlesNeeded = count;
  if (!fetch) {
    walk.counted = true;
    return c.Return<BOOL>(TRUE, count);
  }
  if (cHandles < count) {
    walk.list_failure = "the program offered room for fewer handles than there are notifications";
    c.SetError(ERROR_INSUFFICIENT_BUFFER);
    return c.Return<BOOL>(FALSE, false);
  }
  for (DWORD i = 0; i < count; ++i) rghNotifications[i] = reinterpret_cast<HANDLE>(db.HandleOf(i));
  walk.handles_delivered = true;
  return c.Return<BOOL>(TRUE, count);
}

BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded, LPBYTE pBuffer) {
  Call c("CeGetUserNotification");
  c.Arg("handle", HandleValue(hNotification)).Arg("size", cBufferSize).Arg("buffer", pBuffer != nullptr);
  NotificationDb& db = Dev().notifications;
  const auto index = db.IndexOf(reinterpret_cast<std::uintptr_t>(hNotification));
  if (!index || pcBytesNeeded == nullptr || (pBuffer == nullptr && cBufferSize != 0) ||
      (pBuffer != nullptr && ShortHeapBlock(pBuffer, cBufferSize))) {
    c.Misuse(!index ? "CeGetUserNotification on a value that is no notification handle"
                    : "CeGetUserNotification without a place for the size, or with a buffer smaller than it says");
    c.SetError(!index ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    if (pcBytesNeeded) *pcBytesNeeded = 0;
    return c.Return<BOOL>(FALSE, false);
  }
  c.Arg("notification", *index + 1);
  if (c.Injected(std::to_string(*index + 1))) {
    db.Walk().failed.insert(*index);
    *pcBytesNeeded = 0;
    c.SetError(ERROR_GEN_FAILURE);
    return c.Return<BOOL>(FALSE, false);
  }
  const std::size_t size = db.FetchedSize(*index);
  *pcBytesNeeded = static_cast<DWORD>(size);
  if (pBuffer == nullptr || cBufferSize < size) {
    c.SetError(ERROR_INSUFFICIENT_BUFFER);
    return c.Return<BOOL>(FALSE, false);
  }
  db.Write(*index, pBuffer);
  db.Walk().fetched.insert(*index);
  const NotificationEntry& e = db.Entries()[*index];
  c.Arg("type", e.type)
      .Arg("application", e.application ? Value(Narrow(*e.application)) : Value(nullptr))
      .Arg("start", FieldsText(e.start));
  return c.Return<BOOL>(TRUE, true);
}
