#include "sim/kernel/footprint.h"

#include <algorithm>

#include "sim/kernel/listed_schedule.h"

namespace sim {
namespace {

constexpr int kKindShift = 56;
constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kKindShift) - 1;

// FNV-1a over the bytes of a name: stable from run to run and from build to build.
template <class Char>
std::uint64_t NameHash(std::basic_string_view<Char> name) {
  std::uint64_t h = 14695981039346656037ull;
  for (Char c : name) {
    h ^= static_cast<std::uint64_t>(c);
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

std::uint64_t TouchKey(TouchKind kind, std::uint64_t id) {
  return (static_cast<std::uint64_t>(kind) << kKindShift) | (id & kIdMask);
}

std::uint64_t TouchKey(TouchKind kind, std::string_view name) { return TouchKey(kind, NameHash(name)); }

// Names of the object namespace are wide; ASCII ones hash as their narrow text does.
std::uint64_t TouchKey(TouchKind kind, std::u16string_view name) { return TouchKey(kind, NameHash(name)); }

void StepFootprint::CloseInto(ChoicePoint& point) {
  std::sort(keys_.begin(), keys_.end());
  keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
  point.touched = std::move(keys_);
  point.touches_all = all_;
  Discard();
}

void StepFootprint::Discard() {
  keys_.clear();
  all_ = false;
}

}  // namespace sim
