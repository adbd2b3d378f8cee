#include "host_session.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <ostream>

#include "endpoint.h"
#include "host/net/udp_transport.h"
#include "link_status_report.h"
#include "link_watch.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "host/session/unload_checks.h"
#include "report.h"

namespace tessacom {

std::string ServiceKeyPath() { return std::string(host::registry::kServices) + "\\tessacom"; }

uint16_t LinkWirePort(uint16_t fallback) { return geteuid() == 0 ? 519 : fallback; }

HostSession::HostSession(const std::optional<std::string>& image, uint32_t anyAddress,
                         uint16_t unprivilegedPort, double speed, bool loopbackOnly)
    : image_(image ? std::make_unique<DriverImage>(*image) : nullptr),
      driver_(image_ ? &image_->Binding() : &CompiledInDriver()) {
  host::session::LiveOptions live;
  live.speed = speed;
  host::session::StartLive(live);
  host::net::Install();
  host::net::SetAnyAddress(anyAddress);
  host::net::SetLoopbackGuard(loopbackOnly);
  if (unprivilegedPort != 0 && unprivilegedPort != 519) host::net::MapPort(519, unprivilegedPort);
}

HostSession::~HostSession() {
  watch_.reset();
  EndCapture(nullptr);
  if (loaded_ || attempted_) {
    if (loaded_) host::session::UnloadDriver(); else host::session::ReleaseFailedDriver();
  }
  host::net::Uninstall();
  host::net::ClearPortMap();
  host::net::SetLoopbackGuard(true);  // the transport's own default, for what runs after
  host::session::Shutdown();
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
  host::net::ResetCounters();  // so that a bind refusal seen after it is the driver's endpoint
  NTSTATUS status = host::session::LoadDriver(driver_->DriverEntry, host::session::kDefaultRegistryPath,
                                     {driver_->ImageStart, driver_->ImageSize});
  loaded_ = NT_SUCCESS(status);
  return status;
}

std::string HostSession::EndpointRefusal() const {
  const std::optional<host::net::BindRefusal> refusal = host::net::LastBindRefusal();
  if (!loaded_ || !refusal) return "";
  const std::string address = devserver::AddressToString(refusal->endpoint.address);
  const std::string port = std::to_string(refusal->endpoint.port);
  const std::string where = address + ":" + port;
  std::string text = "the driver's UDP endpoint cannot bind " + where + ": ";
  if (refusal->error == EADDRINUSE) {
    text += refusal->endpoint.address == 0
                ? "another program has bound UDP port " + port + " on a local address (another "
                  "tessacom serve?); give each its own address with --bind ADDR"
                : "another program has bound it already (another tessacom serve on " + address +
                  "?); give this one another address with --bind ADDR";
  } else if (refusal->error == EACCES) {
    text += "a port below 1024 needs root, or the capability to bind one (README, \"Running as an ordinary "
            "user\")";
  } else {
    text += std::strerror(refusal->error);
  }
  return text;
}

void HostSession::Unload(std::ostream& out) {
  watch_.reset();
  if (!attempted_) return EndCapture(&out);
  if (loaded_) {
    out << "unloading the driver\n";
    host::session::UnloadDriver();  // the verifier stops the host on anything the driver left behind
  } else {
    host::session::ReleaseFailedDriver();
  }
  loaded_ = attempted_ = false;
  PrintLeftovers(out);
  EndCapture(&out);
}

bool HostSession::StartCapture(const std::string& path, std::ostream& out) {
  std::string error;
  auto note = [](const std::string& text) { std::cerr << "tessacom: " << text << "\n"; };
  if (!host::net::StartCapture(path, host::net::PcapFile::kDefaultLimitBytes, note, &error)) {
    out << "tessacom: --pcap: " << error << "\n";
    return false;
  }
  capturing_ = true;
  return true;
}

void HostSession::EndCapture(std::ostream* out) {
  if (!capturing_) return;
  capturing_ = false;
  const std::optional<host::net::CaptureSummary> summary = host::net::StopCapture();
  if (!summary || out == nullptr) return;
  *out << "capture: " << summary->written << " datagrams (" << summary->bytes << " bytes) in "
       << summary->path;
  if (summary->refused != 0) {
    *out << "; " << summary->refused << " more past its limit of " << (summary->limitBytes >> 20)
         << " MiB, not in it";
  }
  *out << "\n";
}

void HostSession::WatchLink() {
  if (loaded_ && !watch_) watch_ = std::make_unique<LinkWatch>(*driver_);
}

void HostSession::PrintStatus(std::ostream& out) {
  if (!watch_) {
    out << "status: the link is not watched (the driver is not loaded)\n";
    return;
  }
  PrintLinkStatus(out, *driver_, *watch_);
}

}  // namespace tessacom
