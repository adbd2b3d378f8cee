// The system error log as the host keeps it: every entry a driver writes
// (IoAllocateErrorLogEntry / IoWriteErrorLogEntry) is copied here for tests and programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/ddk/io.h"

namespace host::io {

struct Entry {
  std::vector<uint8_t> bytes;  // the whole packet as written, EntrySize bytes
  const void* loggedAgainst;   // the driver or device object given at allocation
  PDRIVER_OBJECT driver;       // the driver that object belongs to (null if unknown)
  // The packet header of the copy.
  IO_ERROR_LOG_PACKET Packet() const;
  size_t Size() const { return bytes.size(); }
};

std::vector<Entry> Entries();
void Clear();
// One line per entry: ErrorCode, UniqueErrorValue, FinalStatus, size, dump and string counts.
std::string Listing();

// Entries allocated and not yet written.
size_t UnwrittenCount();
// Releases the unwritten entries allocated against the driver or its devices (driver unload).
size_t ReleaseUnwrittenOf(PDRIVER_OBJECT driver);

}  // namespace host::io
