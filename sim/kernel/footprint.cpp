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

std::uint64_t VariableKey(std::uint64_t process, std::uint32_t index) {
  return TouchKey(TouchKind::kVariable, (process << 16) | (index & 0xffff));
}

namespace {

TouchKind KindOf(std::uint64_t key) { return static_cast<TouchKind>(key >> kKindShift); }

// True when `keys` holds a write of a variable of the process whose read key is `read`.
bool WritesProcessOf(const std::vector<std::uint64_t>& keys, std::uint64_t read) {
  const std::uint64_t first = VariableKey(read & kIdMask, 0);
  const std::uint64_t last = VariableKey(read & kIdMask, 0xffff);
  const auto at = std::lower_bound(keys.begin(), keys.end(), first);
  return at != keys.end() && *at <= last;
}

// True when a read key of `reads` meets a write of the same process in `writes`.
bool ReadMeetsWrite(const std::vector<std::uint64_t>& reads, const std::vector<std::uint64_t>& writes) {
  for (auto i = std::lower_bound(reads.begin(), reads.end(), TouchKey(TouchKind::kMemory, std::uint64_t{0}));
       i != reads.end() && KindOf(*i) == TouchKind::kMemory; ++i)
    if (WritesProcessOf(writes, *i)) return true;
  return false;
}

}  // namespace

bool StepsConflict(const std::vector<std::uint64_t>& a, bool a_all, const std::vector<std::uint64_t>& b, bool b_all) {
  if (a_all || b_all) return true;
  for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end();) {
    // Two reads of one process's variables commute; any other shared key is a conflict.
    if (*i == *j && KindOf(*i) != TouchKind::kMemory) return true;
    if (*i < *j) {
      ++i;
    } else if (*j < *i) {
      ++j;
    } else {
      ++i;
      ++j;
    }
  }
  return ReadMeetsWrite(a, b) || ReadMeetsWrite(b, a);
}

void StepFootprint::CloseInto(ChoicePoint& point) {
  std::sort(keys_.begin(), keys_.end());
  keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
  point.touched = std::move(keys_);
  point.touches_all = all_;
  std::sort(ran_.begin(), ran_.end());
  ran_.erase(std::unique(ran_.begin(), ran_.end()), ran_.end());
  const ThreadId chosen = point.chosen >= 0 && static_cast<std::size_t>(point.chosen) < point.threads.size()
                              ? point.threads[point.chosen]
                              : kNoThread;
  std::erase(ran_, chosen);
  point.also_ran = std::move(ran_);
  Discard();
}

void StepFootprint::Discard() {
  keys_.clear();
  ran_.clear();
  all_ = false;
}

}  // namespace sim
