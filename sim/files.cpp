#include "sim/files.h"

#include "sim/handset.h"

namespace sim {

HANDLE OpenSimFile(Call& c, const std::u16string& name, DWORD access, DWORD disposition) {
  c.SetError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

}  // namespace sim

using namespace sim;

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  Call c("GetFileSize");
  c.Arg("handle", HandleJson(hFile));
  c.Misuse("GetFileSize on a handle that is not an open file");
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<DWORD>(INVALID_FILE_SIZE, "INVALID_FILE_SIZE");
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  Call c("ReadFile");
  c.Arg("handle", HandleJson(hFile)).Arg("bytes", nNumberOfBytesToRead);
  c.Misuse("ReadFile on a handle that is not an open file");
  c.SetError(ERROR_INVALID_HANDLE);
  return c.Return<BOOL>(FALSE, false);
}
