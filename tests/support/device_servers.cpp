#include "support/device_servers.h"

#include <stdexcept>

#include "link/link_packet.h"
#include "support/loopback_address.h"

namespace testsupport {

std::unique_ptr<devserver::DeviceServer> StartDeviceServer(uint32_t driverAddress,
                                                           devserver::ServerOptions options) {
  options.bind = devserver::Endpoint{UniqueLoopbackAddress(), LINK_PORT};
  options.driver = devserver::Endpoint{driverAddress, LINK_PORT};
  auto server = std::make_unique<devserver::DeviceServer>(options);
  std::string error;
  if (!server->Start(&error)) throw std::runtime_error("device server: " + error);
  return server;
}

}  // namespace testsupport
