// The handset's heap as the program sees it: LocalAlloc and LocalFree, with every live block
// tracked, so that a leak, a double free or an allocation where none may happen is seen.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"

namespace sim {

class Heap {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  struct Block {
    std::size_t size = 0;
    std::string thread;
    Micros at = 0;
    std::string tag;  // what it is known to hold ("sound" once handed to playback)
  };
  // Allocates a block of `size` bytes (zeroed when `zero`); null on failure.
  void* Allocate(std::size_t size, bool zero, const std::string& thread, Micros at);
  // Frees a block; false when `p` is not a live block.
  bool Free(void* p);
  const Block* Find(const void* p) const;
  void Tag(const void* p, const std::string& tag);
  std::size_t Allocations() const { return allocations_; }
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  std::map<const void*, Block> live_;
  std::size_t allocations_ = 0;
  std::size_t frees_ = 0;
};

}  // namespace sim
