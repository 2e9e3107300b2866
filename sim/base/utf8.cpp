#include "sim/base/utf8.h"

namespace sim {
namespace {

struct ByteRange {
  unsigned char low;
  unsigned char high;
};

// Accepted range of the second byte after a lead. The narrowed ranges exclude overlong
// forms (E0, F0), encoded surrogates (ED) and values above U+10FFFF (F4).
ByteRange SecondByteRange(unsigned char lead) {
  switch (lead) {
    case 0xE0:
      return {0xA0, 0xBF};
    case 0xED:
      return {0x80, 0x9F};
    case 0xF0:
      return {0x90, 0xBF};
    case 0xF4:
      return {0x80, 0x8F};
    default:
      return {0x80, 0xBF};
  }
}

void AppendUtf16(std::u16string& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<char16_t>(code_point));
    return;
  }
  code_point -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// An ill-formed sequence consumes only its maximal valid prefix, so the next byte is examined
// afresh.
Utf8Char DecodeUtf8(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const std::size_t need = Utf8SequenceLength(lead);
  if (need == 1) return {lead, 1};
  if (need == 0) return {kReplacementChar, 1};
  char32_t code_point = lead & (0xFFu >> (need + 1));
  for (std::size_t k = 1; k < need; ++k) {
    if (pos + k >= text.size()) return {kReplacementChar, k};
    const auto byte = static_cast<unsigned char>(text[pos + k]);
    const ByteRange range = k == 1 ? SecondByteRange(lead) : ByteRange{0x80, 0xBF};
    if (byte < range.low || byte > range.high) return {kReplacementChar, k};
    code_point = (code_point << 6) | (byte & 0x3Fu);
  }
  return {code_point, need};
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < text.size(); ++n) pos += DecodeUtf8(text, pos).length;
  return n;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  // Most of the handset's text is ASCII: a byte a unit, written in place, until the first unit
  // that is not.
  std::string out(text.size(), '\0');
  std::size_t i = 0;
  for (; i < text.size() && text[i] < 0x80; ++i) out[i] = static_cast<char>(text[i]);
  if (i == text.size()) return out;
  out.resize(i);
  for (; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacementChar);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char decoded = DecodeUtf8(text, pos);
    AppendUtf16(out, decoded.code_point);
    pos += decoded.length;
  }
  return out;
}

}  // namespace sim
