// Unload: stop the link threads, remove every port with its names, release the memory.
// PASSIVE_LEVEL, after the platform has stopped routing requests to the driver.
#include "driver/driver_frame.h"
#include "link/link_threads.h"

VOID NTAPI UnloadDriver(PDRIVER_OBJECT driverObject) {
  WriteShared(Unloading, 1);
  KeStallExecutionProcessor(100);
  KeStallExecutionProcessor(100);
  // The threads must be gone before a record they might touch is deleted or a buffer they
  // use is released.
  StopLink();
  DeletePortDevices(driverObject);
  ReleaseDriverMemory();
}
