// Wide printf with the handset's rules.
#include "sim/base/wformat.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {
namespace {

constexpr char16_t kReplacement = kReplacementChar;

// ---------------------------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------------------------

// Argument size selected by a size prefix. kLong covers 'l' and 'w': 32 bits for integers
// and "wide" for characters and strings.
enum class ArgSize { kDefault, kChar, kShort, kLong, kLongLong, kPointer };

// One parsed conversion directive, e.g. "%-08.3lx".
struct Directive {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none given
  ArgSize size = ArgSize::kDefault;
  char16_t conversion = 0;
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Leading bytes of a narrow string, reading no more than `precision` bytes when one is
// given (the buffer need not be terminated then). A multi-byte character cut by the
// precision is dropped rather than shown as a replacement character.
std::string_view NarrowPrefix(const char* text, int precision) {
  std::size_t length = 0;
  const auto limit = precision < 0 ? SIZE_MAX : static_cast<std::size_t>(precision);
  while (length < limit && text[length] != '\0') ++length;
  std::string_view bytes(text, length);
  if (length < limit) return bytes;
  std::size_t lead = length;
  std::size_t continuations = 0;
  while (lead > 0 && continuations < 3 && IsUtf8Continuation(static_cast<unsigned char>(bytes[lead - 1]))) {
    --lead;
    ++continuations;
  }
  if (lead == 0) return bytes;
  const std::size_t need = Utf8SequenceLength(static_cast<unsigned char>(bytes[lead - 1]));
  return need > continuations + 1 ? bytes.substr(0, lead - 1) : bytes;
}

// Walks a format once, appending literal text and converted arguments to the result.
class Formatter {
 public:
  // Formats `format` (not null) reading arguments from *args, which must stay valid for the
  // lifetime of the formatter.
  Formatter(const char16_t* format, va_list* args) : cursor_(format), args_(args) {}

  // Produces the formatted text. Call once.
  std::u16string Run() {
    out_.reserve(128);  // a trace line's worth: one allocation instead of one per doubling
    while (*cursor_ != 0) {
      if (*cursor_ != u'%') {
        out_.push_back(*cursor_++);
        continue;
      }
      ConvertDirective();
    }
    return std::move(out_);
  }

 private:
  // Handles one directive starting at the '%' under the cursor and leaves the cursor after it.
  void ConvertDirective() {
    const char16_t* start = cursor_++;
    Directive directive;
    ParseFlags(directive);
    ParseWidth(directive);
    ParsePrecision(directive);
    ParseSize(directive);
    directive.conversion = *cursor_;
    if (directive.conversion == 0) {  // format ended inside the directive
      out_.append(start, cursor_);
      return;
    }
    ++cursor_;
    if (!Convert(directive)) out_.append(start, cursor_);
  }

  void ParseFlags(Directive& d) {
    for (;; ++cursor_) {
      switch (*cursor_) {
        case u'-':
          d.left = true;
          break;
        case u'+':
          d.plus = true;
          break;
        case u' ':
          d.space = true;
          break;
        case u'#':
          d.alt = true;
          break;
        case u'0':
          d.zero = true;
          break;
        default:
          return;
      }
    }
  }

  // Reads a run of digits, clamping the value to kMaxFieldWidth.
  int ParseNumber() {
    int value = 0;
    while (IsDigit(*cursor_)) {
      value = std::min(value * 10 + (*cursor_++ - u'0'), kMaxFieldWidth);
    }
    return value;
  }

  // A '*' width comes from the arguments; a negative one means left-justified.
  void ParseWidth(Directive& d) {
    if (*cursor_ != u'*') {
      d.width = ParseNumber();
      return;
    }
    ++cursor_;
    const int requested = va_arg(*args_, int);
    if (requested < 0) d.left = true;
    d.width = requested < 0 ? (requested < -kMaxFieldWidth ? kMaxFieldWidth : -requested)
                            : std::min(requested, kMaxFieldWidth);
  }

  // '.' alone means precision 0; a negative '*' precision counts as none given.
  void ParsePrecision(Directive& d) {
    if (*cursor_ != u'.') return;
    ++cursor_;
    if (*cursor_ != u'*') {
      d.precision = ParseNumber();
      return;
    }
    ++cursor_;
    const int requested = va_arg(*args_, int);
    d.precision = requested < 0 ? -1 : std::min(requested, kMaxFieldWidth);
  }

  // Consumes `text` if the cursor is on it; the comparison stops at the format's end.
  bool Accept(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (cursor_[i] != text[i]) return false;
    }
    cursor_ += text.size();
    return true;
  }

  void ParseSize(Directive& d) {
    if (Accept(u"hh")) {
      d.size = ArgSize::kChar;
    } else if (Accept(u"h")) {
      d.size = ArgSize::kShort;
    } else if (Accept(u"ll") || Accept(u"I64")) {
      d.size = ArgSize::kLongLong;
    } else if (Accept(u"l") || Accept(u"w")) {
      d.size = ArgSize::kLong;
    } else if (Accept(u"I32")) {
      d.size = ArgSize::kDefault;
    } else if (Accept(u"I") || Accept(u"z")) {
      d.size = ArgSize::kPointer;
    }
  }

  // Converts one argument; false for an unknown conversion (no argument consumed).
  bool Convert(const Directive& d) {
    switch (d.conversion) {
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X':
      case u'o':
        EmitInteger(d);
        return true;
      case u'c':
      case u'C':
        EmitCharacter(d);
        return true;
      case u's':
      case u'S':
        EmitString(d);
        return true;
      case u'p':
        EmitPointer(d);
        return true;
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A':
        EmitFloating(d);
        return true;
      case u'%':
        out_.push_back(u'%');
        return true;
      default:
        return false;
    }
  }

  std::int64_t ReadSigned(ArgSize size) {
    switch (size) {
      case ArgSize::kChar:
        return static_cast<signed char>(va_arg(*args_, int));
      case ArgSize::kShort:
        return static_cast<short>(va_arg(*args_, int));
      case ArgSize::kLongLong:
        return va_arg(*args_, long long);
      case ArgSize::kPointer:
        return va_arg(*args_, std::ptrdiff_t);
      default:
        return va_arg(*args_, int);
    }
  }

  std::uint64_t ReadUnsigned(ArgSize size) {
    switch (size) {
      case ArgSize::kChar:
        return static_cast<unsigned char>(va_arg(*args_, unsigned));
      case ArgSize::kShort:
        return static_cast<unsigned short>(va_arg(*args_, unsigned));
      case ArgSize::kLongLong:
        return va_arg(*args_, unsigned long long);
      case ArgSize::kPointer:
        return va_arg(*args_, std::size_t);
      default:
        return va_arg(*args_, unsigned);
    }
  }

  static std::u16string Digits(std::uint64_t value, unsigned base, bool upper) {
    const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string digits;
    do {
      digits.push_back(static_cast<char16_t>(symbols[value % base]));
      value /= base;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return digits;
  }

  static unsigned BaseOf(char16_t conversion) {
    if (conversion == u'o') return 8;
    if (conversion == u'x' || conversion == u'X') return 16;
    return 10;
  }

  static std::u16string SignPrefix(bool negative, bool is_signed, const Directive& d) {
    if (negative) return u"-";
    if (is_signed && d.plus) return u"+";
    if (is_signed && d.space) return u" ";
    return {};
  }

  void EmitInteger(const Directive& d) {
    const bool is_signed = d.conversion == u'd' || d.conversion == u'i';
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (is_signed) {
      const std::int64_t value = ReadSigned(d.size);
      negative = value < 0;
      magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    } else {
      magnitude = ReadUnsigned(d.size);
    }
    const unsigned base = BaseOf(d.conversion);
    std::u16string digits = Digits(magnitude, base, d.conversion == u'X');
    if (d.precision == 0 && magnitude == 0) digits.clear();  // "%.0d" of 0 prints nothing
    if (d.precision > 0 && digits.size() < static_cast<std::size_t>(d.precision)) {
      digits.insert(0, static_cast<std::size_t>(d.precision) - digits.size(), u'0');
    }
    std::u16string prefix = SignPrefix(negative, is_signed, d);
    if (d.alt && d.conversion == u'o' && (digits.empty() || digits[0] != u'0')) {
      digits.insert(0, 1, u'0');
    }
    if (d.alt && base == 16 && magnitude != 0) prefix += d.conversion == u'X' ? u"0X" : u"0x";
    // With a precision the digits are already as long as asked, so '0' does not apply.
    EmitField(prefix, digits, d, d.precision < 0);
  }

  // 'h' selects narrow text and 'l'/'w' wide; otherwise the lower-case letter is wide.
  static bool IsNarrow(const Directive& d) {
    if (d.size == ArgSize::kShort) return true;
    if (d.size == ArgSize::kLong) return false;
    return d.conversion == u'C' || d.conversion == u'S';
  }

  void EmitCharacter(const Directive& d) {
    const int value = va_arg(*args_, int);
    char16_t unit = static_cast<char16_t>(value);
    if (IsNarrow(d)) {
      const auto byte = static_cast<unsigned char>(value);
      unit = byte < 0x80 ? byte : kReplacement;  // a lone non-ASCII byte is not UTF-8
    }
    EmitField(u"", std::u16string(1, unit), d, true);
  }

  void EmitString(const Directive& d) {
    const void* pointer = va_arg(*args_, const void*);
    std::u16string text;
    if (pointer == nullptr) {
      text = u"(null)";
    } else if (IsNarrow(d)) {
      text = Utf8ToUtf16(NarrowPrefix(static_cast<const char*>(pointer), d.precision));
    } else {
      // Never look at more than `precision` units: the buffer need not be terminated then.
      const auto* wide = static_cast<const char16_t*>(pointer);
      const auto limit = d.precision < 0 ? SIZE_MAX : static_cast<std::size_t>(d.precision);
      std::size_t length = 0;
      while (length < limit && wide[length] != 0) ++length;
      text.assign(wide, length);
    }
    if (d.precision >= 0 && text.size() > static_cast<std::size_t>(d.precision)) {
      text.resize(static_cast<std::size_t>(d.precision));
    }
    EmitField(u"", text, d, true);
  }

  void EmitPointer(const Directive& d) {
    const auto value = reinterpret_cast<std::uintptr_t>(va_arg(*args_, const void*));
    std::u16string digits = Digits(value, 16, true);
    digits.insert(0, 2 * sizeof(void*) - digits.size(), u'0');
    EmitField(u"", digits, d, true);
  }

  // Floating conversions are delegated to the host's narrow printf with the same flags,
  // width and precision; its output is plain ASCII.
  void EmitFloating(const Directive& d) {
    const double value = va_arg(*args_, double);
    std::string narrow_format = "%";
    if (d.left) narrow_format += '-';
    if (d.plus) narrow_format += '+';
    if (d.space) narrow_format += ' ';
    if (d.alt) narrow_format += '#';
    if (d.zero) narrow_format += '0';
    narrow_format += "*.*";
    narrow_format += static_cast<char>(d.conversion);
    const int length = std::snprintf(nullptr, 0, narrow_format.c_str(), d.width, d.precision, value);
    if (length <= 0) return;
    std::string narrow(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(narrow.data(), narrow.size(), narrow_format.c_str(), d.width, d.precision, value);
    narrow.resize(static_cast<std::size_t>(length));
    out_.append(narrow.begin(), narrow.end());
  }

  // Appends prefix and body padded to the directive's width: spaces on the right when
  // left-justified, else zeros between prefix and body when '0' was given and allowed,
  // else spaces on the left. The handset's printf lets '0' pad strings and characters too.
  void EmitField(std::u16string_view prefix, std::u16string_view body, const Directive& d, bool zero_allowed) {
    const std::size_t used = prefix.size() + body.size();
    const std::size_t pad = static_cast<std::size_t>(d.width) > used ? d.width - used : 0;
    if (d.left) {
      out_.append(prefix).append(body).append(pad, u' ');
    } else if (d.zero && zero_allowed) {
      out_.append(prefix).append(pad, u'0').append(body);
    } else {
      out_.append(pad, u' ').append(prefix).append(body);
    }
  }

  const char16_t* cursor_;
  va_list* args_;
  std::u16string out_;
};

// Owns a copy of a caller's va_list so it is ended on every path out of FormatWide.
class ArgumentCopy {
 public:
  explicit ArgumentCopy(va_list args) { va_copy(copy_, args); }
  ~ArgumentCopy() { va_end(copy_); }
  ArgumentCopy(const ArgumentCopy&) = delete;
  ArgumentCopy& operator=(const ArgumentCopy&) = delete;
  va_list* get() { return &copy_; }

 private:
  va_list copy_;
};

}  // namespace

std::u16string FormatWide(const char16_t* fmt, va_list args) {
  if (fmt == nullptr) return {};
  ArgumentCopy copy(args);
  return Formatter(fmt, copy.get()).Run();
}

std::u16string FormatWideV(const char16_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::u16string text = FormatWide(fmt, args);
  va_end(args);
  return text;
}

}  // namespace sim
