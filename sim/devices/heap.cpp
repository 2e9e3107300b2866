#include "sim/devices/heap.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

void* Heap::Allocate(std::size_t size, bool zero, const std::string& thread, Micros at) {
  // A zero-byte request still yields a distinct block, as the platform's heap does.
  void* p = zero ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1);
  if (p == nullptr) return nullptr;
  live_[p] = Block{size, thread, at, {}};
  ++allocations_;
  return p;
}

bool Heap::Free(void* p) {
  auto it = live_.find(p);
  if (it == live_.end()) return false;
  live_.erase(it);
  std::free(p);
  ++frees_;
  return true;
}

const Heap::Block* Heap::Find(const void* p) const {
  auto it = live_.find(p);
  return it == live_.end() ? nullptr : &it->second;
}

void Heap::Tag(const void* p, const std::string& tag) {
  auto it = live_.find(p);
  if (it != live_.end()) it->second.tag = tag;
}

void Heap::Summarize(Json& out) const {
  Json heap;
  heap["allocations"] = allocations_;
  heap["frees"] = frees_;
  Json live = Json::array();
  for (const auto& [p, b] : live_) live.push_back({{"bytes", b.size}, {"tag", b.tag}, {"thread", b.thread}});
  heap["live"] = live;
  out["heap"] = heap;
}

}  // namespace sim

using namespace sim;

LPVOID LocalAlloc(UINT uFlags, UINT uBytes) {
  Call c("LocalAlloc");
  c.Arg("flags", HexJson(uFlags)).Arg("bytes", uBytes);
  if (c.Injected(std::to_string(uBytes))) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return<LPVOID>(nullptr, nullptr);
  }
  Handset& d = Dev();
  void* p = d.heap.Allocate(uBytes, (uFlags & LMEM_ZEROINIT) != 0, d.ThreadName(), d.kernel.Now());
  if (p == nullptr) c.SetError(ERROR_NOT_ENOUGH_MEMORY);
  return c.Return(p, p ? Json("block") : Json(nullptr));
}

LPVOID LocalFree(LPVOID hMem) {
  Call c("LocalFree");
  if (hMem == nullptr) return c.Return<LPVOID>(nullptr, nullptr);
  Handset& d = Dev();
  if (const Heap::Block* b = d.heap.Find(hMem)) {
    c.Arg("bytes", b->size);
    if (!b->tag.empty()) {
      c.Arg("tag", b->tag);
      if (b->tag == "sound") c.Misuse("LocalFree of a block that playback still reads");
    }
  }
  if (!d.heap.Free(hMem)) {
    c.Misuse("LocalFree of a block that is not live (double free or foreign pointer)");
    c.SetError(ERROR_INVALID_HANDLE);
    return c.Return<LPVOID>(hMem, "failed");
  }
  return c.Return<LPVOID>(nullptr, nullptr);
}
