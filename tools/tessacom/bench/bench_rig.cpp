#include "bench/bench_rig.h"

#include <unistd.h>

#include <mutex>
#include <sstream>
#include <thread>

#include "kernel.h"

namespace tessacom::bench {

AddressBlock::AddressBlock() : firstY_(2 * (static_cast<uint32_t>(getpid()) % 128)) {}

uint32_t AddressBlock::Nth(int n) const {
  const uint32_t y = firstY_ + static_cast<uint32_t>(n / 254);
  const uint32_t z = 1 + static_cast<uint32_t>(n % 254);
  return (127u << 24) | (255u << 16) | (y << 8) | z;
}

Rig::Rig(const std::optional<std::string>& image, const AddressBlock& addresses,
         const RigLayout& layout)
    : layout_(layout), files_(static_cast<size_t>(layout.ports)) {
  const uint16_t wirePort = LinkWirePort(kUnprivilegedLinkPort);
  session_ = std::make_unique<HostSession>(image, addresses.Driver(), wirePort);
  session_->PrepareRegistry(std::nullopt);
  session_->SetConfiguration("StartPort", kFirstCom);
  session_->SetConfiguration("MaxPort", static_cast<uint32_t>(layout.ports));
  for (int s = 0; s < layout.servers && problem_.empty(); s++) {
    devserver::ServerOptions options;
    options.bind = devserver::Endpoint{addresses.Server(s), wirePort};
    options.driver = devserver::Endpoint{addresses.Driver(), wirePort};
    options.backend = layout.backend;
    options.backendSequenced = layout.sequencedLine;
    options.protocol = layout.protocol;
    options.traceLimit = 0;
    servers_.push_back(std::make_unique<devserver::DeviceServer>(options));
    std::string error;
    if (!servers_.back()->Start(&error)) Fail("emulator " + std::to_string(s) + ": " + error);
  }
  for (int port = 0; port < layout.ports; port++) {
    const std::string n = std::to_string(port + 1);
    session_->SetConfiguration("StartNum" + n, Channel(port) + 1u);  // the registry counts from 1
    session_->SetConfiguration("dAddress" + n, addresses.Server(port % layout.servers));
  }
}

Rig::~Rig() {
  Unload();
  for (auto& server : servers_) server->Stop();
}

void Rig::Fail(const std::string& what) {
  if (problem_.empty()) problem_ = what;
}

bool Rig::Load() {
  if (!problem_.empty()) return false;
  const NTSTATUS status = session_->Load();
  if (!NT_SUCCESS(status)) {
    std::ostringstream text;
    text << "the driver's load failed with status 0x" << std::hex << static_cast<uint32_t>(status);
    Fail(text.str());
  }
  return NT_SUCCESS(status);
}

void Rig::Unload() {
  for (host::io::File& file : files_) {
    if (file.IsOpen()) file.Close();
  }
  std::ostringstream ignored;  // the verifier stops the host on anything left behind
  session_->Unload(ignored);
}

namespace {

// Runs `step` for every port, spread over up to `threads` threads.
template <typename Step>
void ForEachPort(int ports, int threads, Step step) {
  std::vector<std::thread> workers;
  const int count = std::max(1, std::min(threads, ports));
  for (int w = 0; w < count; w++) {
    workers.emplace_back([=] {
      for (int port = w; port < ports; port += count) step(port);
    });
  }
  for (std::thread& worker : workers) worker.join();
}

}  // namespace

bool Rig::OpenAll(int threads) {
  std::mutex lock;
  ForEachPort(layout_.ports, threads, [&](int port) {
    host::io::OpenResult opened = host::io::Open(ComName(port));
    std::lock_guard hold(lock);
    if (opened) {
      files_[port] = std::move(opened.file);
    } else {
      std::ostringstream text;
      text << "open " << ComName(port) << ": status 0x" << std::hex
           << static_cast<uint32_t>(opened.status);
      Fail(text.str());
    }
  });
  return problem_.empty();
}

bool Rig::CloseAll(int threads) {
  std::mutex lock;
  ForEachPort(layout_.ports, threads, [&](int port) {
    const NTSTATUS status = files_[port].Close();
    std::lock_guard hold(lock);
    if (!NT_SUCCESS(status)) Fail("close " + ComName(port) + " failed");
  });
  return problem_.empty();
}

std::chrono::nanoseconds Rig::EmulatorCpu() const {
  std::chrono::nanoseconds total{0};
  for (const auto& server : servers_) total += server->ThreadCpuTime();
  return total;
}

std::optional<ULONG_PTR> ReadWithin(host::io::File& file, void* buffer, ULONG length,
                                    std::chrono::milliseconds limit) {
  host::io::AsyncRequest read = file.ReadAsync(buffer, length);
  if (!read.WaitFor(limit)) {
    read.Cancel();
    read.Wait();
    return std::nullopt;
  }
  const host::io::Result done = read.Wait();
  if (done.status != STATUS_SUCCESS) return std::nullopt;
  return done.information;
}

}  // namespace tessacom::bench
