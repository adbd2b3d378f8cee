// The system's device counts (IoGetConfigurationInformation): one host-wide record, every
// count 0 when the host starts. Drivers may adjust SerialCount as the platform allows.
#include "host/io/io_manager.h"
#include "kernel.h"

namespace host::io {
namespace {

CONFIGURATION_INFORMATION configuration{};

}  // namespace

void ResetConfiguration() { configuration = CONFIGURATION_INFORMATION{}; }

}  // namespace host::io

extern "C" {

PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(VOID) {
  return &host::io::configuration;
}

}  // extern "C"
