// Private to tools/comm: one device-control request issued the way the comm calls issue them
// (synchronously, buffered), with its status turned into the call's result and last error.
#pragma once

#include "comm.h"
#include "host/ddk/ntddser.h"

namespace comm::detail {

// TRUE when the driver completed the request with a success status; otherwise FALSE with
// the status's error code as the last error. `returned` gets the information count.
BOOL Control(Port& port, ULONG code, const void* input, ULONG inputLength, void* output,
             ULONG outputLength, ULONG_PTR* returned = nullptr);

inline BOOL ControlNone(Port& port, ULONG code) { return Control(port, code, nullptr, 0, nullptr, 0); }

template <typename T>
BOOL ControlIn(Port& port, ULONG code, const T& input) {
  return Control(port, code, &input, sizeof(T), nullptr, 0);
}

template <typename T>
BOOL ControlOut(Port& port, ULONG code, T& output) {
  return Control(port, code, nullptr, 0, &output, sizeof(T));
}

// The result of a finished request as the calls report it.
BOOL Finish(const host::io::Result& result, DWORD* done);

}  // namespace comm::detail
