#include "sim/kernel/carrier.h"

namespace sim {
namespace {
// Set by the carriers on every host context a simulated thread runs on: once for a host thread,
// at every switch for fibers.
thread_local ThreadId tls_self = kNoThread;
}  // namespace

ThreadId Carrier::Self() { return tls_self; }
void Carrier::SetSelf(ThreadId id) { tls_self = id; }

}  // namespace sim
