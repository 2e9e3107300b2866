// The simulator's one UTF-8 codec: decoding with one rule for ill-formed input, encoding, and the
// conversions between the handset's 16-bit text and the host's UTF-8.
//
// The rule for ill-formed input is the one Unicode recommends ("maximal subparts"): each
// maximal prefix of a sequence that could still have become valid is one U+FFFD, and decoding
// resumes at the first byte that broke it. So a stray continuation byte, an overlong or
// encoded-surrogate lead, a value above U+10FFFF and a sequence cut short all become U+FFFD,
// and one bad byte never swallows the valid text after it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// One character decoded from UTF-8.
struct Utf8Char {
  char32_t code_point;  // U+FFFD for an ill-formed sequence
  std::size_t length;   // bytes it took, at least 1
};

// Decodes the character starting at text[pos]; pos must be below text.size().
Utf8Char DecodeUtf8(std::string_view text, std::size_t pos);

// Bytes of the sequence that `lead` starts; 0 for a byte that cannot start a well-formed one
// (a continuation byte, C0, C1, F5..FF).
std::size_t Utf8SequenceLength(unsigned char lead);
inline bool IsUtf8Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Appends `code_point` (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t code_point);

// Characters in `text`, each ill-formed sequence counting as the one U+FFFD it decodes to.
std::size_t Utf8Length(std::string_view text);

// Converts UTF-16 to UTF-8. Each unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Converts UTF-8 to UTF-16 by the rule above.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace sim
