#include "sim/devices/registry.h"
#include "sim/scenario/limits.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

}  // namespace

bool NoCaseLess::operator()(std::u16string_view a, std::u16string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) { return Lower(x) < Lower(y); });
}

std::string Registry::RootName(std::uintptr_t predefined) {
  switch (predefined) {
    case 0x80000000u:
      return "HKEY_CLASSES_ROOT";
    case 0x80000001u:
      return "HKEY_CURRENT_USER";
    case 0x80000002u:
      return "HKEY_LOCAL_MACHINE";
    case 0x80000003u:
      return "HKEY_USERS";
    default:
      return "";
  }
}

namespace {

// The operations of a .reg text, parsed once per process for each distinct text and source: the
// explorer builds the same handset thousands of times.
std::shared_ptr<const std::vector<RegOperation>> ParsedRegText(const std::string& text, const std::string& source) {
  struct Parsed {
    std::string text, source;
    std::shared_ptr<const std::vector<RegOperation>> ops;
  };
  static std::mutex mu;
  static auto* const kept = new std::vector<Parsed>;
  {
    std::lock_guard lock(mu);
    for (const Parsed& p : *kept)
      if (p.text == text && p.source == source) return p.ops;
  }
  auto ops = std::make_shared<const std::vector<RegOperation>>(ParseRegText(text, source));
  std::lock_guard lock(mu);
  if (kept->size() >= 16) kept->erase(kept->begin());  // a stream of generated worlds
  kept->push_back({text, source, ops});
  return ops;
}

}  // namespace

void Registry::Configure(const Section& root) {
  if (auto reg = root.Table("registry")) {
    for (const auto& file : reg->Strings("files")) {
      const std::string path = file.size() && file[0] == '/' ? file : reg->Directory() + "/" + file;
      std::string text;
      try {
        text = ReadBoundedFile(path, ScenarioLimits::kRegFileBytes, "registry file");
      } catch (const ScenarioError& e) {
        reg->Fail("files", std::string("cannot read the registry file: ") + e.what());
      }
      try {
        Apply(*ParsedRegText(text, path));
      } catch (const RegFileError& e) {
        throw ScenarioError(e.what());
      }
    }
    // `patch` applies after `text`, so that a scenario built on another can add, change or
    // delete single keys and values without repeating the whole registry.
    for (const char* key : {"text", "patch"}) {
      if (!reg->Has(key)) continue;
      try {
        Apply(*ParsedRegText(reg->String(key, ""), reg->File() + " [registry]." + key));
      } catch (const RegFileError& e) {
        throw ScenarioError(e.what());
      }
    }
    reg->CheckNoUnknownKeys();
  }
}

void Registry::RegisterActions(Timeline& timeline) {
  auto parse_target = [](const Section& e) {
    KeyRef ref{"HKEY_LOCAL_MACHINE", Wide(e.String("key", ""))};
    if (!e.Has("key")) e.Fail("key", "missing: the key below HKEY_LOCAL_MACHINE");
    if (!e.Has("value")) e.Fail("value", "missing: the value name");
    return std::make_pair(ref, Wide(e.String("value", "")));
  };
  timeline.Register("set_registry", [this, parse_target](const Section& e) -> Timeline::Action {
    const auto target = parse_target(e);
    const KeyRef ref = target.first;
    const std::u16string name = target.second;
    RegValue v;
    if (e.Has("dword")) {
      const std::uint32_t d = e.U32("dword", 0);
      v.type = REG_DWORD;
      v.data = {static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(d >> 8), static_cast<std::uint8_t>(d >> 16),
                static_cast<std::uint8_t>(d >> 24)};
    } else if (e.Has("string")) {
      const std::u16string s = Wide(e.String("string", ""));
      v.type = REG_SZ;
      for (char16_t ch : s) {
        v.data.push_back(static_cast<std::uint8_t>(ch));
        v.data.push_back(static_cast<std::uint8_t>(ch >> 8));
      }
      v.data.push_back(0);
      v.data.push_back(0);
    } else {
      e.Fail("dword", "set_registry needs `dword` or `string`");
    }
    return [this, ref, name, v] { SetValue(ref, name, v); };
  });
  timeline.Register("delete_registry", [this, parse_target](const Section& e) -> Timeline::Action {
    const auto target = parse_target(e);
    const KeyRef ref = target.first;
    const std::u16string name = target.second;
    return [this, ref, name] { DeleteValue(ref, name); };
  });
}

void Registry::Apply(const std::vector<RegOperation>& ops) {
  for (const RegOperation& op : ops) {
    KeyRef ref{op.root, op.path};
    switch (op.kind) {
      case RegOperation::Kind::kCreateKey: {
        RegKey* k = &roots_[op.root];
        for (const auto& part : SplitPath(op.path)) k = &k->subkeys[part];
        break;
      }
      case RegOperation::Kind::kDeleteKey: {
        auto parts = SplitPath(op.path);
        if (parts.empty()) break;
        const std::u16string leaf = parts.back();
        parts.pop_back();
        RegKey* k = &roots_[op.root];
        for (const auto& part : parts) {
          auto it = k->subkeys.find(part);
          if (it == k->subkeys.end()) {
            k = nullptr;
            break;
          }
          k = &it->second;
        }
        if (k) k->subkeys.erase(leaf);
        break;
      }
      case RegOperation::Kind::kSetValue: {
        RegKey* k = &roots_[op.root];
        for (const auto& part : SplitPath(op.path)) k = &k->subkeys[part];
        k->values[op.value_name] = RegValue{op.type, op.data};
        if (op.type > 11)  // beyond REG_QWORD: kept as it is, and reported
          unknown_types_.push_back(op.root + "\\" + Narrow(op.path) + "\\" + Narrow(op.value_name) + " (type " +
                                   std::to_string(op.type) + ")");
        break;
      }
      case RegOperation::Kind::kDeleteValue:
        if (RegKey* k = FindKey(ref)) k->values.erase(op.value_name);
        break;
    }
  }
}

RegKey* Registry::FindKey(const KeyRef& ref) {
  auto root = roots_.find(ref.root);
  if (root == roots_.end()) return nullptr;
  RegKey* k = &root->second;
  for (const auto& part : SplitPath(ref.path)) {
    auto it = k->subkeys.find(part);
    if (it == k->subkeys.end()) return nullptr;
    k = &it->second;
  }
  return k;
}

const RegValue* Registry::FindValue(const KeyRef& ref, std::u16string_view name) {
  RegKey* k = FindKey(ref);
  if (k == nullptr) return nullptr;
  auto it = k->values.find(name);
  return it == k->values.end() ? nullptr : &it->second;
}

void Registry::SetValue(const KeyRef& ref, const std::u16string& name, RegValue value) {
  RegKey* k = &roots_[ref.root];
  for (const auto& part : SplitPath(ref.path)) k = &k->subkeys[part];
  k->values[name] = value;
  Dev().Note(
      "registry", "set",
      {{"key", Narrow(ref.path)}, {"value", Narrow(name)}, {"bytes", HexBytes(value.data.data(), value.data.size())}});
  Notify(ref, name, value);
}

void Registry::DeleteValue(const KeyRef& ref, const std::u16string& name) {
  if (RegKey* k = FindKey(ref)) k->values.erase(name);
  Dev().Note("registry", "delete", {{"key", Narrow(ref.path)}, {"value", Narrow(name)}});
  Notify(ref, name, std::nullopt);
}

std::uintptr_t Registry::AddNotification(RegNotification n) {
  notifications_.push_back(std::move(n));
  return notifications_.back().handle;
}

RegNotification* Registry::FindNotification(std::uintptr_t handle) {
  for (auto& n : notifications_)
    if (n.handle == handle && n.open) return &n;
  return nullptr;
}

bool Registry::CloseNotification(std::uintptr_t handle) {
  RegNotification* n = FindNotification(handle);
  if (n == nullptr) return false;
  n->open = false;
  return true;
}

void Registry::Notify(const KeyRef& ref, const std::u16string& name, const std::optional<RegValue>& value) {
  std::vector<Notifier*> woken;
  for (auto& n : notifications_) {
    if (!n.open || n.key.root != ref.root || !EqualsNoCase(n.key.path, ref.path) || !EqualsNoCase(n.value, name))
      continue;
    Notifier& to = NotifierOf(Dev().ProcessOfHandle(n.handle));
    to.queue.push_back(Delivery{n.handle, value});
    woken.push_back(&to);
  }
  for (Notifier* to : woken) to->event->Set();
}

// The process's notification thread, started with its first change: delivers each queued change
// to its callback, in order, and ends with the process.
Registry::Notifier& Registry::NotifierOf(ProcessId process) {
  auto [it, added] = notifiers_.try_emplace(process);
  Notifier& to = it->second;
  if (!added) return to;
  to.event = std::make_shared<EventObject>(false, false);
  Dev().SpawnProgramPlatformThread("regnotify", process, [this, &to] {
    for (;;) {
      Dev().kernel.Wait(to.event.get(), kNever, "notification thread waits for a registry change");
      while (!to.queue.empty()) {
        Delivery d = std::move(to.queue.front());
        to.queue.pop_front();
        Deliver(d);
      }
    }
  });
  return to;
}

void Registry::Deliver(const Delivery& d) {
  RegNotification* n = FindNotification(d.handle);
  if (n == nullptr) return;  // closed since the change was queued
  ++n->delivered;
  const auto cb = reinterpret_cast<REGISTRYNOTIFYCALLBACK>(n->callback);
  const HREGNOTIFY handle = reinterpret_cast<HREGNOTIFY>(d.handle);
  const std::uint32_t user_data = n->user_data;  // the callback may close the notification
  Dev().Note("registry", "callback", {{"notification", HexText(d.handle)}, {"has_data", d.value.has_value()}});
  if (!d.value) {
    cb(handle, user_data, nullptr, 0);
    return;
  }
  // A changed value always comes with a data pointer, also when it holds no bytes: only a
  // deleted value comes without one.
  std::vector<std::uint8_t> data(std::max<std::size_t>(1, d.value->data.size()));
  std::copy(d.value->data.begin(), d.value->data.end(), data.begin());
  cb(handle, user_data, data.data(), static_cast<UINT>(d.value->data.size()));
}

void Registry::Summarize(Json& out) const {
  int open = 0;
  for (const auto& n : notifications_) open += n.open ? 1 : 0;
  Append(out, "registry_notifications_open", open);
  Append(out, "registry_unknown_types", unknown_types_);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Registry::Declared() {
  static const PartDeclaration kDeclared{
      {"RegOpenKeyExW", "RegQueryValueExW", "RegistryGetString", "RegistryNotifyCallback"},
      {},
      {{"no alarm settings",
        "[registry]\npatch = '''\nREGEDIT4\n[-HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n'''\n"},
       {"illegal boot time",
        "[registry]\npatch = "
        "'''\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\ControlPanel\\AlarmSettings]\n\"AutoBootTime\"=\"700\"\n'''\n"},
       {"a call active that ends at 20 s",
        "[registry]\npatch = '''\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n\"Active Call "
        "Count\"=dword:00000001\n'''\n"
        "[[timeline]]\nat_ms = 20000\ndo = \"delete_registry\"\nkey = 'System\\State\\Phone'\nvalue = \"Active Call "
        "Count\"\n"}}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

namespace {

// Resolves a root or open key handle plus a sub-key to a key reference.
std::optional<KeyRef> Resolve(HKEY hKey, LPCWSTR sub) {
  const auto value = reinterpret_cast<std::uintptr_t>(hKey);
  KeyRef ref;
  if (std::string root = Registry::RootName(value); !root.empty()) {
    ref.root = root;
  } else if (auto* open = Dev().handles.Object<KeyRef>(value, HandleKind::kKey)) {
    ref = *open;
  } else {
    return std::nullopt;
  }
  if (sub != nullptr && *sub != 0) ref.path = ref.path.empty() ? std::u16string(sub) : ref.path + u"\\" + sub;
  return ref;
}

}  // namespace

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, DWORD samDesired, HKEY* phkResult) {
  Call c("RegOpenKeyExW");
  c.Arg("root", HandleValue(hKey))
      .Arg("subkey", Narrow(lpSubKey))
      .Arg("options", ulOptions)
      .Arg("access", HexText(samDesired));
  if (phkResult == nullptr) {
    c.Misuse("RegOpenKeyExW without a place for the key");
    return c.Return<LONG>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
  }
  auto ref = Resolve(hKey, lpSubKey);
  if (!ref) {
    c.Misuse("RegOpenKeyExW under a key that is not open");
    return c.Return<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
  }
  if (c.Injected(Narrow(ref->path))) return c.Return<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
  Handset& d = Dev();
  if (d.registry.FindKey(*ref) == nullptr) return c.Return<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
  auto v = d.OpenHandle(HandleKind::kKey, std::make_shared<KeyRef>(*ref), "key '" + Narrow(ref->path) + "'",
                        "RegOpenKeyExW");
  *phkResult = reinterpret_cast<HKEY>(v);
  c.Arg("key", HexText(v));
  return c.Return<LONG>(ERROR_SUCCESS, ERROR_SUCCESS);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  Call c("RegQueryValueExW");
  c.Arg("key", HandleValue(hKey)).Arg("value", Narrow(lpValueName));
  if (lpcbData) c.Arg("capacity", *lpcbData);
  Handset& d = Dev();
  auto* ref = d.handles.Object<KeyRef>(reinterpret_cast<std::uintptr_t>(hKey), HandleKind::kKey);
  if (ref == nullptr) {
    c.Misuse("RegQueryValueExW on a key that is not open");
    return c.Return<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
  }
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    c.Misuse("RegQueryValueExW with a reserved argument or a buffer without its size");
    return c.Return<LONG>(ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
  }
  const std::u16string name = lpValueName ? lpValueName : u"";
  if (c.Injected(Narrow(name))) return c.Return<LONG>(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
  if (d.registry.FindKey(*ref) == nullptr) return c.Return<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
  const RegValue* v = d.registry.FindValue(*ref, name);
  if (v == nullptr) return c.Return<LONG>(ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
  if (lpType) *lpType = v->type;
  c.Arg("type", v->type).Arg("size", v->data.size());
  const DWORD size = static_cast<DWORD>(v->data.size());
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = size;
    return c.Return<LONG>(ERROR_SUCCESS, ERROR_SUCCESS);
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return c.Return<LONG>(ERROR_MORE_DATA, ERROR_MORE_DATA);
  }
  std::copy(v->data.begin(), v->data.end(), lpData);
  *lpcbData = size;
  return c.Return<LONG>(ERROR_SUCCESS, ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY hKey) {
  Call c("RegCloseKey");
  c.Arg("key", HandleValue(hKey));
  const auto v = reinterpret_cast<std::uintptr_t>(hKey);
  if (Dev().handles.Find(v, HandleKind::kKey) == nullptr) {
    c.Misuse("RegCloseKey on a key that is not open");
    return c.Return<LONG>(ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE);
  }
  Dev().handles.Close(v);
  return c.Return<LONG>(ERROR_SUCCESS, ERROR_SUCCESS);
}

HRESULT RegistryGetString(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPWSTR pszData, UINT cchData) {
  Call c("RegistryGetString");
  c.Arg("root", HandleValue(hkey))
      .Arg("subkey", Narrow(pszSubKey))
      .Arg("value", Narrow(pszValueName))
      .Arg("capacity", cchData);
  auto ref = Resolve(hkey, pszSubKey);
  if (!ref || pszData == nullptr || cchData == 0) {
    c.Misuse("RegistryGetString without a valid root or buffer");
    return c.Return<HRESULT>(E_INVALIDARG, HexText(static_cast<std::uint32_t>(E_INVALIDARG)));
  }
  const std::u16string name = pszValueName ? pszValueName : u"";
  auto fail = [&](HRESULT hr) { return c.Return<HRESULT>(hr, HexText(static_cast<std::uint32_t>(hr))); };
  if (c.Injected(Narrow(ref->path))) return fail(E_FAIL);
  const RegValue* v = Dev().registry.FindValue(*ref, name);
  if (v == nullptr) return fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) return fail(E_INVALIDARG);
  std::u16string text;
  for (std::size_t i = 0; i + 1 < v->data.size(); i += 2) {
    const char16_t ch = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
    if (ch == 0) break;
    text += ch;
  }
  if (text.size() + 1 > cchData) return fail(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  std::copy(text.begin(), text.end(), pszData);
  pszData[text.size()] = 0;
  c.Arg("text", Narrow(text));
  return c.Return<HRESULT>(S_OK, 0);
}

HRESULT RegistryNotifyCallback(HKEY hkey, LPCWSTR pszSubKey, LPCWSTR pszValueName, REGISTRYNOTIFYCALLBACK pfnCallback,
                               DWORD dwUserData, PNOTIFICATIONCONDITION pCondition, HREGNOTIFY* phNotify) {
  Call c("RegistryNotifyCallback");
  c.Arg("key", HandleValue(hkey))
      .Arg("subkey", Narrow(pszSubKey))
      .Arg("value", Narrow(pszValueName))
      .Arg("user_data", dwUserData)
      .Arg("condition", pCondition != nullptr ? Value("set") : Value(nullptr));
  auto ref = Resolve(hkey, pszSubKey);
  auto fail = [&](HRESULT hr) { return c.Return<HRESULT>(hr, HexText(static_cast<std::uint32_t>(hr))); };
  if (!ref || pfnCallback == nullptr || phNotify == nullptr) {
    c.Misuse("RegistryNotifyCallback without a valid key, callback or place for the handle");
    return fail(E_INVALIDARG);
  }
  if (c.Injected(Narrow(pszValueName))) return fail(E_FAIL);
  Handset& d = Dev();
  RegNotification n;
  n.key = *ref;
  n.value = pszValueName ? pszValueName : u"";
  n.callback = reinterpret_cast<void*>(pfnCallback);
  n.user_data = dwUserData;
  n.handle = d.OpenHandle(HandleKind::kRegNotify, nullptr, "registry notification '" + Narrow(n.value) + "'",
                          "RegistryNotifyCallback");
  *phNotify = reinterpret_cast<HREGNOTIFY>(d.registry.AddNotification(std::move(n)));
  c.Arg("notification", HandleValue(*phNotify));
  return c.Return<HRESULT>(S_OK, 0);
}

HRESULT RegistryCloseNotification(HREGNOTIFY hNotify) {
  Call c("RegistryCloseNotification");
  c.Arg("notification", HandleValue(hNotify));
  const auto v = reinterpret_cast<std::uintptr_t>(hNotify);
  if (!Dev().registry.CloseNotification(v)) {
    c.Misuse("RegistryCloseNotification on a notification that is not open");
    return c.Return<HRESULT>(E_INVALIDARG, HexText(static_cast<std::uint32_t>(E_INVALIDARG)));
  }
  Dev().handles.Close(v);
  return c.Return<HRESULT>(S_OK, 0);
}
