#include "sim/scenario/scenario.h"
#include "sim/scenario/limits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace sim {

extern const char* const kBuiltinScenario;

namespace {

std::string TypeName(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a number";
    case toml::node_type::boolean:
      return "a boolean";
    default:
      return "a date or time";
  }
}

// `over` laid over `base`: tables merge key by key, everything else is replaced. The result keeps
// the nodes of `over` (moved, since a copied node loses its place in the file), so that an error
// in what a file sets names that file's line.
toml::table Merged(toml::table base, toml::table over) {
  for (auto&& [key, value] : base) {
    toml::node* mine = over.get(key);
    if (mine == nullptr) {
      value.visit([&, &k = key](auto&& v) { over.insert(k, std::move(v)); });
    } else if (mine->is_table() && value.is_table()) {
      *mine->as_table() = Merged(std::move(*value.as_table()), std::move(*mine->as_table()));
    }
  }
  return over;
}

toml::table ParseOrThrow(const std::string& text, const std::string& name) {
  try {
    return toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    std::ostringstream msg;
    msg << name << ":" << e.source().begin.line << ": " << e.description();
    throw ScenarioError(msg.str());
  }
}

void CheckArraySize(const Section& section, std::string_view key, std::size_t size) {
  if (size > ScenarioLimits::kArrayEntries)
    section.Fail(key, std::to_string(size) + " entries, more than the " +
                          std::to_string(ScenarioLimits::kArrayEntries) + " allowed");
}

}  // namespace

Section::Section(const toml::table* table, std::string path, std::string file)
    : table_(table), path_(std::move(path)), file_(std::move(file)) {}

const toml::node* Section::Node(std::string_view key) const {
  const toml::node* node = table_ ? table_->get(key) : nullptr;
  if (node != nullptr) used_.push_back(node);  // only keys present can be unknown ones
  return node;
}

bool Section::Has(std::string_view key) const { return Node(key) != nullptr; }

std::string Section::KeyPath(std::string_view key) const {
  return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

int Section::Line(std::string_view key) const {
  const toml::node* n = table_ ? table_->get(key) : nullptr;
  if (n != nullptr && n->source().begin.line > 0) return static_cast<int>(n->source().begin.line);
  if (table_ != nullptr && table_->source().begin.line > 0) return static_cast<int>(table_->source().begin.line);
  return 0;
}

void Section::Fail(std::string_view key, const std::string& message) const {
  std::ostringstream msg;
  msg << file_ << ":" << Line(key) << ": key '" << KeyPath(key) << "': " << message;
  throw ScenarioError(msg.str());
}

std::string Section::String(std::string_view key, std::string def) const {
  const toml::node* n = Node(key);
  if (n == nullptr) return def;
  if (!n->is_string()) Fail(key, "expected a string, found " + TypeName(*n));
  return n->as_string()->get();
}

bool Section::Bool(std::string_view key, bool def) const {
  const toml::node* n = Node(key);
  if (n == nullptr) return def;
  if (!n->is_boolean()) Fail(key, "expected true or false, found " + TypeName(*n));
  return n->as_boolean()->get();
}

std::int64_t Section::Int(std::string_view key, std::int64_t def, std::int64_t lo, std::int64_t hi) const {
  const toml::node* n = Node(key);
  if (n == nullptr) return def;
  if (!n->is_integer()) Fail(key, "expected a whole number, found " + TypeName(*n));
  const std::int64_t v = n->as_integer()->get();
  if (v < lo || v > hi)
    Fail(key, "value " + std::to_string(v) + " is outside " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

std::uint32_t Section::U32(std::string_view key, std::uint32_t def) const {
  return static_cast<std::uint32_t>(Int(key, def, 0, 0xFFFFFFFFLL));
}

std::uint64_t Section::Ms(std::string_view key, std::uint64_t def) const {
  return static_cast<std::uint64_t>(Int(key, static_cast<std::int64_t>(def), 0, 1LL << 40));
}

std::vector<std::string> Section::Strings(std::string_view key) const {
  const toml::node* n = Node(key);
  std::vector<std::string> out;
  if (n == nullptr) return out;
  if (n->is_string()) return {n->as_string()->get()};
  if (!n->is_array()) Fail(key, "expected an array of strings, found " + TypeName(*n));
  CheckArraySize(*this, key, n->as_array()->size());
  for (const auto& item : *n->as_array()) {
    if (!item.is_string()) Fail(key, "expected only strings in the array, found " + TypeName(item));
    out.push_back(item.as_string()->get());
  }
  return out;
}

std::vector<std::int64_t> Section::Ints(std::string_view key, std::int64_t lo, std::int64_t hi) const {
  const toml::node* n = Node(key);
  std::vector<std::int64_t> out;
  if (n == nullptr) return out;
  if (!n->is_array()) Fail(key, "expected an array of whole numbers, found " + TypeName(*n));
  CheckArraySize(*this, key, n->as_array()->size());
  for (const auto& item : *n->as_array()) {
    if (!item.is_integer()) Fail(key, "expected only whole numbers, found " + TypeName(item));
    const std::int64_t v = item.as_integer()->get();
    if (v < lo || v > hi)
      Fail(key, "value " + std::to_string(v) + " is outside " + std::to_string(lo) + " to " + std::to_string(hi));
    out.push_back(v);
  }
  return out;
}

std::optional<Section> Section::Table(std::string_view key) const {
  const toml::node* n = Node(key);
  if (n == nullptr) return std::nullopt;
  if (!n->is_table()) Fail(key, "expected a table, found " + TypeName(*n));
  return Section(n->as_table(), KeyPath(key), file_);
}

std::vector<Section> Section::Tables(std::string_view key) const {
  const toml::node* n = Node(key);
  std::vector<Section> out;
  if (n == nullptr) return out;
  if (!n->is_array_of_tables() && !(n->is_array() && n->as_array()->empty()))
    Fail(key, "expected an array of tables ([[" + KeyPath(key) + "]]), found " + TypeName(*n));
  CheckArraySize(*this, key, n->as_array()->size());
  int i = 0;
  for (const auto& item : *n->as_array())
    out.emplace_back(item.as_table(), KeyPath(key) + "[" + std::to_string(i++) + "]", file_);
  return out;
}

std::string Section::Choice(std::string_view key, std::string def, const std::vector<std::string>& choices) const {
  std::string v = String(key, def);
  for (const auto& c : choices)
    if (c == v) return v;
  std::string all;
  for (const auto& c : choices) all += (all.empty() ? "" : ", ") + c;
  Fail(key, "'" + v + "' is not one of: " + all);
}

void Section::CheckNoUnknownKeys() const {
  if (table_ == nullptr) return;
  for (const auto& [key, value] : *table_) {
    if (std::find(used_.begin(), used_.end(), &value) == used_.end()) Fail(key.str(), "unknown key");
  }
}

std::string Section::Directory() const {
  auto dir = std::filesystem::path(file_).parent_path();
  return dir.empty() ? std::string(".") : dir.string();
}

std::uint64_t Scenario::NextSerial() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

// The scenario moved from is left empty, so it is another scenario from then on.
Scenario::Scenario(Scenario&& other) noexcept
    : root_(std::move(other.root_)),
      file_(std::move(other.file_)),
      serial_(std::exchange(other.serial_, NextSerial())) {}

Scenario& Scenario::operator=(Scenario&& other) noexcept {
  if (this != &other) {
    root_ = std::move(other.root_);
    file_ = std::move(other.file_);
    serial_ = std::exchange(other.serial_, NextSerial());
  }
  return *this;
}

Scenario Scenario::FromText(const std::string& text, const std::string& name) {
  Scenario s;
  s.file_ = name;
  s.root_ = ParseOrThrow(text, name);
  if (auto* base = s.root_.get("base")) {
    if (!base->is_string() || base->as_string()->get() != "builtin") {
      Section(&s.root_, "", name).Fail("base", "the only base is \"builtin\"");
    }
    s.root_.erase("base");
    s.root_ = Merged(Builtin().root_, std::move(s.root_));
  }
  return s;
}

Scenario Scenario::Overridden(const std::string& overrides, const std::string& name) const {
  Scenario s = *this;
  s.root_ = Merged(std::move(s.root_), ParseOrThrow(overrides, name));
  s.serial_ = NextSerial();
  return s;
}

std::string ReadBoundedFile(const std::string& path, std::uint64_t max_bytes, const std::string& what) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw ScenarioError(path + ": cannot read the " + what);
  if (!S_ISREG(st.st_mode)) throw ScenarioError(path + ": the " + what + " is not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes)
    throw ScenarioError(path + ": the " + what + " has " + std::to_string(st.st_size) + " bytes, more than the " +
                        std::to_string(max_bytes) + " allowed");
  // Opened without blocking, in case the name was replaced by a FIFO since the check.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw ScenarioError(path + ": cannot read the " + what);
  std::string text;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > max_bytes) break;
  }
  close(fd);
  if (text.size() > max_bytes)
    throw ScenarioError(path + ": the " + what + " is longer than the " + std::to_string(max_bytes) + " bytes allowed");
  return text;
}

Scenario Scenario::FromFile(const std::string& path) {
  return FromText(ReadBoundedFile(path, ScenarioLimits::kScenarioFileBytes, "scenario file"), path);
}

Scenario Scenario::Builtin() {
  Scenario s;
  s.file_ = "<built-in handset>";
  s.root_ = ParseOrThrow(kBuiltinScenario, s.file_);
  return s;
}

}  // namespace sim
