// Loopback addresses of a test's own, so that suites run side by side under CTest without
// sharing an (address, port): 127.x.y.z with x.y from the process id and z from a counter.
#pragma once

#include <cstdint>

namespace testsupport {

// A fresh address in 127.0.0.0/8, host order (first octet most significant); never 127.0.0.x.
uint32_t UniqueLoopbackAddress();

}  // namespace testsupport
