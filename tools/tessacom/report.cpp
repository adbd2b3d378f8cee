#include "report.h"

#include <iomanip>
#include <ostream>
#include <set>

#include "command_line.h"
#include "configuration_notes.h"
#include "port/port_record.h"
#include "endpoint.h"
#include "host/io/system_error_log.h"
#include "host/ob/object_names.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/unload_checks.h"
#include "nt_names.h"

namespace tessacom {

static std::string Utf16Data(const std::vector<uint8_t>& data) {
  std::string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return text;
}

// "COM<n>", or why the port has no COM name.
static std::string ComName(const PortRecord& record) {
  const std::string name = "COM" + std::to_string(record.ComNumber);
  if (record.ComNameCreated) return name;
  if (record.ComNumber > 9999) {
    return "no COM name (its COM number " + std::to_string(record.ComNumber) +
           " is outside 0 to 9999, the numbers a COM name can carry)";
  }
  if (record.DeviceName.Buffer == nullptr) return "no COM name (no memory for its device name)";
  return "no COM name (" + name + " is taken)";
}

// The devices and their remotes; whether any port has a COM name.
static bool PrintDevices(std::ostream& out, const DriverBinding& driver) {
  const PortTableEntry* table = driver.PortTable;
  PDRIVER_OBJECT object = host::session::LoadedDriver();
  out << "devices (the driver's list, newest first):\n";
  int count = 0;
  bool named = false;
  for (PDEVICE_OBJECT device = object ? object->DeviceObject : nullptr; device; device = device->NextDevice) {
    auto* record = static_cast<PortRecord*>(device->DeviceExtension);
    out << "  port " << record->PortIndex << ": " << ComName(*record) << ", remote "
        << devserver::AddressToString(table[record->PortIndex].RemoteAddress) << " channel "
        << table[record->PortIndex].RemoteChannel + 1 << " (wire "
        << (table[record->PortIndex].RemoteChannel & 0xFF) << ")\n";
    count++;
    named = named || record->ComNameCreated;
  }
  if (count == 0) out << "  none\n";
  return named;
}

// The load's status, with what it means when the driver made no port.
static void PrintLoadStatus(std::ostream& out, NTSTATUS status) {
  out << "load: " << StatusName(status) << std::hex << " (0x" << std::setw(8) << std::setfill('0')
      << static_cast<uint32_t>(status) << ")" << std::dec << std::setfill(' ');
  if (status == STATUS_SERIAL_NO_DEVICE_INITED) {
    out << ": the driver made no port, and a driver without a port does not stay loaded";
  }
  out << "\n";
}

static void PrintNames(std::ostream& out) {
  out << "COM links:\n";
  int links = 0;
  for (const auto& entry : host::ob::List()) {
    if (entry.kind != host::ob::Kind::SymbolicLink) continue;
    out << "  " << entry.name << " -> " << entry.target << "\n";
    links++;
  }
  if (links == 0) out << "  none\n";

  std::string serialComm = std::string(host::registry::kDeviceMap) + "\\SERIALCOMM";
  out << "SERIALCOMM values:\n";
  auto names = host::registry::ValueNames(serialComm);
  for (const auto& name : names) {
    auto value = host::registry::GetValue(serialComm, name);
    out << "  " << name << " = " << Utf16Data(value->data) << " (REG_SZ, " << value->data.size()
        << " bytes)\n";
  }
  if (names.empty()) out << "  none\n";
}

static void PrintReceivers(std::ostream& out, const DriverBinding& driver) {
  std::set<uint32_t> addresses;
  for (LONG i = 0; i < driver.MaxPort && i < MAX_PORTS; i++) {
    ULONG address = ReadShared(driver.PortTable[i].RemoteAddress);
    if (address != 0) addresses.insert(address);
  }
  out << "receiver threads: " << driver.ReceiverCount;
  const char* separator = " (";
  for (uint32_t address : addresses) {
    out << separator << devserver::AddressToString(address);
    separator = ", ";
  }
  out << (addresses.empty() ? "" : ")") << "\n";
}

void PrintLoadReport(std::ostream& out, NTSTATUS status, const DriverBinding& driver) {
  PrintLoadStatus(out, status);
  if (NT_SUCCESS(status)) {
    if (!PrintDevices(out, driver)) {
      PrintNotes(out, {"no port has a COM name (each port's reason is above), so no program can open one"});
    }
    PrintNames(out);
    PrintReceivers(out, driver);
    PrintNotes(out, RemoteNotes(driver));
  }
  out << "error log:\n";
  std::string entries = host::io::Listing();
  out << (entries.empty() ? "  none\n" : entries);
}

void PrintLeftovers(std::ostream& out) {
  host::session::LeftoverSummary summary = host::session::SummarizeLeftovers();
  out << "after unload:\n" << host::session::FormatLeftovers(summary);
  out << (summary.Clean() ? "nothing outstanding\n" : "LEFTOVERS: the driver did not release everything\n");
}

}  // namespace tessacom
