// The deferred routines bound to every port at creation. The write-timeout call does nothing
// by design; the others belong to the serial request paths, which bind their own routines
// here as they are built. Until then a port's deferred calls have nothing to do.
#include "driver/driver_entry.h"

static VOID NTAPI IgnoreDeferredCall(PKDPC, PVOID, PVOID, PVOID) {}

const PortDeferredRoutines PortDeferredRoutineTable = {
    IgnoreDeferredCall,  // WriteDpc
    IgnoreDeferredCall,  // ReadDataDpc
    IgnoreDeferredCall,  // ReadTotalTimeoutDpc
    IgnoreDeferredCall,  // ReadIntervalTimeoutDpc
    IgnoreDeferredCall,  // WriteTimeoutDpc
    IgnoreDeferredCall,  // CompleteWaitDpc
    IgnoreDeferredCall,  // ImmediateSendDpc
    IgnoreDeferredCall,  // ImmediateTimeoutDpc
    IgnoreDeferredCall,  // AckTimeoutDpc
};
