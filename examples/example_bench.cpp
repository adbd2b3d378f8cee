#include "example_bench.h"

#include <iostream>

namespace examples {

namespace {

constexpr uint32_t kDriverAddress = 0x7F4E0001;  // 127.78.0.1
constexpr uint32_t kServerAddress = 0x7F4E0002;  // 127.78.0.2
constexpr uint16_t kUnprivilegedPort = 40520;

devserver::ServerOptions EchoServer() {
  devserver::ServerOptions options;
  const uint16_t port = tessacom::LinkWirePort(kUnprivilegedPort);
  options.bind = devserver::Endpoint{kServerAddress, port};
  options.driver = devserver::Endpoint{kDriverAddress, port};
  options.channelBackends[0] = devserver::BackendKind::Echo;  // the driver's channel 1
  return options;
}

}  // namespace

Bench::Bench(const std::optional<std::string>& image)
    : server_(EchoServer()), session_(image, kDriverAddress, tessacom::LinkWirePort(kUnprivilegedPort)) {
  std::string error;
  if (!server_.Start(&error)) {
    std::printf("the device server emulator cannot start: %s\n", error.c_str());
    return;
  }
  session_.PrepareRegistry(std::nullopt);
  session_.SetConfiguration("StartPort", 3);
  session_.SetConfiguration("MaxPort", 1);
  session_.SetConfiguration("StartNum1", 1);
  session_.SetConfiguration("dAddress1", kServerAddress);
  const NTSTATUS status = session_.Load();
  if (!NT_SUCCESS(status)) {
    std::printf("the driver did not load: status 0x%08X\n", static_cast<unsigned>(status));
    return;
  }
  std::printf("COM3 is bound to the echo channel of the emulator at %s\n", server_.Local().ToString().c_str());
  ready_ = true;
}

Bench::~Bench() {
  session_.Unload(std::cout);
  server_.Stop();
}

int Failed(const std::string& what) {
  const comm::DWORD error = comm::GetLastError();
  std::printf("%s failed: %s (%u)\n", what.c_str(), comm::ErrorName(error), error);
  return 1;
}

int UseCom3(int argc, char** argv, const std::function<int(comm::Port&, devserver::DeviceServer&)>& use) {
  std::optional<std::string> image;
  for (int i = 1; i < argc; i++) {
    if (std::string(argv[i]) == "--image" && i + 1 < argc) {
      image = argv[++i];
    } else {
      std::printf("usage: %s [--image FILE]\n", argv[0]);
      return 2;
    }
  }
  Bench bench(image);
  if (!bench.Ready()) return 1;
  comm::Port port = comm::OpenPort("COM3");
  if (!port.IsOpen()) return Failed("opening COM3");
  const int result = use(port, bench.Server());
  comm::ClosePort(port);
  return result;
}

}  // namespace examples
