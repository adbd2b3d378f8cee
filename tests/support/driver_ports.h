// Test support: a driver state of N ports without devices, as load would leave it after
// creating the port records: records from non-paged pool with their creation values, the port
// table pointing at them, the send event initialised, and MaxPort set, in the given driver's
// globals (the compiled-in driver's unless told otherwise). Everything is released (nodes still
// queued included) when the object goes.
#pragma once

#include <vector>

#include "driver_binding.h"

namespace testsupport {

class DriverPorts {
 public:
  explicit DriverPorts(int count, LONG startPort = 3,
                       const tessacom::DriverBinding& driver = tessacom::CompiledInDriver());
  ~DriverPorts();
  DriverPorts(const DriverPorts&) = delete;
  DriverPorts& operator=(const DriverPorts&) = delete;

  PortRecord* Record(int index) { return records_[index]; }
  // Attaches every port's rings as an open does and allocates the outbound scratch, as load
  // does; both are released (and the table entries cleared) with the object.
  void AttachLinkBuffers();
  // Opens the link gate of a port as an accepted open reply and the open handler would.
  void OpenLink(int index) { records_[index]->LinkFlags = LINK_OPEN | LINK_CONFIRMED | LINK_PORT_HELD; }
  // True when the send event is signalled; clears it.
  bool TakeSendEvent() { return KeResetEvent(&driver_.SendEvent) != 0; }
  // Frees every node left in the port's control queue and returns how many there were.
  int DrainControlQueue(int index) { return driver_.DiscardControlQueue(index); }

 private:
  const tessacom::DriverBinding& driver_;
  std::vector<PortRecord*> records_;
  std::vector<UCHAR> txStorage_;
  std::vector<UCHAR> rxStorage_;
};

}  // namespace testsupport
