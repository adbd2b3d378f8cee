// The routines bound to every port's deferred calls at device creation. The calls of the
// immediate-character path have nothing to do until that path binds its routines here.
#include "serial/serial_requests.h"

static VOID NTAPI IgnoreDeferredCall(PKDPC, PVOID, PVOID, PVOID) {}

const PortDeferredRoutines PortDeferredRoutineTable = {
    WriteDpc,                // WriteDpc
    ReadDataDpc,             // ReadDataDpc
    ReadTotalTimeoutDpc,     // ReadTotalTimeoutDpc
    ReadIntervalTimeoutDpc,  // ReadIntervalTimeoutDpc
    WriteTimeoutDpc,         // WriteTimeoutDpc
    CompleteWait,            // CompleteWaitDpc
    IgnoreDeferredCall,      // ImmediateSendDpc
    IgnoreDeferredCall,      // ImmediateTimeoutDpc
    AckTimeoutDpc,           // AckTimeoutDpc
};
