// Wide text formatting and UTF conversions for the simulated handset.
//
// The handset's wide printf family reads a format the Microsoft way: in a wide format %s
// is a wide string and %S a narrow one, and a plain or 'l' integer is 32 bits. The host's
// swprintf reads these the other way round and uses 32-bit wchar_t, so the simulator
// formats the program's text itself with FormatWide.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "sim/base/utf8.h"

namespace sim {

// Formats fmt with the arguments in args using the handset's wide printf rules:
//   %s %ls %ws  wide string (const char16_t*); a null pointer prints "(null)"
//   %S %hs      narrow string (const char*, read as UTF-8)
//   %c %lc %wc  wide character (passed as int);  %C %hc  narrow character
//   %d %i %u %x %X %o  int/unsigned; size prefixes h (short), hh (char), l (32 bits, as LONG
//                      is on the handset), ll and I64 (64 bits), I32, I and z (pointer-sized)
//   %e %E %f %F %g %G %a %A  double;  %p  pointer as 16 upper-case hex digits;  %%  a '%'
// with flags '-', '+', ' ', '#', '0', a width and a precision (either may be '*').
// Anything else after a '%', including a '%' at the very end, is copied through literally;
// the format is never read past its terminator. Width and precision are capped at
// kMaxFieldWidth characters. A null fmt gives an empty string. args is not consumed: the
// function works on its own copy, so the caller still owns (and va_ends) args.
std::u16string FormatWide(const char16_t* fmt, va_list args);

// Same as FormatWide, taking the arguments directly.
std::u16string FormatWideV(const char16_t* fmt, ...);

// Largest width or precision FormatWide honours; larger requests are clamped so a stray
// format cannot ask for gigabytes of padding.
inline constexpr int kMaxFieldWidth = 4096;

}  // namespace sim
