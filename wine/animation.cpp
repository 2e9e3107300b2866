// The shutdown animation library for a PC: exports DoShutdownAnimation, which "plays" for the
// time the handset's settings give (HKLM\Software\Handset\Animation, PlaysMs, default 0) and
// returns 0. Each call is recorded in the event log with the thread that made it.
#include "wine/record.h"

extern "C" __declspec(dllexport) DWORD DoShutdownAnimation(DWORD dwReserved, DWORD dwDoneEvent, DWORD dwCallEvent) {
  DWORD dwPlaysMs = HandsetSettingDword(L"Animation", L"PlaysMs", 0);
  char szArgs[160];
  snprintf(szArgs, sizeof(szArgs), "\"reserved\":%lu,\"done_event\":%s,\"call_event\":\"0x%lX\",\"plays_ms\":%lu",
           (unsigned long)dwReserved, dwDoneEvent != 0 ? "\"set\"" : "null", (unsigned long)dwCallEvent,
           (unsigned long)dwPlaysMs);
  AppendRecord("\"kind\":\"call\",\"op\":\"DoShutdownAnimation\",\"tid\":" + std::to_string(GetCurrentThreadId()) +
               ",\"pid\":" + std::to_string(GetCurrentProcessId()) + ",\"args\":{" + szArgs + "},\"result\":0");
  Sleep(dwPlaysMs);
  return 0;
}
