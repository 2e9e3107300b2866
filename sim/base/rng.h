// The run's one random generator. Every random choice of the simulator draws from it, so a seed
// replays a run exactly.
#pragma once

#include <cstdint>

namespace sim {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0x243F6A8885A308D3ULL) {}

  // Next 64 random bits (splitmix64: small, fast, good enough for scheduling choices).
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Uniform integer in [0, bound); bound 0 gives 0.
  std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

  // True with probability 1/n (n 0 or 1: always).
  bool OneIn(std::uint64_t n) { return n <= 1 || Below(n) == 0; }

 private:
  std::uint64_t state_;
};

}  // namespace sim
