#include "bench/bench_probes.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "devserver.h"
#include "wire.h"

namespace tessacom::bench {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A UDP socket on (address, any port) that gives up a receive after a second; -1 on failure.
int ProbeSocket(uint32_t address, std::string* problem) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in local = devserver::Endpoint{address, 0}.ToSockaddr();
  const timeval second{1, 0};
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second) != 0) {
    *problem = "probe socket on " + devserver::AddressToString(address) + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

devserver::Endpoint LocalOf(int fd) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  return devserver::Endpoint::FromSockaddr(bound);
}

bool SendTo(int fd, const std::vector<uint8_t>& bytes, const devserver::Endpoint& to) {
  const sockaddr_in address = to.ToSockaddr();
  return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == static_cast<ssize_t>(bytes.size());
}

// Sends `request(i)` from `fd` to `to` `count` times and times each answer accepted by `answers`.
template <typename Request, typename Answers>
Percentiles TimeRoundTrips(int fd, const devserver::Endpoint& to, int count, Request request,
                           Answers answers, std::string* problem) {
  std::vector<double> micros;
  std::vector<uint8_t> buffer(2048);
  for (int i = 0; i < count && problem->empty(); i++) {
    const std::vector<uint8_t> bytes = request(i);
    const auto start = SteadyClock::now();
    if (!SendTo(fd, bytes, to)) *problem = "probe send: " + std::string(std::strerror(errno));
    for (bool done = false; !done && problem->empty();) {
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n < 0) *problem = "probe to " + to.ToString() + ": no answer within a second";
      done = n >= 0 && answers(i, std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
    }
    if (!problem->empty()) break;
    micros.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
  }
  return Summarise(std::move(micros));
}

}  // namespace

Percentiles RawUdpRoundTrips(const AddressBlock& addresses, int count, std::string* problem) {
  const int near = ProbeSocket(addresses.Driver(), problem);
  const int far = near < 0 ? -1 : ProbeSocket(addresses.Server(0), problem);
  if (far < 0) {
    if (near >= 0) close(near);
    return {};
  }
  // The far end echoes every datagram, in a thread of its own as a server would.
  std::thread echo([far, count] {
    std::vector<uint8_t> buffer(2048);
    for (int i = 0; i < count; i++) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(far, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return;
      sendto(far, buffer.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
             length);
    }
  });
  Percentiles result = TimeRoundTrips(
      near, LocalOf(far), count, [](int) { return std::vector<uint8_t>(4, 0x5A); },
      [](int, std::span<const uint8_t>) { return true; }, problem);
  echo.join();
  close(near);
  close(far);
  return result;
}

Percentiles AckRoundTrips(const AddressBlock& addresses, int count, std::string* problem) {
  devserver::ServerOptions options;
  options.bind = devserver::Endpoint{addresses.Server(0), LinkWirePort(kUnprivilegedLinkPort)};
  options.traceLimit = 0;
  devserver::DeviceServer server(options);
  const int fd = ProbeSocket(addresses.Driver(), problem);
  if (fd < 0) return {};
  if (std::string error; !server.Start(&error)) {
    *problem = "probe emulator: " + error;
    close(fd);
    return {};
  }
  constexpr uint8_t kChannel = 1;
  auto sequence = [](int i) { return static_cast<uint8_t>(1 + i % 15); };
  // The emulator takes data only on an open channel, in order after the OPEN's sequence: an
  // open numbered 15 makes 1 the first data sequence. 38400 8N1, as a driver's open block.
  const uint8_t block[devserver::kSettingsBlockSize] = {0, 0, 0, 0, 0xBF, 0x0C, 0x00, 0x80};
  TimeRoundTrips(
      fd, server.Local(), 1,
      [&](int) { return devserver::Encode(devserver::kOpen, kChannel, 15, block); },
      [](int, std::span<const uint8_t> answer) {
        return !answer.empty() && answer[0] == devserver::kOpen;
      },
      problem);
  Percentiles result = TimeRoundTrips(
      fd, server.Local(), count,
      [&](int i) {
        const uint8_t payload[1] = {static_cast<uint8_t>(i)};
        return devserver::Encode(devserver::kData, kChannel, sequence(i), payload);
      },
      [&](int i, std::span<const uint8_t> answer) {
        const std::optional<devserver::Packet> packet = devserver::Decode(answer);
        return packet && packet->type == devserver::kAck && packet->sequence == sequence(i);
      },
      problem);
  server.Stop();
  close(fd);
  return result;
}

}  // namespace tessacom::bench
