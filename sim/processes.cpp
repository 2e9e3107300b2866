// Processes and the toolhelp snapshot. Not yet simulated: no snapshot can be taken.
#include "platform/platform.h"
#include "sim/call.h"

using namespace sim;

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  Call c("CreateToolhelp32Snapshot");
  c.Arg("flags", HexJson(dwFlags)).Arg("pid", th32ProcessID);
  c.SetError(ERROR_NOT_SUPPORTED);
  return c.Return(INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
}

BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
  Call c("Process32First");
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<BOOL>(FALSE, false);
}

BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
  Call c("Process32Next");
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<BOOL>(FALSE, false);
}

BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot) {
  Call c("CloseToolhelp32Snapshot");
  return c.Return<BOOL>(FALSE, false);
}

HANDLE OpenProcess(DWORD fdwAccess, BOOL fInherit, DWORD IDProcess) {
  Call c("OpenProcess");
  c.Arg("pid", IDProcess);
  c.SetError(ERROR_INVALID_PARAMETER);
  return c.Return<HANDLE>(nullptr, nullptr);
}

BOOL TerminateProcess(HANDLE hProcess, DWORD uExitCode) {
  Call c("TerminateProcess");
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<BOOL>(FALSE, false);
}
