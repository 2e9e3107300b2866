#include "sim/devices/debug_output.h"

#include <cstdarg>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

void DebugOutput::Write(Micros at, const std::string& thread, std::string_view text) {
  raw_ += text;
  std::string& line = partial_[thread];
  for (std::size_t nl; (nl = text.find('\n')) != std::string_view::npos; text.remove_prefix(nl + 1)) {
    line.append(text.substr(0, nl));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(TraceLine{at, thread, std::move(line)});
    if (sink_) sink_(lines_.back());
    line.clear();
  }
  line.append(text);
}

std::vector<TraceLine> DebugOutput::Pending() const {
  std::vector<TraceLine> out;
  for (const auto& [thread, text] : partial_)
    if (!text.empty()) out.push_back(TraceLine{0, thread, text});
  return out;
}

}  // namespace sim

using namespace sim;

void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  va_list args;
  va_start(args, lpszFmt);
  const std::u16string text = lpszFmt ? FormatWide(lpszFmt, args) : std::u16string();
  va_end(args);
  Call c("NKDbgPrintfW", DebugOutput::kMicrosPerChar * text.size());
  std::string utf8 = Narrow(text);
  Handset& d = Dev();
  d.debug.Write(d.kernel.Now(), d.ThreadName(), utf8);
  c.Arg("text", std::move(utf8));
  c.Done();
}

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
  Call c("StringCchPrintfW");
  c.Arg("capacity", cchDest);
  if (pszDest == nullptr || cchDest == 0 || pszFormat == nullptr) {
    c.Misuse("StringCchPrintfW without a buffer or a format");
    return c.Return<HRESULT>(E_INVALIDARG, HexText(static_cast<std::uint32_t>(E_INVALIDARG)));
  }
  va_list args;
  va_start(args, pszFormat);
  const std::u16string text = FormatWide(pszFormat, args);
  va_end(args);
  const std::size_t n = std::min(text.size(), cchDest - 1);
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), pszDest);
  pszDest[n] = 0;
  c.Arg("text", Narrow(std::u16string_view(pszDest, n)));
  if (n < text.size()) return c.Return<HRESULT>(STRSAFE_E_INSUFFICIENT_BUFFER, "STRSAFE_E_INSUFFICIENT_BUFFER");
  return c.Return<HRESULT>(S_OK, 0);
}
