#include "sim/kernel/eventlog.h"

#include <mutex>
#include <unordered_set>

namespace sim {

namespace {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace

std::string_view Intern(std::string_view text) {
  // Never freed: views of these texts live in records that may outlive any one handset. The set
  // holds the names of a run (threads, operations, members), so it stays small.
  static std::mutex mu;
  static auto* texts = new std::unordered_set<std::string, TextHash, std::equal_to<>>;
  std::lock_guard lk(mu);
  if (auto it = texts->find(text); it != texts->end()) return *it;
  return *texts->emplace(text).first;
}

Value::Value(const Json& json) {
  switch (json.type()) {
    case Json::value_t::null:
      break;
    case Json::value_t::boolean:
      kind_ = Kind::kBool;
      int_ = json.get<bool>() ? 1 : 0;
      break;
    case Json::value_t::number_integer:
      kind_ = Kind::kInt;
      int_ = json.get<std::int64_t>();
      break;
    case Json::value_t::number_unsigned:
      kind_ = Kind::kUint;
      uint_ = json.get<std::uint64_t>();
      break;
    case Json::value_t::string:
      kind_ = Kind::kText;
      text_ = json.get_ref<const std::string&>();
      break;
    default:
      kind_ = Kind::kJson;
      json_ = std::make_unique<Json>(json);
  }
}

Value::Value(const Value& other) : kind_(other.kind_), uint_(other.uint_), text_(other.text_) {
  if (other.json_) json_ = std::make_unique<Json>(*other.json_);
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

std::string Value::Shown() const {
  switch (kind_) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return int_ ? "true" : "false";
    case Kind::kInt:
      return std::to_string(int_);
    case Kind::kUint:
      return std::to_string(uint_);
    case Kind::kText:
      return text_;
    case Kind::kJson:
      break;
  }
  return json_->dump();
}

std::int64_t Value::Number(std::int64_t otherwise) const {
  switch (kind_) {
    case Kind::kBool:
    case Kind::kInt:
      return int_;
    case Kind::kUint:
      return static_cast<std::int64_t>(uint_);
    default:
      return otherwise;
  }
}

Json Value::ToJson() const {
  switch (kind_) {
    case Kind::kNull:
      return nullptr;
    case Kind::kBool:
      return int_ != 0;
    case Kind::kInt:
      return int_;
    case Kind::kUint:
      return uint_;
    case Kind::kText:
      return text_;
    case Kind::kJson:
      break;
  }
  return *json_;
}

bool Value::operator==(const Value& other) const {
  if (kind_ == Kind::kJson || other.kind_ == Kind::kJson) return ToJson() == other.ToJson();
  if (kind_ == Kind::kInt && other.kind_ == Kind::kUint) return int_ >= 0 && uint_ == other.uint_;
  if (kind_ == Kind::kUint && other.kind_ == Kind::kInt) return other == *this;
  if (kind_ != other.kind_) return false;
  return kind_ == Kind::kText ? text_ == other.text_ : int_ == other.int_;
}

void to_json(Json& json, const Value& value) { json = value.ToJson(); }

namespace {

const Value* Find(const std::vector<Member>& members, std::string_view name) {
  for (const Member& m : members)
    if (m.name == name) return &m.value;
  return nullptr;
}

}  // namespace

const Value* Event::Arg(std::string_view name) const { return Find(args, name); }

const Value* Event::Get(std::string_view name) const { return Find(more, name); }

bool Event::Flag(std::string_view name) const {
  const Value* v = Get(name);
  return v != nullptr && *v == Value(true);
}

std::string Event::ArgShown(std::string_view name) const {
  if (const Value* v = Arg(name)) return v->Shown();
  if (!detail.is_object()) return {};
  const auto it = detail.find(name);
  if (it == detail.end()) return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

Micros Event::TimeOf(std::string_view name) const {
  const Value* v = Get(name);
  return v ? static_cast<Micros>(v->Number()) : 0;
}

void Event::Set(std::string_view name, Value value) {
  for (Member& m : more)
    if (m.name == name) {
      m.value = std::move(value);
      return;
    }
  more.push_back({name, std::move(value)});
}

Json Event::ToJson(std::size_t seq) const {
  Json e = ObjectWithRoom(7 + more.size());
  Append(e, "t_us", t_us);
  Append(e, "kind", kind);
  Append(e, "thread", thread);
  if (pid != 0) Append(e, "pid", pid);
  Append(e, "op", op);
  if (!caller.empty()) Append(e, "caller", caller);
  if (IsCall() && detail.is_null()) {
    Json a = ObjectWithRoom(args.size());
    for (const Member& m : args) Append(a, m.name, m.value.ToJson());
    Append(e, "args", std::move(a));
  } else if (!detail.is_null()) {
    Append(e, "args", detail);
  }
  Append(e, "seq", seq);
  for (const Member& m : more) Append(e, m.name, m.value.ToJson());
  return e;
}

namespace {

std::string_view InternedText(const Json& v) {
  return v.is_string() ? Intern(v.get_ref<const std::string&>()) : std::string_view();
}

}  // namespace

Event Event::FromJson(const Json& json) {
  Event e;
  if (!json.is_object()) return e;
  const Json* args = nullptr;
  for (const auto& [key, v] : json.items()) {
    if (key == "t_us")
      e.t_us = v.is_number_unsigned() ? v.get<Micros>() : 0;
    else if (key == "kind")
      e.kind = InternedText(v);
    else if (key == "thread")
      e.thread = InternedText(v);
    else if (key == "pid")
      e.pid = v.is_number_integer() && v.get<std::int64_t>() > 0 ? v.get<std::uint32_t>() : 0;
    else if (key == "op")
      e.op = InternedText(v);
    else if (key == "caller")
      e.caller = InternedText(v);
    else if (key == "args")
      args = &v;
    else if (key != "seq")
      e.more.push_back({Intern(key), Value(v)});
  }
  if (args != nullptr && e.IsCall() && args->is_object()) {
    for (const auto& [key, v] : args->items()) e.args.push_back({Intern(key), Value(v)});
  } else if (args != nullptr) {
    e.detail = *args;
  }
  return e;
}

std::vector<Event> EventsFromJson(const std::vector<Json>& records) {
  std::vector<Event> out;
  out.reserve(records.size());
  for (const Json& r : records) out.push_back(Event::FromJson(r));
  return out;
}

Json ObjectWithRoom(std::size_t members) {
  Json object(Json::value_t::object);
  object.get_ref<Json::object_t&>().reserve(members);
  return object;
}

std::size_t EventLog::Add(Event event) {
  if (events_.empty()) events_.reserve(512);
  events_.push_back(std::move(event));
  return events_.size() - 1;
}

std::vector<Json> EventLog::ToJson() const {
  std::vector<Json> out;
  out.reserve(events_.size());
  for (std::size_t i = 0; i < events_.size(); ++i) out.push_back(events_[i].ToJson(i));
  return out;
}

void EventLog::WriteJsonLines(std::ostream& out) const {
  for (std::size_t i = 0; i < events_.size(); ++i)
    out << events_[i].ToJson(i).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

void EventLog::Device(Micros at, std::string_view part, std::string_view what, Json detail) {
  Event e;
  e.t_us = at;
  e.kind = "device";
  e.thread = "device";
  std::string op;
  op.reserve(part.size() + 1 + what.size());
  op.append(part).append(".").append(what);
  e.op = Intern(op);
  e.detail = std::move(detail);
  Add(std::move(e));
}

Value HandleValue(const void* h) {
  if (h == nullptr) return nullptr;
  return HexText(reinterpret_cast<std::uintptr_t>(h));
}

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

std::string HexText(std::uint64_t v) {
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
