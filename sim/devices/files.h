// Files on the handset, as the scenario lists them: contents given inline, read from a host file
// beside the scenario, or generated as a sound of a given length, with knobs that make opening,
// sizing or reading fail. Device names ("SPI5:") are not files; sim/devices.cpp handles those.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/devices/call.h"
#include "sim/devices/part_declarations.h"
#include "sim/scenario/scenario.h"

namespace sim {

struct SimFile {
  std::u16string path;
  std::vector<std::uint8_t> contents;
  bool open_fails = false;
  std::uint32_t open_error = ERROR_ACCESS_DENIED;
  bool size_fails = false;
  std::uint32_t short_read_bytes = 0;  // reading ends this many bytes before the size says
  int opens = 0;
};

// What a file handle refers to.
struct OpenFile {
  SimFile* file = nullptr;
  std::size_t position = 0;
};

class FileSystem {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  // Reads [[file]] entries: path, and one of contents (text), host (a file named relative to
  // the scenario) or wav_ms (a generated sound); open_fails with open_error, size_fails,
  // short_read_bytes. Throws ScenarioError naming the key.
  void Configure(const Section& root);
  // The file at `path` (letter case ignored), or null.
  SimFile* Find(std::u16string_view path);

 private:
  std::deque<SimFile> files_;
};

// Opens a file that is no device for CreateFileW; sets the last error and returns
// INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenSimFile(Call& c, const std::u16string& name, DWORD access, DWORD disposition);

}  // namespace sim
