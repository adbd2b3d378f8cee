// Writing datagrams as a classic pcap file of raw IPv4 packets.
#include "host/net/pcap_file.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace host::net {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint32_t kLinkTypeRaw = 101;       // LINKTYPE_RAW: each packet starts with its IP header
constexpr uint32_t kSnapLength = 65535;
constexpr size_t kIpHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr uint8_t kUdpProtocol = 17;

// Fields of the file's own headers are in the writer's byte order (the magic tells a reader
// which); the IPv4 and UDP headers are in network order.
template <typename T>
void PutNative(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

void PutBig16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

void PutBig32(uint8_t* at, uint32_t value) {
  PutBig16(at, value >> 16);
  PutBig16(at + 2, value);
}

// The ones'-complement sum of 16-bit big-endian words, an odd last byte padded with zero.
uint32_t AddWords(uint32_t sum, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum += (bytes[i] << 8) | bytes[i + 1];
  if (bytes.size() % 2 != 0) sum += bytes.back() << 8;
  return sum;
}

uint16_t Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// IPv4 header (no options, don't fragment, TTL 64) and UDP header for the datagram, checksums
// filled in: the UDP one over the pseudo-header, header and payload (0 is sent as 0xFFFF).
std::array<uint8_t, kIpHeader + kUdpHeader> Headers(const WireEndpoint& source,
                                                    const WireEndpoint& destination,
                                                    std::span<const uint8_t> datagram,
                                                    uint16_t id) {
  std::array<uint8_t, kIpHeader + kUdpHeader> h{};
  const size_t udpLength = kUdpHeader + datagram.size();
  h[0] = 0x45;
  PutBig16(&h[2], static_cast<uint32_t>(kIpHeader + udpLength));
  PutBig16(&h[4], id);
  PutBig16(&h[6], 0x4000);
  h[8] = 64;
  h[9] = kUdpProtocol;
  PutBig32(&h[12], source.address);
  PutBig32(&h[16], destination.address);
  PutBig16(&h[10], Fold(AddWords(0, std::span(h).first(kIpHeader))));
  uint8_t* udp = &h[kIpHeader];
  PutBig16(&udp[0], source.port);
  PutBig16(&udp[2], destination.port);
  PutBig16(&udp[4], static_cast<uint32_t>(udpLength));
  uint32_t sum = AddWords(0, std::span(h).subspan(12, 8));  // pseudo-header: the addresses,
  sum += kUdpProtocol + static_cast<uint32_t>(udpLength);     // protocol and UDP length
  sum = AddWords(sum, std::span(h).subspan(kIpHeader, kUdpHeader));
  const uint16_t checksum = Fold(AddWords(sum, datagram));
  PutBig16(&udp[6], checksum == 0 ? 0xFFFF : checksum);
  return h;
}

}  // namespace

uint32_t SourceAddressToward(uint32_t destination) {
  // Connecting a datagram socket sends nothing; it makes Linux choose the source address.
  uint32_t source = 0;
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(9);
  address.sin_addr.s_addr = htonl(destination);
  socklen_t length = sizeof address;
  if (probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    source = ntohl(address.sin_addr.s_addr);
  }
  if (probe >= 0) close(probe);
  return source;
}

PcapFile::~PcapFile() { Close(); }

bool PcapFile::Open(const std::string& path, uint64_t limitBytes, std::string* error) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    if (error != nullptr) *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  limit_ = limitBytes;
  written_ = refused_ = 0;
  lastRefused_ = false;
  uint8_t header[kFileHeaderBytes] = {};
  PutNative<uint32_t>(header, kPcapMagic);
  PutNative<uint16_t>(header + 4, 2);  // version 2.4
  PutNative<uint16_t>(header + 6, 4);
  PutNative<uint32_t>(header + 16, kSnapLength);
  PutNative<uint32_t>(header + 20, kLinkTypeRaw);
  std::fwrite(header, 1, sizeof header, file_);
  std::fflush(file_);
  bytes_ = sizeof header;
  return true;
}

bool PcapFile::Append(std::chrono::system_clock::time_point time, const WireEndpoint& source,
                      const WireEndpoint& destination, std::span<const uint8_t> datagram) {
  lastRefused_ = false;
  if (file_ == nullptr || kIpHeader + kUdpHeader + datagram.size() > kSnapLength) return false;
  const uint64_t record = kRecordOverhead + datagram.size();
  if (refused_ != 0 || bytes_ + record > limit_) {
    ++refused_;
    lastRefused_ = true;
    return false;
  }
  const auto since = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch());
  const uint32_t length = static_cast<uint32_t>(kIpHeader + kUdpHeader + datagram.size());
  uint8_t header[16];
  PutNative<uint32_t>(header, static_cast<uint32_t>(since.count() / 1000000));
  PutNative<uint32_t>(header + 4, static_cast<uint32_t>(since.count() % 1000000));
  PutNative<uint32_t>(header + 8, length);
  PutNative<uint32_t>(header + 12, length);
  const auto headers = Headers(source, destination, datagram, nextId_++);
  std::fwrite(header, 1, sizeof header, file_);
  std::fwrite(headers.data(), 1, headers.size(), file_);
  std::fwrite(datagram.data(), 1, datagram.size(), file_);
  std::fflush(file_);
  bytes_ += record;
  ++written_;
  return true;
}

std::string PcapFile::LimitNote() const {
  const std::string limit = limit_ % (1 << 20) == 0 ? std::to_string(limit_ >> 20) + " MiB"
                                                     : std::to_string(limit_) + " bytes";
  return "capture " + path_ + ": its limit of " + limit + " is reached after " +
         std::to_string(written_) + " datagrams; later datagrams are not in it";
}

void PcapFile::Close() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace host::net
