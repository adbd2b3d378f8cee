// What the host counts of each port's link, watching the UDP transport: the packets and data
// each way, resendings, polls and their answers, acknowledgements, and the sequenced data the
// driver refused, told apart as a repeat, a gap or no room. The driver keeps no such counts;
// the watch decodes the datagrams as they pass and reads the driver's port table, through its
// binding, to map them to ports and to learn what the driver made of each.
//
// Refusals: a receiver thread hands a datagram to its port and only then receives again, so
// when the transport hands a receiver its next datagram, the one before from that remote has
// been dealt with. The watch reads the port's last accepted sequence then: a SEQDATA not
// numbered next to it is refused (a repeat when it names one of the last seven accepted, else
// a gap); one numbered next is taken unless the receive ring had no room for it, which the
// accepted sequence tells at the remote's next datagram (or at the status, once it moved).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "driver_binding.h"
#include "host/net/udp_transport.h"
#include "link_status.h"

namespace tessacom {

struct PortLinkCounts {
  devserver::LinkCounts sent;
  devserver::LinkCounts received;
  size_t resent = 0;
  size_t pollsSent = 0;
  size_t pollsAnswered = 0;
  size_t rxAcksSent = 0;     // receive acknowledgements
  size_t acksSent = 0;       // answers to the remote's polls
  size_t acksReceived = 0;
  size_t refusedRepeat = 0;
  size_t refusedGap = 0;
  size_t refusedNoRoom = 0;
  // The newest data packet sent: its sequence, its first sending and polls since.
  uint8_t chunkSequence = 0;
  std::chrono::system_clock::time_point chunkSentAt;
  size_t chunkPolls = 0;
  bool pollOut = false;  // a poll not yet answered
};

class LinkWatch final : public host::net::DatagramObserver {
 public:
  // Starts watching the transport; the driver must stay loaded while the watch lives.
  explicit LinkWatch(const DriverBinding& driver);
  ~LinkWatch() override;
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

  void OnWire(const host::net::WireDatagram& datagram) override;
  void OnDelivered(uint32_t sourceAddress, uint16_t sourcePort,
                   std::span<const uint8_t> bytes) override;

  // The port's counts so far (a refusal still undecided is decided first when it can be).
  PortLinkCounts Counts(int port);
  // True when the port sent or received anything.
  bool Seen(int port);

 private:
  // An in-order SEQDATA handed to its port, whose fate the port's sequence will tell.
  struct Undecided {
    int port;
    uint8_t sequence;
    LONG acceptedBefore;
  };
  int OutboundPort(uint32_t remote, uint8_t channel) const;
  int InboundPort(uint32_t remote, uint8_t channel) const;
  void Decide(uint32_t remote, bool final);
  void Sent(PortLinkCounts& port, uint8_t type, uint8_t sequence,
            std::chrono::system_clock::time_point time);
  void Received(PortLinkCounts& port, uint8_t type);

  const DriverBinding& driver_;
  std::mutex lock_;
  std::array<PortLinkCounts, MAX_PORTS> ports_{};
  std::map<uint32_t, Undecided> undecided_;  // by remote address
};

}  // namespace tessacom
