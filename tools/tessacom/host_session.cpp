#include "host_session.h"

#include <unistd.h>

#include <ostream>

#include "host/net/udp_transport.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "host/session/unload_checks.h"
#include "report.h"

namespace tessacom {

std::string ServiceKeyPath() { return std::string(host::registry::kServices) + "\\tessacom"; }

uint16_t LinkWirePort(uint16_t fallback) { return geteuid() == 0 ? 519 : fallback; }

HostSession::HostSession(const std::optional<std::string>& image, uint32_t anyAddress,
                         uint16_t unprivilegedPort, double speed)
    : image_(image ? std::make_unique<DriverImage>(*image) : nullptr),
      driver_(image_ ? &image_->Binding() : &CompiledInDriver()) {
  host::LiveOptions live;
  live.speed = speed;
  host::StartLive(live);
  host::udp::Install();
  host::udp::SetAnyAddress(anyAddress);
  host::udp::SetLoopbackGuard(true);
  if (unprivilegedPort != 0 && unprivilegedPort != 519) host::udp::MapPort(519, unprivilegedPort);
}

HostSession::~HostSession() {
  if (loaded_ || attempted_) {
    if (loaded_) host::UnloadDriver(); else host::ReleaseFailedDriver();
  }
  host::udp::Uninstall();
  host::udp::ClearPortMap();
  host::Shutdown();
}

void HostSession::PrepareRegistry(const std::optional<std::string>& regFile) {
  host::registry::Reset();
  if (regFile) {
    host::registry::LoadRegFile(*regFile);
  } else {
    host::registry::CreateKey(ServiceKeyPath());
  }
}

void HostSession::SetConfiguration(const std::string& name, uint32_t value) {
  host::registry::SetDword(ServiceKeyPath(), name, value);
}

void HostSession::ConfigureServer(uint32_t address) {
  SetConfiguration("StartPort", 3);
  SetConfiguration("MaxPort", 3);
  for (int n = 1; n <= 3; n++) {
    SetConfiguration("StartNum" + std::to_string(n), n);
    SetConfiguration("dAddress" + std::to_string(n), address);
  }
}

NTSTATUS HostSession::Load() {
  attempted_ = true;
  NTSTATUS status = host::LoadDriver(driver_->DriverEntry);
  loaded_ = NT_SUCCESS(status);
  return status;
}

void HostSession::Unload(std::ostream& out) {
  if (!attempted_) return;
  if (loaded_) {
    out << "unloading the driver\n";
    host::UnloadDriver();  // the verifier stops the host on anything the driver left behind
  } else {
    host::ReleaseFailedDriver();
  }
  loaded_ = attempted_ = false;
  PrintLeftovers(out);
}

}  // namespace tessacom
