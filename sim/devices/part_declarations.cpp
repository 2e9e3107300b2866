#include "sim/devices/part_declarations.h"

#include <set>

#include "sim/devices/drivers.h"
#include "sim/devices/files.h"
#include "sim/devices/gpio.h"
#include "sim/devices/hal.h"
#include "sim/devices/heap.h"
#include "sim/devices/keyboard.h"
#include "sim/devices/leds.h"
#include "sim/devices/libraries.h"
#include "sim/devices/notification_db.h"
#include "sim/devices/power_manager.h"
#include "sim/devices/processes.h"
#include "sim/devices/radio.h"
#include "sim/devices/registry.h"
#include "sim/devices/resources.h"
#include "sim/devices/sound.h"
#include "sim/devices/sync.h"
#include "sim/devices/windows.h"

namespace sim {

namespace {

// Every part that declares something, in the order their knobs are listed and swept (the
// swarm's draws follow this order too, so a part added goes last to keep old worlds).
std::vector<const PartDeclaration*> Parts() {
  return {&Radio::Declared(),        &Drivers::Declared(),        &PowerManager::Declared(), &Gpio::Declared(),
          &Processes::Declared(),    &Leds::Declared(),           &Libraries::Declared(),    &FileSystem::Declared(),
          &Registry::Declared(),     &SyncObjects::Declared(),    &Hal::Declared(),          &Heap::Declared(),
          &Keyboard::Declared(),     &NotificationDb::Declared(), &Resources::Declared(),    &SoundPlayer::Declared(),
          &WindowManager::Declared()};
}

std::vector<std::string> Sorted(std::vector<std::string> PartDeclaration::*member) {
  std::set<std::string> names;
  for (const PartDeclaration* p : Parts()) names.insert((p->*member).begin(), (p->*member).end());
  return {names.begin(), names.end()};
}

}  // namespace

const std::vector<std::string>& FaultSiteOperations() {
  static const std::vector<std::string> kOps = Sorted(&PartDeclaration::fault_sites);
  return kOps;
}

const std::vector<std::string>& GuaranteeBreakingSites() {
  static const std::vector<std::string> kBreakers = Sorted(&PartDeclaration::guarantee_breakers);
  return kBreakers;
}

const std::vector<DeviceKnob>& DeviceKnobs() {
  static const std::vector<DeviceKnob> kKnobs = [] {
    std::vector<DeviceKnob> knobs;
    for (const PartDeclaration* p : Parts()) knobs.insert(knobs.end(), p->knobs.begin(), p->knobs.end());
    return knobs;
  }();
  return kKnobs;
}

}  // namespace sim
