// JSON string literals for the event-log records written on a PC. Header-only so that the
// handset services and the Wine runner's own programs (the animation library and the user
// helper, which are not linked with the services) quote text one way.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// `text` (UTF-8) as a JSON string: quote and backslash escaped, line feed, carriage return and
// tab by their short escapes, every other control character as \u00XX; everything else, UTF-8
// sequences included, is copied as it is. A record with a raw control character in a string
// would not be valid JSON.
inline std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char sz[8];
      snprintf(sz, sizeof(sz), "\\u%04x", c);
      out += sz;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}
