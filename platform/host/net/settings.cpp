// The UDP transport's settings and counters for tests and programs.
#include <algorithm>

#include "host/net/udp_core.h"

namespace host::udp::detail {

Counters CurrentCounters(const Core& core) {
  Counters c = core.counts;
  c.pendingReceives = core.pendingIndex.size();
  c.addressObjects = 0;
  for (const AddressObject* object : core.objects) c.addressObjects += object->open ? 1 : 0;
  c.sockets = core.sockets.size();
  return c;
}

}  // namespace host::udp::detail

namespace host::udp {

using detail::TheCore;

void SetAnyAddress(uint32_t hostOrder) {
  std::lock_guard hold(TheCore().lock);
  TheCore().anyAddress = hostOrder;
}

uint32_t AnyAddress() {
  std::lock_guard hold(TheCore().lock);
  return TheCore().anyAddress;
}

void SetLoopbackGuard(bool on) {
  std::lock_guard hold(TheCore().lock);
  TheCore().guard = on;
}

bool LoopbackGuard() {
  std::lock_guard hold(TheCore().lock);
  return TheCore().guard;
}

void MapPort(uint16_t driverPort, uint16_t hostPort) {
  std::lock_guard hold(TheCore().lock);
  TheCore().portMap[driverPort] = hostPort;
}

void ClearPortMap() {
  std::lock_guard hold(TheCore().lock);
  TheCore().portMap.clear();
}

void SetBacklogLimit(size_t datagrams) {
  std::lock_guard hold(TheCore().lock);
  TheCore().backlogLimit = std::max<size_t>(1, datagrams);
}

Counters GetCounters() {
  std::lock_guard hold(TheCore().lock);
  return detail::CurrentCounters(TheCore());
}

void ResetCounters() {
  std::lock_guard hold(TheCore().lock);
  TheCore().counts = Counters{};
}

bool WaitForCounters(const std::function<bool(const Counters&)>& ready,
                     std::chrono::milliseconds limit) {
  detail::Core& core = TheCore();
  std::unique_lock hold(core.lock);
  return core.changed.wait_for(hold, limit, [&] { return ready(detail::CurrentCounters(core)); });
}

}  // namespace host::udp
