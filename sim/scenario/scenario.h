// Folder sim/scenario/: the input of a run: scenario files, .reg text, the built-in handset and
// the timeline of outside events. It may use sim/kernel/ and sim/base/; the device parts read
// their own tables from it.
//
// Scenario files: one handset and what happens to it, in TOML. Every part of the handset reads
// its own table through a Section, which checks types and ranges and names the file, line and
// key of anything wrong. Keys that no part reads are reported too, so a misspelt key is an error
// rather than a silently ignored setting.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <toml++/toml.h>

namespace sim {

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Section {
 public:
  Section(const toml::table* table, std::string path, std::string file);

  bool Has(std::string_view key) const;
  std::string String(std::string_view key, std::string def) const;
  bool Bool(std::string_view key, bool def) const;
  std::int64_t Int(std::string_view key, std::int64_t def, std::int64_t lo, std::int64_t hi) const;
  std::uint32_t U32(std::string_view key, std::uint32_t def) const;
  std::uint64_t Ms(std::string_view key, std::uint64_t def) const;  // a time in milliseconds
  std::vector<std::string> Strings(std::string_view key) const;
  std::vector<std::int64_t> Ints(std::string_view key, std::int64_t lo, std::int64_t hi) const;
  // Sub-table, or nothing when absent.
  std::optional<Section> Table(std::string_view key) const;
  // Array of tables ([[key]]); empty when absent.
  std::vector<Section> Tables(std::string_view key) const;
  // Value of `key` that must be one of `choices`.
  std::string Choice(std::string_view key, std::string def, const std::vector<std::string>& choices) const;

  // Throws ScenarioError naming the file, line and key.
  [[noreturn]] void Fail(std::string_view key, const std::string& message) const;
  // Throws for the first key of this table that nothing has read.
  void CheckNoUnknownKeys() const;
  const std::string& File() const { return file_; }
  // Directory of the scenario file, for files named relative to it.
  std::string Directory() const;

 private:
  const toml::node* Node(std::string_view key) const;
  std::string KeyPath(std::string_view key) const;
  int Line(std::string_view key) const;

  const toml::table* table_;
  std::string path_;
  std::string file_;
  mutable std::vector<const toml::node*> used_;  // the values read, to find the keys nobody read
};

// A parsed scenario: its root table and where it came from.
class Scenario {
 public:
  // Parses a scenario file; throws ScenarioError with file and line on a syntax error. A file
  // with `base = "builtin"` starts from the built-in handset and overrides it table by table.
  static Scenario FromFile(const std::string& path);
  // The built-in handset.
  static Scenario Builtin();
  static Scenario FromText(const std::string& text, const std::string& name);

  // This scenario with `overrides` (TOML text) laid over it table by table; throws
  // ScenarioError for malformed text.
  Scenario Overridden(const std::string& overrides, const std::string& name) const;

  Section Root() const { return Section(&root_, "", file_); }
  const std::string& File() const { return file_; }
  // Tells scenarios apart for what is built from them once per process: two scenarios with the
  // same serial have the same content. A copy keeps the serial; parsing, overriding and moving
  // from a scenario give new ones.
  std::uint64_t Serial() const { return serial_; }

  Scenario() = default;
  Scenario(const Scenario&) = default;
  Scenario& operator=(const Scenario&) = default;
  Scenario(Scenario&& other) noexcept;
  Scenario& operator=(Scenario&& other) noexcept;
  ~Scenario() = default;

 private:
  static std::uint64_t NextSerial();

  toml::table root_;
  std::string file_;
  std::uint64_t serial_ = NextSerial();
};

}  // namespace sim
