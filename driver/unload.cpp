// Unload: stop the link threads, remove every port with its names, release the memory.
// PASSIVE_LEVEL, after the platform has stopped routing requests to the driver.
#include "driver/driver_entry.h"
#include "driver/port_devices.h"
#include "link/link_threads.h"

VOID NTAPI UnloadDriver(PDRIVER_OBJECT driverObject) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  // The link threads test Unloading after every pass; StopLink wakes them and waits for their
  // end, so no record they might touch is deleted and no buffer they use is released early.
  WriteShared(Unloading, 1);
  StopLink();
  DeletePortDevices(driverObject);
  ReleaseDriverMemory();
}
