#include "sim/scenario/reg_file.h"

#include <cctype>
#include <sstream>

#include "sim/base/text.h"

namespace sim {
namespace {

struct Line {
  std::string text;
  int number;
};

[[noreturn]] void Fail(const std::string& source, int line, const std::string& message) {
  std::ostringstream msg;
  msg << source << ":" << line << ": " << message;
  throw RegFileError(msg.str());
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Joins lines continued with a trailing backslash (hex data is exported that way).
std::vector<Line> LogicalLines(const std::string& text) {
  std::vector<Line> out;
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  bool continuing = false;
  while (std::getline(in, raw)) {
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    std::string t = Trim(raw);
    if (continuing) {
      out.back().text += t;
    } else {
      out.push_back(Line{t, number});
    }
    continuing = !t.empty() && t.back() == '\\';
    if (continuing) out.back().text.pop_back();
  }
  return out;
}

// Reads a quoted string starting at s[pos] == '"'; returns the text and moves pos past it.
std::string Quoted(const std::string& s, std::size_t& pos, const std::string& source, int line) {
  std::string out;
  ++pos;
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= s.size()) break;
      char n = s[pos++];
      if (n == 'n')
        out += '\n';
      else if (n == 'r')
        out += '\r';
      else if (n == 't')
        out += '\t';
      else if (n == '0')
        out += '\0';
      else
        out += n;
      continue;
    }
    out += c;
  }
  Fail(source, line, "a quoted string is not closed");
}

std::vector<std::uint8_t> HexBytes(const std::string& s, const std::string& source, int line) {
  std::vector<std::uint8_t> out;
  std::string item;
  auto flush = [&] {
    std::string t = Trim(item);
    item.clear();
    if (t.empty()) return;
    if (t.size() > 2 || !std::isxdigit(static_cast<unsigned char>(t[0])) ||
        (t.size() == 2 && !std::isxdigit(static_cast<unsigned char>(t[1]))))
      Fail(source, line, "'" + t + "' is not a hex byte");
    out.push_back(static_cast<std::uint8_t>(std::stoul(t, nullptr, 16)));
  };
  for (char c : s) {
    if (c == ',')
      flush();
    else
      item += c;
  }
  flush();
  return out;
}

std::vector<std::uint8_t> Utf16Bytes(const std::u16string& s, bool terminate) {
  std::vector<std::uint8_t> out;
  for (char16_t ch : s) {
    out.push_back(static_cast<std::uint8_t>(ch & 0xFF));
    out.push_back(static_cast<std::uint8_t>(ch >> 8));
  }
  if (terminate) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

// In REGEDIT4 text the string kinds carry 8-bit characters; the handset keeps 16-bit ones.
std::vector<std::uint8_t> Widen8(const std::vector<std::uint8_t>& narrow) {
  std::vector<std::uint8_t> out;
  for (std::uint8_t b : narrow) {
    out.push_back(b);
    out.push_back(0);
  }
  return out;
}

void ParseKeyLine(const Line& l, const std::string& source, std::vector<RegOperation>& ops, RegOperation& current) {
  if (l.text.back() != ']') Fail(source, l.number, "a key line must end with ']'");
  std::string body = l.text.substr(1, l.text.size() - 2);
  bool remove = !body.empty() && body[0] == '-';
  if (remove) body.erase(0, 1);
  const auto slash = body.find('\\');
  std::string root = body.substr(0, slash);
  if (root == "HKLM") root = "HKEY_LOCAL_MACHINE";
  if (root == "HKCU") root = "HKEY_CURRENT_USER";
  if (root != "HKEY_LOCAL_MACHINE" && root != "HKEY_CURRENT_USER" && root != "HKEY_CLASSES_ROOT" &&
      root != "HKEY_USERS")
    Fail(source, l.number, "unknown root key '" + root + "'");
  current = RegOperation{};
  current.kind = remove ? RegOperation::Kind::kDeleteKey : RegOperation::Kind::kCreateKey;
  current.root = root;
  current.path = slash == std::string::npos ? u"" : Wide(body.substr(slash + 1));
  current.line = l.number;
  ops.push_back(current);
}

void ParseValueLine(const Line& l, bool unicode, const std::string& source, std::vector<RegOperation>& ops,
                    const RegOperation& key) {
  if (key.root.empty()) Fail(source, l.number, "a value before any [key] line");
  if (key.kind == RegOperation::Kind::kDeleteKey) Fail(source, l.number, "a value under a key that is being deleted");
  RegOperation op;
  op.root = key.root;
  op.path = key.path;
  op.line = l.number;
  std::size_t pos = 0;
  if (l.text[0] == '@') {
    pos = 1;
  } else {
    op.value_name = Wide(Quoted(l.text, pos, source, l.number));
  }
  while (pos < l.text.size() && l.text[pos] == ' ') ++pos;
  if (pos >= l.text.size() || l.text[pos] != '=') Fail(source, l.number, "expected '=' after the value name");
  std::string data = Trim(l.text.substr(pos + 1));
  if (data == "-") {
    op.kind = RegOperation::Kind::kDeleteValue;
    ops.push_back(op);
    return;
  }
  op.kind = RegOperation::Kind::kSetValue;
  if (!data.empty() && data[0] == '"') {
    std::size_t p = 0;
    std::string s = Quoted(data, p, source, l.number);
    if (Trim(data.substr(p)).size() != 0) Fail(source, l.number, "text after the closing quote");
    op.type = 1;  // REG_SZ
    op.data = Utf16Bytes(Wide(s), true);
  } else if (data.rfind("dword:", 0) == 0) {
    std::string hex = Trim(data.substr(6));
    if (hex.empty() || hex.size() > 8) Fail(source, l.number, "a dword takes 1 to 8 hex digits");
    for (char c : hex)
      if (!std::isxdigit(static_cast<unsigned char>(c))) Fail(source, l.number, "'" + hex + "' is not a hex dword");
    const std::uint32_t v = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
    op.type = 4;  // REG_DWORD
    op.data = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
               static_cast<std::uint8_t>(v >> 24)};
  } else if (data.rfind("hex", 0) == 0) {
    std::size_t colon = data.find(':');
    if (colon == std::string::npos) Fail(source, l.number, "expected ':' after hex");
    std::string kind = data.substr(3, colon - 3);
    op.type = 3;  // REG_BINARY
    if (!kind.empty()) {
      if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
        Fail(source, l.number, "expected hex(type): with the type in hex");
      std::string t = kind.substr(1, kind.size() - 2);
      for (char c : t)
        if (!std::isxdigit(static_cast<unsigned char>(c))) Fail(source, l.number, "'" + t + "' is not a hex type");
      if (t.empty() || t.size() > 8) Fail(source, l.number, "bad value type '" + t + "'");
      op.type = static_cast<std::uint32_t>(std::stoul(t, nullptr, 16));
    }
    op.data = HexBytes(data.substr(colon + 1), source, l.number);
    const bool text_kind = op.type == 1 || op.type == 2 || op.type == 7;
    if (!unicode && text_kind) op.data = Widen8(op.data);
  } else {
    Fail(source, l.number, "unknown value data '" + data + "'");
  }
  ops.push_back(op);
}

}  // namespace

std::vector<RegOperation> ParseRegText(const std::string& text, const std::string& source) {
  std::vector<Line> lines = LogicalLines(text);
  std::vector<RegOperation> ops;
  bool header = false, unicode = true;
  RegOperation key;
  for (const Line& l : lines) {
    if (l.text.empty() || l.text[0] == ';' || l.text[0] == '#') continue;
    std::string t = l.text;
    if (!header) {
      if (t.size() >= 3 && static_cast<unsigned char>(t[0]) == 0xEF) t.erase(0, 3);  // BOM
      if (t == "REGEDIT4")
        unicode = false;
      else if (t == "Windows Registry Editor Version 5.00")
        unicode = true;
      else
        Fail(source, l.number, "expected the header REGEDIT4 or Windows Registry Editor Version 5.00");
      header = true;
      continue;
    }
    if (t[0] == '[')
      ParseKeyLine(l, source, ops, key);
    else if (t[0] == '"' || t[0] == '@')
      ParseValueLine(l, unicode, source, ops, key);
    else
      Fail(source, l.number, "expected a [key] line or a \"value\"= line");
  }
  if (!header && !lines.empty()) {
    bool any = false;
    for (const Line& l : lines) any |= !l.text.empty() && l.text[0] != ';';
    if (any) Fail(source, 1, "expected the header REGEDIT4 or Windows Registry Editor Version 5.00");
  }
  return ops;
}

}  // namespace sim
