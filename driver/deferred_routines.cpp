// The routines bound to every port's deferred calls at device creation: each routine bears the
// name of the record's KDPC it is bound to.
#include "link/chunk_in_flight.h"
#include "serial/serial_requests.h"

const PortDeferredRoutines PortDeferredRoutineTable = {
    WriteDpc,
    ReadDataDpc,
    ReadTotalTimeoutDpc,
    ReadIntervalTimeoutDpc,
    WriteTimeoutDpc,
    CompleteWaitDpc,
    ImmediateSendDpc,
    ImmediateTimeoutDpc,
    AckTimeoutDpc,
};
