// The request classes: for each, the port-record fields of its slot, queue and timers, and its
// start, get-next and cancel routines. The core (request_queue.cpp) reaches a class only
// through its row, so a class's routines are bound here and nowhere else.
#include "serial/serial_requests.h"

const RequestClass ReadClass = {
    &PortRecord::CurrentReadIrp, &PortRecord::ReadQueue,
    &PortRecord::ReadIntervalTimer, &PortRecord::ReadTotalTimer,
    StartRead, GetNextRequest, CancelCurrentRead,
};

// Writes and flushes: a flush waits in the queue behind the writes before it.
const RequestClass WriteClass = {
    &PortRecord::CurrentWriteIrp, &PortRecord::WriteQueue,
    nullptr, &PortRecord::WriteTotalTimer,
    StartWrite, GetNextWrite, CancelCurrentWrite,
};

// Set-wait-mask and wait-on-mask requests; a wait that is accepted leaves this class for the
// wait class.
const RequestClass MaskClass = {
    &PortRecord::CurrentMaskIrp, &PortRecord::MaskQueue, nullptr, nullptr,
    StartMask, GetNextRequest, NULL,
};

const RequestClass PurgeClass = {
    &PortRecord::CurrentPurgeIrp, &PortRecord::PurgeQueue, nullptr, nullptr,
    StartPurge, GetNextRequest, NULL,
};

// The pending wait-on-mask: no queue, and completed directly when it ends.
const RequestClass WaitClass = {
    &PortRecord::CurrentWaitIrp, nullptr, nullptr, nullptr,
    NULL, NULL, CancelWait,
};

// The immediate character: no queue (a second request is refused while one is current) and no
// successor; its get-next routine only ends it.
const RequestClass ImmediateClass = {
    &PortRecord::CurrentImmediateIrp, nullptr, nullptr, &PortRecord::ImmediateTotalTimer,
    NULL, FinishImmediate, CancelImmediate,
};
