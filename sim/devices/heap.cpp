#include "sim/devices/heap.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

namespace {
// Every block is followed by guard bytes of a known pattern, so that a write past its end shows
// when it is freed, in any build (the address sanitizer sees only writes past the guard).
constexpr std::size_t kGuardBytes = 16;
constexpr unsigned char kGuardByte = 0xFD;

// False when something wrote past the end of the `size` bytes at `p`, into their guard.
bool GuardIntact(const void* p, std::size_t size) {
  const auto* guard = static_cast<const unsigned char*>(p) + size;
  for (std::size_t i = 0; i < kGuardBytes; ++i)
    if (guard[i] != kGuardByte) return false;
  return true;
}
}  // namespace

void* Heap::Allocate(std::size_t size, bool zero, const std::string& thread, Micros at) {
  // A zero-byte request still yields a distinct block, as the platform's heap does.
  void* p = zero ? std::calloc(size + kGuardBytes, 1) : std::malloc(size + kGuardBytes);
  if (p == nullptr) return nullptr;
  std::memset(static_cast<unsigned char*>(p) + size, kGuardByte, kGuardBytes);
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
  Json heap = ObjectWithRoom(3);
  Append(heap, "allocations", allocations_);
  Append(heap, "frees", frees_);
  Json live = Json::array();
  live.get_ref<Json::array_t&>().reserve(live_.size());
  for (const auto& [p, b] : live_) {
    Json block = ObjectWithRoom(3);
    Append(block, "bytes", b.size);
    Append(block, "tag", b.tag);
    Append(block, "thread", b.thread);
    live.push_back(std::move(block));
  }
  Append(heap, "live", std::move(live));
  Append(out, "heap", std::move(heap));
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& Heap::Declared() {
  static const PartDeclaration kDeclared{{"LocalAlloc"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

LPVOID LocalAlloc(UINT uFlags, UINT uBytes) {
  Call c("LocalAlloc");
  c.Arg("flags", HexText(uFlags)).Arg("bytes", uBytes);
  if (c.Injected(std::to_string(uBytes))) {
    c.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return c.Return<LPVOID>(nullptr, nullptr);
  }
  Handset& d = Dev();
  void* p = d.heap.Allocate(uBytes, (uFlags & LMEM_ZEROINIT) != 0, d.ThreadName(), d.kernel.Now());
  if (p == nullptr) c.SetError(ERROR_NOT_ENOUGH_MEMORY);
  return c.Return(p, p ? Value("block") : Value(nullptr));
}

LPVOID LocalFree(LPVOID hMem) {
  Call c("LocalFree");
  if (hMem == nullptr) return c.Return<LPVOID>(nullptr, nullptr);
  Handset& d = Dev();
  if (const Heap::Block* b = d.heap.Find(hMem)) {
    c.Arg("bytes", b->size);
    if (!GuardIntact(hMem, b->size))
      c.Misuse("LocalFree of a block written past its " + std::to_string(b->size) + " bytes");
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
