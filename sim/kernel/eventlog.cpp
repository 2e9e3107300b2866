#include "sim/kernel/eventlog.h"

#include <cstdio>

namespace sim {

std::size_t EventLog::Add(Json event) {
  event["seq"] = events_.size();
  events_.push_back(std::move(event));
  return events_.size() - 1;
}

void EventLog::WriteJsonLines(std::ostream& out) const {
  for (const auto& e : events_) out << e.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

void EventLog::Device(Micros at, std::string_view part, std::string_view what, Json detail) {
  Json e;
  e["t_us"] = at;
  e["kind"] = "device";
  e["thread"] = "device";
  e["op"] = std::string(part) + "." + std::string(what);
  if (!detail.is_null()) e["args"] = std::move(detail);
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
