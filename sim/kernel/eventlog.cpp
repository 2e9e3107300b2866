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

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

Json HexJson(std::uint64_t v) {
  // "0x" and upper-case digits without leading zeros, as printf's "0x%llX" writes them.
  char buf[2 + 16];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = kHexDigits[v & 0xF];
    v >>= 4;
  } while (v != 0);
  *--p = 'x';
  *--p = '0';
  return std::string(p, end);
}

std::string HexBytes(const void* data, std::size_t size) {
  std::string out;
  out.reserve(size * 3);
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    if (i) out += ' ';
    out += kHexDigits[p[i] >> 4];
    out += kHexDigits[p[i] & 0xF];
  }
  return out;
}

}  // namespace sim
