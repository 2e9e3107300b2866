// Sound playback from memory: the image is parsed as a RIFF/WAVE file, its length is worked out
// from the format and data chunks, and the block stays the playback's until the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"

namespace sim {

// What a RIFF/WAVE image holds; `problem` says why an image is not a sound.
struct WavInfo {
  std::string problem;  // empty: a playable sound
  std::uint16_t format = 0;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint32_t byte_rate = 0;
  std::uint16_t bits = 0;
  std::uint32_t data_bytes = 0;
  Micros length = 0;
};

// Parses the image of `size` bytes at `data`, never reading past it.
WavInfo ParseWav(const std::uint8_t* data, std::size_t size);
// A PCM sound of `ms` milliseconds (8 kHz, 16-bit, mono) as a RIFF/WAVE image.
std::vector<std::uint8_t> GenerateWav(std::uint64_t ms);

class SoundPlayer {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Starts playing the image in `block` (a live heap block of `size` bytes); stops what played.
  // Returns false, with a device event, when the image is not a sound.
  bool PlayFromMemory(const void* block, std::size_t size);
  // Stops what plays (PlaySound with no sound).
  void Stop();
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  struct Played {
    std::size_t bytes = 0;
    Micros length = 0;
    Micros started = 0;
    std::string state;  // playing, finished, stopped
    const void* block = nullptr;
  };
  std::vector<Played> played_;
  std::vector<std::string> rejected_;
  std::uint64_t finish_timer_ = 0;
};

}  // namespace sim
