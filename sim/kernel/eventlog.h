// The event log: every platform request with its virtual time, thread, operation, arguments and
// result, and every change the handset makes on its own (a radio notification, a key press, the
// power going). Written as JSON Lines on request.
//
// A run makes hundreds of records and an explorer makes millions of runs, so a record is kept
// compact: its names are texts that live as long as the process (literals, or interned once),
// its values are small (a number or a short text needs no allocation), and its JSON form is built
// only when somebody asks for it (a report, --events, a view).
#pragma once

#include <concepts>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/kernel.h"

namespace sim {

using Json = nlohmann::ordered_json;

// A name known when the simulator is compiled: a string literal, or a constant that points to
// one. Only such texts (and interned ones) may name a record's members, which keep a view of them.
struct Key {
  template <std::size_t N>
  consteval Key(const char (&s)[N]) : text(s, N - 1) {}
  consteval Key(std::string_view s) : text(s) {}
  std::string_view text;
};

// The copy of `text` kept for the life of the process; equal texts give the same view. For the
// names that records are read back with (thread names, names in a log read from a file).
std::string_view Intern(std::string_view text);

// One value of a record: null, a truth value, a whole number, a text, or (rarely) any other JSON.
class Value {
 public:
  enum class Kind : std::uint8_t { kNull, kBool, kInt, kUint, kText, kJson };

  Value() = default;
  Value(std::nullptr_t) {}
  // Exactly bool: a pointer or an enumeration must not become a truth value unnoticed.
  template <std::same_as<bool> B>
  Value(B b) : kind_(Kind::kBool), int_(b ? 1 : 0) {}
  template <class E>
  requires std::is_enum_v<E> Value(E e) : Value(static_cast<std::underlying_type_t<E>>(e)) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) Value(T v) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::kInt;
      int_ = v;
    } else {
      kind_ = Kind::kUint;
      uint_ = v;
    }
  }
  Value(const char* text) : kind_(Kind::kText), text_(text) {}
  Value(std::string text) : kind_(Kind::kText), text_(std::move(text)) {}
  Value(std::string_view text) : kind_(Kind::kText), text_(text) {}
  // Any JSON: null, truth values, whole numbers and texts are kept compact.
  Value(const Json& json);
  Value(const Value& other);
  Value& operator=(const Value& other);
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;

  Kind kind() const { return kind_; }
  // The text, or "" when the value is not a text.
  std::string_view Text() const { return kind_ == Kind::kText ? std::string_view(text_) : std::string_view(); }
  // The value as the checkers compare it: a text as it is, anything else as its JSON ("15000").
  std::string Shown() const;
  // A truth value or a whole number as a number; `otherwise` for anything else.
  std::int64_t Number(std::int64_t otherwise = 0) const;
  Json ToJson() const;
  // Equal as JSON values (5 and 5u are equal).
  bool operator==(const Value& other) const;

 private:
  Kind kind_ = Kind::kNull;
  union {
    std::int64_t int_ = 0;
    std::uint64_t uint_;
  };
  std::string text_;
  std::unique_ptr<Json> json_;
};

// Lets a Value stand wherever JSON is built (a summary, a view).
void to_json(Json& json, const Value& value);

struct Member {
  std::string_view name;  // a literal or an interned text
  Value value;
};

// One record: a platform call the program made ("call"), or a change the handset made ("device").
struct Event {
  Micros t_us = 0;
  std::string_view kind;     // "call" or "device"
  std::string_view thread;   // the calling thread; "device" for the handset's own records
  std::uint32_t pid = 0;     // the calling process; 0 for the handset's own records
  std::string_view op;       // the platform operation, or "part.what" for the handset's own
  std::string_view caller;   // the program routine that made the call, "" when unknown
  std::vector<Member> args;  // a call's arguments, in the order given
  Json detail;               // a device record's detail (its "args"), null when it has none
  std::vector<Member> more;  // later members in the order set: a fault, a misuse, an error, the result

  bool IsCall() const { return kind == "call"; }
  // The argument or the later member `name`, or null.
  const Value* Arg(std::string_view name) const;
  const Value* Get(std::string_view name) const;
  bool Contains(std::string_view name) const { return Get(name) != nullptr; }
  // True when the later member `name` is the truth value true.
  bool Flag(std::string_view name) const;
  // An argument (a call's, or a member of a device record's detail) as the checkers compare it,
  // or "" when it is missing.
  std::string ArgShown(std::string_view name) const;
  // A later member's time ("t_end_us"), or 0 when missing.
  Micros TimeOf(std::string_view name) const;
  // Sets the later member `name`: replaced where it is, else appended.
  void Set(std::string_view name, Value value);

  // The record as JSON, as --events writes it; `seq` is its place in the log.
  Json ToJson(std::size_t seq) const;
  // A record read back from JSON (a log written by --events); members it does not know are kept
  // as later members. Throws Json::exception when a known member has the wrong type.
  static Event FromJson(const Json& json);
};

class EventLog {
 public:
  // Appends a finished record; returns its sequence number.
  std::size_t Add(Event event);
  const std::vector<Event>& Events() const { return events_; }
  Event& At(std::size_t i) { return events_.at(i); }
  // Every record as JSON, in order.
  std::vector<Json> ToJson() const;
  // Writes one JSON object per line.
  void WriteJsonLines(std::ostream& out) const;
  // Records a change made by the handset itself (not a platform request).
  void Device(Micros at, std::string_view part, std::string_view what, Json detail = {});

 private:
  std::vector<Event> events_;
};

// Records read back from JSON objects, in order (see Event::FromJson).
std::vector<Event> EventsFromJson(const std::vector<Json>& records);

// An empty JSON object with room for `members` members.
Json ObjectWithRoom(std::size_t members);
// Appends the member `key` to `object`, which must be an object without it: no search for an
// existing key, as `object[key]` makes. Keeps the members in the order appended.
inline void Append(Json& object, std::string_view key, Json value) {
  static_cast<Json::object_t::Container&>(object.get_ref<Json::object_t&>())
      .emplace_back(std::string(key), std::move(value));
}

// A handle or pointer value as the log shows it ("0x1004"), or null.
Value HandleValue(const void* h);
// "0x" and upper-case hex digits without leading zeros, as printf's "0x%llX" writes them.
std::string HexText(std::uint64_t v);
// Bytes as "01 00 00 00".
std::string HexBytes(const void* data, std::size_t size);

}  // namespace sim
