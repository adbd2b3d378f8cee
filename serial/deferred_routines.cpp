// The routines bound to every port's deferred calls at device creation. The write-timeout call
// does nothing by design; the calls of the read, write, acknowledgement and immediate-character
// paths have nothing to do until those paths bind their routines here.
#include "serial/serial_requests.h"

static VOID NTAPI IgnoreDeferredCall(PKDPC, PVOID, PVOID, PVOID) {}

const PortDeferredRoutines PortDeferredRoutineTable = {
    IgnoreDeferredCall,  // WriteDpc
    IgnoreDeferredCall,  // ReadDataDpc
    IgnoreDeferredCall,  // ReadTotalTimeoutDpc
    IgnoreDeferredCall,  // ReadIntervalTimeoutDpc
    IgnoreDeferredCall,  // WriteTimeoutDpc
    CompleteWait,        // CompleteWaitDpc
    IgnoreDeferredCall,  // ImmediateSendDpc
    IgnoreDeferredCall,  // ImmediateTimeoutDpc
    IgnoreDeferredCall,  // AckTimeoutDpc
};
