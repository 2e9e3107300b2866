#include "sim/devices/sound.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "sim/base/text.h"
#include "sim/devices/call.h"
#include "sim/devices/handset.h"

namespace sim {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void PutTag(std::vector<std::uint8_t>& v, const char* tag) { v.insert(v.end(), tag, tag + 4); }

// Reads the "fmt " chunk body into `info`; false when it is too short.
bool ReadFormat(const std::uint8_t* body, std::uint32_t size, WavInfo& info) {
  if (size < 16) return false;
  info.format = Le16(body);
  info.channels = Le16(body + 2);
  info.sample_rate = Le32(body + 4);
  info.byte_rate = Le32(body + 8);
  info.bits = Le16(body + 14);
  return true;
}

}  // namespace

WavInfo ParseWav(const std::uint8_t* data, std::size_t size) {
  WavInfo info;
  if (data == nullptr || size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    info.problem = "no RIFF/WAVE header";
    return info;
  }
  bool have_format = false, have_data = false;
  std::size_t at = 12;
  while (at + 8 <= size && !(have_format && have_data)) {
    const std::uint32_t chunk = Le32(data + at + 4);
    const std::uint8_t* body = data + at + 8;
    const std::size_t room = size - at - 8;
    if (std::memcmp(data + at, "fmt ", 4) == 0) {
      if (chunk > room || !ReadFormat(body, chunk, info)) break;
      have_format = true;
    } else if (std::memcmp(data + at, "data", 4) == 0) {
      if (chunk > room) {
        info.problem = "the data chunk runs past the end of the image";
        return info;
      }
      info.data_bytes = chunk;
      have_data = true;
    }
    if (chunk > room) break;
    at += 8 + chunk + (chunk & 1);
  }
  if (!have_format)
    info.problem = "no complete format chunk";
  else if (!have_data)
    info.problem = "no data chunk";
  else if (info.byte_rate == 0)
    info.problem = "a format with no bytes per second";
  else
    info.length = static_cast<Micros>(info.data_bytes) * 1000000 / info.byte_rate;
  return info;
}

std::vector<std::uint8_t> GenerateWav(std::uint64_t ms) {
  constexpr std::uint32_t kRate = 8000, kBytesPerSample = 2;
  const std::uint64_t data_bytes = ms * kRate / 1000 * kBytesPerSample;
  std::vector<std::uint8_t> v;
  v.reserve(44 + data_bytes);
  PutTag(v, "RIFF");
  Put32(v, static_cast<std::uint32_t>(36 + data_bytes));
  PutTag(v, "WAVE");
  PutTag(v, "fmt ");
  Put32(v, 16);
  Put16(v, 1);  // PCM
  Put16(v, 1);  // mono
  Put32(v, kRate);
  Put32(v, kRate * kBytesPerSample);
  Put16(v, kBytesPerSample);
  Put16(v, 16);
  PutTag(v, "data");
  Put32(v, static_cast<std::uint32_t>(data_bytes));
  // A quiet square wave, so that the samples are not all zero: one period of 16 samples written
  // once, then copied (files of several seconds are built for every run).
  std::vector<std::uint8_t> period;
  for (std::uint64_t i = 0; i < 16; ++i) Put16(period, (i / 8) % 2 ? 0x0400 : 0xFC00);
  const std::size_t header = v.size();
  v.resize(header + data_bytes);
  for (std::size_t off = 0; off < data_bytes; off += period.size())
    std::memcpy(v.data() + header + off, period.data(), std::min<std::size_t>(period.size(), data_bytes - off));
  return v;
}

bool SoundPlayer::PlayFromMemory(const void* block, std::size_t size) {
  Handset& d = Dev();
  const WavInfo info = ParseWav(static_cast<const std::uint8_t*>(block), size);
  if (!info.problem.empty()) {
    rejected_.push_back(info.problem);
    d.Note("sound", "not_a_sound", {{"bytes", size}, {"problem", info.problem}});
    return false;
  }
  Stop();
  d.heap.Tag(block, "sound");
  played_.push_back(Played{size, info.length, d.kernel.Now(), "playing", block});
  d.Note("sound", "plays",
         {{"bytes", size},
          {"length_ms", info.length / kMicrosPerMs},
          {"rate", info.sample_rate},
          {"channels", info.channels},
          {"bits", info.bits}});
  const std::size_t index = played_.size() - 1;
  finish_timer_ = d.kernel.At(d.kernel.Now() + info.length, "the sound ends", [this, index] {
    played_[index].state = "finished";
    Dev().heap.Tag(played_[index].block, "sound, played");
    Dev().Note("sound", "finished");
  });
  return true;
}

void SoundPlayer::Stop() {
  if (played_.empty() || played_.back().state != "playing") return;
  Dev().kernel.Cancel(finish_timer_);
  played_.back().state = "stopped";
  Dev().heap.Tag(played_.back().block, "sound, stopped");
  Dev().Note("sound", "stopped");
}

void SoundPlayer::Summarize(Json& out) const {
  Json sounds = Json::array();
  sounds.get_ref<Json::array_t&>().reserve(played_.size());
  for (const auto& p : played_) {
    Json sound = ObjectWithRoom(4);
    Append(sound, "bytes", p.bytes);
    Append(sound, "length_ms", p.length / kMicrosPerMs);
    Append(sound, "started_ms", p.started / kMicrosPerMs);
    Append(sound, "state", p.state);
    sounds.push_back(std::move(sound));
  }
  Append(out, "sounds", std::move(sounds));
  if (!rejected_.empty()) Append(out, "sounds_rejected", rejected_);
}

// The operations whose calls this part fails on a rule, and the knobs that break it.
const PartDeclaration& SoundPlayer::Declared() {
  static const PartDeclaration kDeclared{{"PlaySoundW"}, {}, {}};
  return kDeclared;
}

}  // namespace sim

using namespace sim;

BOOL PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound) {
  Call c("PlaySoundW");
  c.Arg("flags", HexText(fdwSound)).Arg("module", HandleValue(hmod));
  Handset& d = Dev();
  if (pszSound == nullptr) {
    d.sound.Stop();
    return c.Return<BOOL>(TRUE, true);
  }
  if ((fdwSound & SND_MEMORY) == 0) {
    c.Arg("name", Narrow(pszSound));
    c.SetError(ERROR_NOT_SUPPORTED);  // only sounds from memory are simulated
    return c.Return<BOOL>(FALSE, false);
  }
  const Heap::Block* block = d.heap.Find(pszSound);
  if (block == nullptr) {
    // The handset cannot tell where an image outside the heap ends, so it does not read one.
    c.Misuse("PlaySoundW from memory that is not a live heap block (freed, or not from LocalAlloc)");
    c.SetError(ERROR_INVALID_PARAMETER);
    return c.Return<BOOL>(FALSE, false);
  }
  c.Arg("bytes", block->size);
  if (c.Injected() || !d.sound.PlayFromMemory(pszSound, block->size)) return c.Return<BOOL>(FALSE, false);
  if ((fdwSound & SND_ASYNC) == 0) {
    d.kernel.Wait(nullptr, ParseWav(reinterpret_cast<const std::uint8_t*>(pszSound), block->size).length,
                  "PlaySoundW plays the sound to its end");
    c.Set("t_end_us", d.kernel.Now());
  }
  return c.Return<BOOL>(TRUE, true);
}
