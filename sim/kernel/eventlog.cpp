#include "sim/kernel/eventlog.h"

#include <cstdio>

namespace sim {

Json ObjectWithRoom(std::size_t members) {
  Json object(Json::value_t::object);
  object.get_ref<Json::object_t&>().reserve(members);
  return object;
}

std::size_t EventLog::Add(Json event) {
  if (events_.empty()) events_.reserve(512);
  event["seq"] = events_.size();
  events_.push_back(std::move(event));
  return events_.size() - 1;
}

void EventLog::WriteJsonLines(std::ostream& out) const {
  for (const auto& e : events_) out << e.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

void EventLog::Device(Micros at, std::string_view part, std::string_view what, Json detail) {
  Json e = ObjectWithRoom(6);
  Append(e, "t_us", at);
  Append(e, "kind", "device");
  Append(e, "thread", "device");
  Append(e, "op", std::string(part) + "." + std::string(what));
  if (!detail.is_null()) Append(e, "args", std::move(detail));
  Add(std::move(e));
}

Json HandleJson(const void* h) {
  if (h == nullptr) return nullptr;
  return HexJson(reinterpret_cast<std::uintptr_t>(h));
}

Json HexJson(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

std::string HexBytes(const void* data, std::size_t size) {
  std::string out;
  const auto* p = static_cast<const unsigned char*>(data);
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", p[i]);
    if (i) out += ' ';
    out += buf;
  }
  return out;
}

}  // namespace sim
