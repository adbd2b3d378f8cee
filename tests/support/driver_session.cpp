#include "support/driver_session.h"

#include <utility>

#include "host/io/system_error_log.h"
#include "host/net/udp_transport.h"
#include "host/ob/object_names.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "support/device_servers.h"
#include "support/loopback_address.h"

namespace testsupport {

DriverSession::DriverSession(bool live, double speed) : driverAddress_(UniqueLoopbackAddress()) {
  live ? host::session::StartLive({.speed = speed}) : host::session::StartManual();
  host::registry::Reset();
  host::registry::CreateKey(kServiceKey);
  host::io::Clear();
  host::net::Install();
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
  if (std::exchange(loaded_, false)) {
    host::session::UnloadDriver();
  } else if (attempted_) {
    host::session::ReleaseFailedDriver();
  }
  attempted_ = false;
}

std::string DriverSession::DeviceMapValue(std::string_view valueName, size_t* bytes) {
  auto value = host::registry::GetValue(kSerialComm, valueName);
  if (value && bytes) *bytes = value->data.size();
  std::string text;  // UTF-16LE up to its zero, of ASCII characters
  for (size_t i = 0; value && i + 1 < value->data.size() && (value->data[i] | value->data[i + 1]); i += 2) {
    text.push_back(static_cast<char>(value->data[i]));
  }
  return text;
}

std::string DriverSession::LinkTargetOf(std::string_view comName) {
  return host::ob::LinkTarget("\\DosDevices\\" + std::string(comName)).value_or("");
}

}  // namespace testsupport
