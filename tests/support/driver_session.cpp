#include "support/driver_session.h"

#include "host/io/io_manager.h"
#include "host/io/system_error_log.h"
#include "host/net/udp_transport.h"
#include "host/ob/object_names.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "support/device_servers.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"

namespace testsupport {

DriverSession::DriverSession(bool live, double speed) {
  if (live) {
    host::session::StartLive(host::session::LiveOptions{.speed = speed});
  } else {
    host::session::StartManual();
  }
  host::registry::Reset();
  host::registry::CreateKey(kServiceKey);
  host::io::Clear();
  host::net::Install();
  driverAddress_ = UniqueLoopbackAddress();
  host::net::SetAnyAddress(driverAddress_);
  host::net::ResetCounters();
}

DriverSession::~DriverSession() {
  Unload();
  for (auto& server : servers_) server->Stop();
  host::net::Uninstall();
  host::net::SetAnyAddress(0);
  host::ob::RemoveAllLinks();
  host::session::Shutdown();
}

void DriverSession::SetValue(std::string_view name, uint32_t value) {
  host::registry::SetDword(kServiceKey, name, value);
}

devserver::DeviceServer& DriverSession::AddServer(devserver::ServerOptions options) {
  servers_.push_back(StartDeviceServer(driverAddress_, std::move(options)));
  return *servers_.back();
}

void DriverSession::Bind(int n, const devserver::DeviceServer& server, uint8_t channel) {
  SetValue("StartNum" + std::to_string(n), channel + 1u);
  SetValue("dAddress" + std::to_string(n), server.Local().address);
}

devserver::DeviceServer& DriverSession::AddOnePort(devserver::BackendKind backend, devserver::ServerOptions options) {
  options.channelBackends[0] = backend;
  devserver::DeviceServer& server = AddServer(std::move(options));
  SetValue("MaxPort", 1);
  Bind(1, server, 0);
  return server;
}

NTSTATUS DriverSession::Load() {
  attempted_ = true;
  NTSTATUS status = host::session::LoadDriver(Driver().DriverEntry, host::session::kDefaultRegistryPath,
                                     {Driver().ImageStart, Driver().ImageSize});
  loaded_ = NT_SUCCESS(status);
  return status;
}

void DriverSession::Unload() {
  if (loaded_) {
    host::session::UnloadDriver();
  } else if (attempted_) {
    host::session::ReleaseFailedDriver();
  }
  loaded_ = false;
  attempted_ = false;
}

std::string DriverSession::DeviceMapValue(std::string_view valueName, size_t* bytes) {
  auto value = host::registry::GetValue(kSerialComm, valueName);
  if (!value) return "";
  if (bytes) *bytes = value->data.size();
  std::string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(static_cast<char>(c));
  }
  return text;
}

std::string DriverSession::LinkTargetOf(std::string_view comName) {
  return host::ob::LinkTarget("\\DosDevices\\" + std::string(comName)).value_or("");
}

int DriverSession::DeviceCount() {
  PDRIVER_OBJECT driver = host::session::LoadedDriver();
  int count = 0;
  for (PDEVICE_OBJECT d = driver ? driver->DeviceObject : nullptr; d; d = d->NextDevice) count++;
  return count;
}

}  // namespace testsupport
