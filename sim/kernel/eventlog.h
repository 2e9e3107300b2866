// The event log: every platform request with its virtual time, thread, operation, arguments and
// result, and every change the handset makes on its own (a radio notification, a key press, the
// power going). Written as JSON Lines on request.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "sim/kernel/kernel.h"

namespace sim {

using Json = nlohmann::ordered_json;

class EventLog {
 public:
  // Appends a finished record; returns its sequence number.
  std::size_t Add(Json event);
  const std::vector<Json>& Events() const { return events_; }
  Json& At(std::size_t i) { return events_.at(i); }
  // Writes one JSON object per line.
  void WriteJsonLines(std::ostream& out) const;
  // Records a change made by the handset itself (not a platform request).
  void Device(Micros at, std::string_view part, std::string_view what, Json detail = {});

 private:
  std::vector<Json> events_;
};

// An empty JSON object with room for `members` members.
Json ObjectWithRoom(std::size_t members);
// Appends the member `key` to `object`, which must be an object without it: no search for an
// existing key, as `object[key]` makes. Keeps the members in the order appended.
inline void Append(Json& object, std::string_view key, Json value) {
  static_cast<Json::object_t::Container&>(object.get_ref<Json::object_t&>()).emplace_back(std::string(key), std::move(value));
}

// Formats a handle or pointer value for the log ("0x1004", or null).
Json HandleJson(const void* h);
Json HexJson(std::uint64_t v);
// Bytes as "01 00 00 00".
std::string HexBytes(const void* data, std::size_t size);

}  // namespace sim
