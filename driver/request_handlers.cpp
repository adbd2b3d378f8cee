// The request handlers load installs in the driver object, by major function. Every other
// major function keeps the platform's default handler.
#include "serial/serial_requests.h"

const SerialHandler SerialHandlerTable[] = {
    {IRP_MJ_CREATE, DispatchCreate},
    {IRP_MJ_CLOSE, DispatchClose},
    {IRP_MJ_CLEANUP, DispatchCleanup},
    {IRP_MJ_READ, DispatchRead},
    {IRP_MJ_WRITE, DispatchWrite},
    {IRP_MJ_FLUSH_BUFFERS, DispatchFlush},
    {IRP_MJ_QUERY_INFORMATION, DispatchQueryInformation},
    {IRP_MJ_SET_INFORMATION, DispatchSetInformation},
    {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
};

const ULONG SerialHandlerCount = sizeof(SerialHandlerTable) / sizeof(SerialHandlerTable[0]);
