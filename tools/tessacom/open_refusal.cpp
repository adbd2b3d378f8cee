#include "open_refusal.h"

#include <cstdio>
#include <optional>
#include <strings.h>

#include "port/port_record.h"
#include "endpoint.h"
#include "host/net/udp_transport.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "wire.h"

namespace tessacom {
namespace {

// The driver waits this long after queueing an open's OPEN before it first looks for the reply:
// an open that took less was refused without asking the remote.
constexpr double kLeastHandshakeSeconds = 0.05;

std::string DeviceNameOf(const PortRecord& record) {
  std::string name;
  for (USHORT i = 0; i < record.DeviceName.Length / 2 && record.DeviceName.Buffer; i++) {
    name.push_back(static_cast<char>(record.DeviceName.Buffer[i]));
  }
  return name;
}

// The port record of `name`: its COM name (with or without "\\.\") or its device name.
const PortRecord* PortNamed(const std::string& name) {
  const std::string bare = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
  PDRIVER_OBJECT object = host::session::LoadedDriver();
  for (PDEVICE_OBJECT device = object ? object->DeviceObject : nullptr; device; device = device->NextDevice) {
    const auto* record = static_cast<const PortRecord*>(device->DeviceExtension);
    const std::string com = "COM" + std::to_string(record->ComNumber);
    if ((record->ComNameCreated && strcasecmp(com.c_str(), bare.c_str()) == 0) ||
        strcasecmp(DeviceNameOf(*record).c_str(), bare.c_str()) == 0) {
      return record;
    }
  }
  return nullptr;
}

// "5 s", "40 ms": whole units, so that repeated refusals read alike.
std::string Duration(double seconds) {
  char text[32];
  if (seconds >= 1) {
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  } else {
    std::snprintf(text, sizeof text, "%.0f ms", seconds * 1000);
  }
  return text;
}

}  // namespace

double DriverClockSeconds() { return static_cast<double>(host::session::SystemTime()) / 1e7; }

std::string OpenRefusalText(const DriverBinding& driver, const std::string& name, NTSTATUS status,
                            double waitedSeconds) {
  const PortRecord* record = PortNamed(name);
  if (record == nullptr) return "";
  if (status == STATUS_ACCESS_DENIED) {
    return "another handle of this host holds the port (a COM port is open to one handle at a time)";
  }
  if (status != STATUS_FILES_OPEN) return "";
  const PortTableEntry& entry = driver.PortTable[record->PortIndex];
  const ULONG address = ReadShared(entry.RemoteAddress);
  const std::string n = std::to_string(record->PortIndex + 1);
  if (address == 0) {
    return "the port has no remote (\"dAddress" + n + "\" is 0): the driver refuses every open of it";
  }
  const std::string remote = devserver::AddressToString(address) + " channel " +
                             std::to_string(static_cast<ULONG>(ReadShared(entry.RemoteChannel)) + 1);
  if (waitedSeconds < kLeastHandshakeSeconds) {
    return "refused at once, without asking " + remote +
           ": a reply that came after an earlier open gave up left the port's link open, and opens "
           "are refused until the remote closes it or reports it down";
  }
  const std::string waited = "the open waited " + Duration(waitedSeconds);
  if (host::net::LoopbackGuard() && address >> 24 != 127) {
    return "nothing was sent to " + remote + ": the loopback guard (--loopback-only) keeps the "
           "link within 127.0.0.0/8; " + waited + " for a reply that could not come";
  }
  return remote + " did not answer the open: no reply from its UDP port " +
         std::to_string(host::net::WirePort(devserver::kLinkPort)) + "; " + waited + " for it";
}

}  // namespace tessacom
