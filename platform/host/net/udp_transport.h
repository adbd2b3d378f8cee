// The host's UDP transport behind "\Device\Udp", for tests and programs: installing it, the
// local address that "any address" stands for, the loopback-only guard, a port mapping for
// unprivileged runs, counters (in all and per remote), observers of the datagrams that pass
// and a capture of them into a pcap file.
//
// What the transport does with the requests it is sent:
// - IRP_MJ_CREATE with a "TransportAddress" extended attribute (TA_IP_ADDRESS) opens an
//   address object bound to that address and port. Address 0 binds the any-address chosen
//   here. Address objects on one (address, port) share one socket; a datagram goes to exactly
//   one of them: to the oldest pending receive whose filter matches it, looking at the newest
//   address object first, otherwise to the newest address object's queue for its source
//   (address, port). Each source's queue is bounded in bytes as a socket's receive buffer is, and
//   a datagram that does not fit is dropped (tail drop): a source that sends faster than its
//   receiver takes loses its own datagrams, never another source's.
// - TDI_SEND_DATAGRAM sends the MDL's bytes to the remote address; with the guard on, an
//   address outside 127.0.0.0/8 completes with STATUS_HOST_UNREACHABLE and nothing is sent.
// - TDI_RECEIVE_DATAGRAM completes with a datagram from the filter's address and port (a zero
//   address or port matches any): the oldest datagram held for a source the filter matches
//   (with no filter, the oldest of all), or one waited for (STATUS_PENDING, completed later from
//   the transport's thread; the request is cancellable). The source is written to the return
//   information and Information is the byte count. A datagram longer than the receive length
//   completes with STATUS_BUFFER_OVERFLOW, a warning status (NT_SUCCESS false), with the bytes
//   that fit and Information = the receive length.
// - IRP_MJ_CLEANUP ends the address object's pending receives with STATUS_LOCAL_DISCONNECT
//   and refuses later requests on it with the same status; IRP_MJ_CLOSE frees it. A cancelled
//   receive ends with STATUS_CANCELLED. The datagrams it holds stay with the port: each goes,
//   as it would have on arrival, to a matching pending receive of another address object on
//   the same (address, port) or into the newest one's queue for its source, in order of
//   arrival; they are dropped only with the port's last address object, or beyond the bound
//   of the queue they join (its newest first).
// - The real sockets' kernel buffers are raised (kKernelReceiveBufferBytes) so that the
//   transport's thread, not Linux, decides what is dropped; what Linux drops all the same is
//   counted as it reports it (SO_RXQ_OVFL).
// - A request reaching the transport at DISPATCH_LEVEL or above stops the host with
//   TRANSPORT_CALL_AT_DISPATCH_LEVEL: the caller then waits for its completion at raised level.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "host/ddk/ntdef.h"
#include "host/net/pcap_file.h"

namespace host::net {

// Creates the transport's driver object and "\Device\Udp" and starts its receiving thread.
// Installing an installed transport changes nothing and succeeds.
NTSTATUS Install();
// Removes the device and the driver object. STATUS_FILES_OPEN, and nothing removed, while
// address objects are not yet closed.
NTSTATUS Uninstall();
bool Installed();

// The local address (host order) an address object asking for address 0 is bound to; the
// default is INADDR_ANY. Lets runs that each use their own loopback address coexist.
void SetAnyAddress(uint32_t hostOrder);
uint32_t AnyAddress();

// The loopback-only guard, on by default: sends outside 127.0.0.0/8 are refused.
void SetLoopbackGuard(bool on);
bool LoopbackGuard();

// Port mapping for unprivileged runs: the driver's `driverPort` is `hostPort` on the wire, as
// local port when binding, as destination port when sending and as source port when
// receiving. ClearPortMap forgets every mapping.
void MapPort(uint16_t driverPort, uint16_t hostPort);
void ClearPortMap();
// The port the driver's `driverPort` is on the wire: its mapping, or itself.
uint16_t WirePort(uint16_t driverPort);

// A source's queue is bounded as a socket's receive buffer on Linux is: each datagram is
// charged its length plus an overhead, and one that does not fit is dropped. The defaults are
// Linux's: its default datagram receive buffer (net.core.rmem_default), and about what it
// charges a small datagram on loopback (832 bytes for 1 to 128, 1280 for 508), so a source gets
// the room it would have with a socket of its own: about 260 small datagrams.
constexpr size_t kDefaultSourceQueueBytes = 212992;
constexpr size_t kDatagramOverheadBytes = 768;
// What each source's queue may be charged from now on.
void SetSourceQueueBytes(size_t bytes);
// The receive buffer asked of Linux for each real socket (it may grant less to a process
// without CAP_NET_ADMIN: net.core.rmem_max).
constexpr int kKernelReceiveBufferBytes = 8 << 20;

struct Counters {
  size_t datagramsSent = 0;
  size_t datagramsReceived = 0;  // taken from the sockets
  size_t receivesCompleted = 0;  // with a datagram
  size_t refusedByGuard = 0;
  size_t queueDropped = 0;       // turned away by their source's full queue
  size_t kernelDropped = 0;      // by Linux on the transport's sockets, as it reports them
  size_t truncated = 0;          // completed with STATUS_BUFFER_OVERFLOW
  size_t pendingReceives = 0;    // right now
  size_t addressObjects = 0;     // open right now (cleanup not yet done)
  size_t sockets = 0;            // bound right now
};
Counters GetCounters();
// Datagrams from (address, port), as the driver sees them, that their full queue turned away.
size_t DroppedFrom(uint32_t address, uint16_t port);
// Zeroes the cumulative counts, those of each source included (not the ones that say what
// exists right now), and forgets the last bind refusal.
void ResetCounters();

// A bind of a real socket that Linux refused: the (address, port) on the wire and the errno.
// Sockets are bound without address reuse, so an address and port that another program has
// bound (the same address, or any address through the any-address) is refused with EADDRINUSE
// rather than shared.
struct BindRefusal {
  WireEndpoint endpoint;
  int error = 0;
};
// The latest refusal since the counters were reset, if any.
std::optional<BindRefusal> LastBindRefusal();
// Waits, in real time, until the counters satisfy `ready`; false when `limit` passed first.
bool WaitForCounters(const std::function<bool(const Counters&)>& ready,
                     std::chrono::milliseconds limit);

// Datagrams exchanged with one remote address (any port), as the driver sees them: sent to it,
// taken from the sockets from it, and of those turned away by their full queue.
struct RemoteCounters {
  size_t sent = 0;
  size_t received = 0;
  size_t queueDropped = 0;
};
// Every remote address datagrams went to or came from since the counters were last reset.
std::map<uint32_t, RemoteCounters> CountersByRemote();

// A datagram as it passed the transport's sockets, ends and ports as on the wire. An end bound
// to the any-address is given as the address Linux used: for a datagram received, the one it
// was sent to; for one sent, the one Linux sends from toward its destination.
struct WireDatagram {
  bool sent = false;  // put on the wire by the host; false: taken from it
  WireEndpoint local;
  WireEndpoint remote;
  std::span<const uint8_t> bytes;
  std::chrono::system_clock::time_point time;
};

// Watches what passes the transport, for captures and for programs' counters of the link.
// Observers are called one at a time, under the observers' own lock (none of the transport's
// others), and must not call back into the transport.
class DatagramObserver {
 public:
  virtual ~DatagramObserver() = default;
  // Each datagram sent (once its socket took it) or taken from a socket, in one order for all
  // observers: a datagram sent is reported before anything received after its sending, so a
  // reply is never seen before what caused it. On the sending thread or the transport's
  // receiving thread.
  virtual void OnWire(const WireDatagram& datagram) = 0;
  // A datagram handed to a receive, just before the receive completes with it; the source as
  // the driver sees it (port mapping undone). A thread that receives again has dealt with what
  // its previous receive brought, so the datagram handed before this one to the same receiver
  // was dealt with by now.
  virtual void OnDelivered(uint32_t sourceAddress, uint16_t sourcePort,
                           std::span<const uint8_t> bytes) {
    (void)sourceAddress, (void)sourcePort, (void)bytes;
  }
};
// Adds an observer; it must stay alive until removed.
void AddObserver(DatagramObserver* observer);
// Removes it; once this returns, no call to it is in progress or will come.
void RemoveObserver(DatagramObserver* observer);

// Captures every datagram the transport sends or takes from a socket into the pcap file at
// `path`, bounded to `limitBytes` (PcapFile). `onNote` is told once when the limit is reached
// (on the thread that met it). False with `error` set when the file cannot be written or a
// capture is already on.
bool StartCapture(const std::string& path, uint64_t limitBytes,
                  std::function<void(const std::string&)> onNote, std::string* error);
struct CaptureSummary {
  std::string path;
  size_t written = 0;  // datagrams in the file
  size_t refused = 0;  // datagrams past its limit, not in it
  uint64_t bytes = 0;  // the file's size
  uint64_t limitBytes = 0;
};
// Ends the capture and closes its file; nothing when none was on.
std::optional<CaptureSummary> StopCapture();

}  // namespace host::net
