// Folder sim/base/: what every layer of the simulator may use and that uses nothing of it: the
// handset's 16-bit text and its conversions, the Microsoft-style wide formatter, the seeded
// random generator, virtual time and its text. Only the standard library below it.
//
// Conversions between the handset's 16-bit text and the host's UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "sim/base/wformat.h"

namespace sim {

inline std::string Narrow(std::u16string_view s) { return Utf16ToUtf8(s); }
inline std::u16string Wide(std::string_view s) { return Utf8ToUtf16(s); }
// A possibly null 16-bit string as UTF-8 ("" for null).
inline std::string Narrow(const char16_t* s) { return s ? Utf16ToUtf8(s) : std::string(); }

// Case-insensitive comparison of ASCII letters, as the handset's file system and window
// manager compare names.
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace sim
