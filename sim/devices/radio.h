// The radio interface layer. After the power-off command (device-specific request 6000) the
// modem reports its new state on the radio's own thread, after a delay the scenario sets, with a
// payload the scenario can spoil (another state, the field mask clear, short or missing).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/devices/part_declarations.h"
#include "sim/devices/sync.h"
#include "sim/kernel/eventlog.h"
#include "sim/kernel/kernel.h"
#include "sim/scenario/scenario.h"

namespace sim {

class Radio {
 public:
  // The operations this part can fail and its device knobs, for the sweep, the swarm and --fail.
  static const PartDeclaration& Declared();

  static constexpr std::uint32_t kPowerOffCommand = 6000;
  static constexpr std::uint32_t kNotifyRadioState = 0x00800001;
  static constexpr std::uint32_t kStateOff = 1;

  // Reads [radio]: confirm = "off" | "never" | "other_state" | "mask_clear" | "short_payload" |
  // "no_payload", confirm_after_ms, init_result, command_result, and [[radio.notify]] extra
  // notifications sent after the command.
  void Configure(const Section& root);
  // The confirm modes, the one that confirms first.
  static const std::vector<std::string>& ConfirmModes();

  struct Instance {
    std::uintptr_t handle = 0;
    void* result_cb = nullptr;
    void* notify_cb = nullptr;
    std::uint32_t classes = 0;
    std::uint32_t param = 0;
    bool open = true;
  };
  struct Notification {
    std::uint32_t code;
    std::vector<std::uint8_t> payload;
    bool null_payload = false;
  };

  // Creates an instance; the radio thread starts with the first one.
  std::uintptr_t Open(void* result_cb, void* notify_cb, std::uint32_t classes, std::uint32_t param);
  Instance* Find(std::uintptr_t handle);
  // The process that opened `handle` ended: its instance hears nothing more.
  void Close(std::uintptr_t handle);
  // The modem received a device-specific request.
  void Command(Instance& inst, const std::vector<std::uint8_t>& bytes);

  std::uint32_t init_result = 0;
  std::uint32_t command_result = 0;
  std::string state = "on";
  int commands = 0;
  int notifications_delivered = 0;
  int deinitialized = 0;
  // Appends this part's members to the summary `out`, an object that has none of them yet.
  void Summarize(Json& out) const;

 private:
  void Queue(Notification n);
  void StartThread();

  std::string confirm_ = "off";
  Micros confirm_after_ = 1000 * kMicrosPerMs;
  Micros confirm_jitter_ = 0;
  std::vector<std::pair<Micros, Notification>> extra_;
  std::deque<Instance> instances_;  // a deque: pointers to them stay valid
  std::deque<Notification> queue_;
  std::shared_ptr<EventObject> queue_event_;
  bool thread_started_ = false;
};

}  // namespace sim
