// The comm layer: the calls a Windows program makes on a COM port, over the host's client API.
// Each call issues the serial device-control requests (or the read, write and flush requests)
// that the platform's own calls issue, in the same order, and reports a refusal by the driver
// as the platform does: FALSE, with the error code of the refusing status left in
// GetLastError(). Calls are made from passive level, as an application's thread makes them;
// one port may be used from several threads at once, as a handle may.
#pragma once

#include <string_view>

#include "comm_types.h"
#include "host/io/client.h"
#include "last_error.h"

namespace comm {

// An open COM port: the handle every call takes.
using Port = host::io::File;

// An overlapped request in flight: what ReadFile, WriteFile and WaitCommEvent leave behind when
// they return FALSE with ERROR_IO_PENDING. It is the request itself (there is no event to wait
// on); the caller's buffer must stay valid until GetOverlappedResult has seen it complete.
// Destroying it cancels the request and waits for it.
struct Overlapped {
  host::io::AsyncRequest request;
};

// "COM3", "\\.\COM3" or a device name. On failure the port is not open and the last error
// tells why (ERROR_ACCESS_DENIED while another handle holds the exclusive port).
Port OpenPort(std::string_view name);
// Cleanup and close: requests the driver still holds are cancelled by its cleanup.
BOOL ClosePort(Port& port);

BOOL GetCommState(Port& port, DCB& dcb);
BOOL SetCommState(Port& port, const DCB& dcb);
BOOL GetCommTimeouts(Port& port, COMMTIMEOUTS& timeouts);
BOOL SetCommTimeouts(Port& port, const COMMTIMEOUTS& timeouts);
BOOL SetupComm(Port& port, DWORD inQueue, DWORD outQueue);
BOOL GetCommProperties(Port& port, COMMPROP& properties);

BOOL SetCommMask(Port& port, DWORD mask);
BOOL GetCommMask(Port& port, DWORD& mask);
// Blocking without `overlapped`; with it, `mask` is written when the wait completes.
BOOL WaitCommEvent(Port& port, DWORD& mask, Overlapped* overlapped);

// Either pointer may be null.
BOOL ClearCommError(Port& port, DWORD* errors, COMSTAT* status);
BOOL GetCommModemStatus(Port& port, DWORD& modemStatus);
BOOL EscapeCommFunction(Port& port, DWORD function);
BOOL SetCommBreak(Port& port);
BOOL ClearCommBreak(Port& port);
BOOL TransmitCommChar(Port& port, char c);
BOOL PurgeComm(Port& port, DWORD flags);

// Blocking without `overlapped` (`done` then gets the bytes moved; a read ended by its
// timeout succeeds with what it holds); with it, FALSE and ERROR_IO_PENDING unless the driver
// finished the request at once.
BOOL ReadFile(Port& port, void* buffer, DWORD length, DWORD* done, Overlapped* overlapped);
BOOL WriteFile(Port& port, const void* data, DWORD length, DWORD* done, Overlapped* overlapped);
BOOL FlushFileBuffers(Port& port);
// The outcome of an overlapped request: FALSE with ERROR_IO_INCOMPLETE while it is in flight
// and `wait` is FALSE; otherwise its bytes and, for a refusal, its error.
BOOL GetOverlappedResult(Port& port, Overlapped& overlapped, DWORD& transferred, BOOL wait);
// Cancels one overlapped request; FALSE with ERROR_NOT_FOUND when it is no longer in flight.
BOOL CancelIoEx(Port& port, Overlapped& overlapped);

}  // namespace comm
