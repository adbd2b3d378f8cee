// The UDP transport's settings and counters for tests and programs.
#include "host/net/udp_core.h"

namespace host::net::detail {

Counters CurrentCounters(const Core& core) {
  Counters c = core.counts;
  c.pendingReceives = core.pendingIndex.size();
  c.addressObjects = 0;
  for (const AddressObject* object : core.objects) c.addressObjects += object->open ? 1 : 0;
  c.sockets = core.sockets.size();
  return c;
}

}  // namespace host::net::detail

namespace host::net {

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

uint16_t WirePort(uint16_t driverPort) {
  std::lock_guard hold(TheCore().lock);
  return detail::ToWirePort(TheCore(), driverPort);
}

void SetSourceQueueBytes(size_t bytes) {
  std::lock_guard hold(TheCore().lock);
  TheCore().sourceQueueBytes = bytes;
}

Counters GetCounters() {
  std::lock_guard hold(TheCore().lock);
  return detail::CurrentCounters(TheCore());
}

size_t DroppedFrom(uint32_t address, uint16_t port) {
  std::lock_guard hold(TheCore().lock);
  const auto found = TheCore().droppedBySource.find(IpEndpoint{address, port});
  return found == TheCore().droppedBySource.end() ? 0 : found->second;
}

std::map<uint32_t, RemoteCounters> CountersByRemote() {
  std::lock_guard hold(TheCore().lock);
  return TheCore().byRemote;
}

void ResetCounters() {
  std::lock_guard hold(TheCore().lock);
  TheCore().counts = Counters{};
  TheCore().droppedBySource.clear();
  TheCore().byRemote.clear();
  TheCore().lastBindRefusal.reset();
}

std::optional<BindRefusal> LastBindRefusal() {
  std::lock_guard hold(TheCore().lock);
  return TheCore().lastBindRefusal;
}

bool WaitForCounters(const std::function<bool(const Counters&)>& ready,
                     std::chrono::milliseconds limit) {
  detail::Core& core = TheCore();
  std::unique_lock hold(core.lock);
  return core.changed.wait_for(hold, limit, [&] { return ready(detail::CurrentCounters(core)); });
}

}  // namespace host::net
