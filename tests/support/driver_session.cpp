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
  live ? host::StartLive({.speed = speed}) : host::StartManual();
  host::registry::Reset();
  host::registry::CreateKey(kServiceKey);
  host::errorlog::Clear();
  host::udp::Install();
  host::udp::SetAnyAddress(driverAddress_);
  host::udp::ResetCounters();
}

DriverSession::~DriverSession() {
  Unload();
  for (auto& server : servers_) server->Stop();
  host::udp::Uninstall();
  host::udp::SetAnyAddress(0);
  host::names::RemoveAllLinks();
  host::Shutdown();
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
  NTSTATUS status = host::LoadDriver(Driver().DriverEntry, host::kDefaultRegistryPath,
                                     {Driver().ImageStart, Driver().ImageSize});
  loaded_ = NT_SUCCESS(status);
  return status;
}

void DriverSession::Unload() {
  if (std::exchange(loaded_, false)) {
    host::UnloadDriver();
  } else if (attempted_) {
    host::ReleaseFailedDriver();
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
  return host::names::LinkTarget("\\DosDevices\\" + std::string(comName)).value_or("");
}

}  // namespace testsupport
