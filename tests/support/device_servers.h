// Test support: device server emulators on loopback addresses of the test's own.
#pragma once

#include <cstdint>
#include <memory>

#include "devserver.h"

namespace testsupport {

// Starts an emulator on a fresh loopback address, port 519, sending to the driver at
// `driverAddress` until it hears from it; throws when it cannot start.
std::unique_ptr<devserver::DeviceServer> StartDeviceServer(uint32_t driverAddress,
                                                           devserver::ServerOptions options = {});

}  // namespace testsupport
