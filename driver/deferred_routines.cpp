// The routines bound to every port's deferred calls at device creation.
#include "link/chunk_in_flight.h"
#include "serial/serial_requests.h"

const PortDeferredRoutines PortDeferredRoutineTable = {
    WriteDpc,                // WriteDpc
    ReadDataDpc,             // ReadDataDpc
    ReadTotalTimeoutDpc,     // ReadTotalTimeoutDpc
    ReadIntervalTimeoutDpc,  // ReadIntervalTimeoutDpc
    WriteTimeoutDpc,         // WriteTimeoutDpc
    CompleteWait,            // CompleteWaitDpc
    SendImmediate,           // ImmediateSendDpc
    ImmediateTimeout,        // ImmediateTimeoutDpc
    AckTimeoutDpc,           // AckTimeoutDpc
};
