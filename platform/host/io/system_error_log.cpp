// The error log (error_log.h): IoAllocateErrorLogEntry hands out zeroed packets from the
// host's own memory, IoWriteErrorLogEntry copies one into the log and releases it. Any level
// up to DISPATCH_LEVEL; one mutex over the log and the unwritten entries.
#include "host/io/system_error_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "kernel.h"

namespace host::io {
namespace {

struct Unwritten {
  size_t size;
  const void* object;
  PDRIVER_OBJECT driver;  // owner of the object when the entry was allocated
};

std::mutex logLock;
std::vector<Entry>& Log() {
  static std::vector<Entry> log;
  return log;
}
// Never destroyed: the blocks it holds stay reachable until the process ends.
std::unordered_map<void*, Unwritten>& Allocated() {
  static auto* allocated = new std::unordered_map<void*, Unwritten>;
  return *allocated;
}

}  // namespace

IO_ERROR_LOG_PACKET Entry::Packet() const {
  IO_ERROR_LOG_PACKET packet{};
  std::memcpy(&packet, bytes.data(), bytes.size() < sizeof(packet) ? bytes.size() : sizeof(packet));
  return packet;
}

std::vector<Entry> Entries() {
  std::lock_guard lock(logLock);
  return Log();
}

void Clear() {
  std::lock_guard lock(logLock);
  Log().clear();
}

std::string Listing() {
  std::string out;
  char line[256];
  for (const auto& entry : Entries()) {
    IO_ERROR_LOG_PACKET p = entry.Packet();
    std::snprintf(line, sizeof(line),
                  "ErrorCode 0x%08X UniqueErrorValue %u FinalStatus 0x%08X size %zu "
                  "MajorFunction 0x%02X RetryCount %u DumpDataSize %u NumberOfStrings %u "
                  "SequenceNumber %u\n",
                  static_cast<unsigned>(p.ErrorCode), p.UniqueErrorValue,
                  static_cast<unsigned>(p.FinalStatus), entry.Size(), p.MajorFunctionCode,
                  p.RetryCount, p.DumpDataSize, p.NumberOfStrings, p.SequenceNumber);
    out += line;
  }
  return out;
}

size_t UnwrittenCount() {
  std::lock_guard lock(logLock);
  return Allocated().size();
}

size_t ReleaseUnwrittenOf(PDRIVER_OBJECT driver) {
  std::lock_guard lock(logLock);
  size_t released = 0;
  for (auto it = Allocated().begin(); it != Allocated().end();) {
    if (it->second.driver == driver || it->second.object == driver) {
      std::free(it->first);
      it = Allocated().erase(it);
      ++released;
    } else {
      ++it;
    }
  }
  return released;
}

}  // namespace host::io

extern "C" {

// A zeroed packet of EntrySize bytes logged against a driver or device object; null when the
// size is below the packet header or above ERROR_LOG_MAXIMUM_SIZE.
PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoAllocateErrorLogEntry");
  if (IoObject == nullptr || EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
    return nullptr;
  }
  PDRIVER_OBJECT driver = host::io::detail::OwningDriver(IoObject);
  void* entry = std::calloc(1, EntrySize);
  std::lock_guard lock(host::io::logLock);
  host::io::Allocated().emplace(entry, host::io::Unwritten{EntrySize, IoObject, driver});
  return entry;
}

// Keeps a copy of the entry in the log and releases it.
VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoWriteErrorLogEntry");
  host::io::Unwritten unwritten;
  {
    std::lock_guard lock(host::io::logLock);
    auto it = host::io::Allocated().find(ElEntry);
    if (it == host::io::Allocated().end()) {
      host::verifier::Stop("ERROR_LOG_ENTRY_NOT_ALLOCATED", "IoWriteErrorLogEntry",
                           "%p is not an unwritten error-log entry (written twice?)", ElEntry);
    }
    unwritten = it->second;
    host::io::Allocated().erase(it);
  }
  host::io::Entry entry;
  const auto* bytes = static_cast<const uint8_t*>(ElEntry);
  entry.bytes.assign(bytes, bytes + unwritten.size);
  entry.loggedAgainst = unwritten.object;
  entry.driver = unwritten.driver;
  std::free(ElEntry);
  std::lock_guard lock(host::io::logLock);
  host::io::Log().push_back(std::move(entry));
}

}  // extern "C"
