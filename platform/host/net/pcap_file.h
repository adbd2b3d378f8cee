// A capture file of UDP datagrams in the classic pcap format, for the transport's capture and
// for the device server emulator's: each datagram becomes a raw IPv4 packet (link type
// LINKTYPE_RAW) with an IPv4 and a UDP header made for it, checksums included, so that tcpdump
// and Wireshark read the file as they read a capture of the wire. Timestamps are the system's
// real-time clock in microseconds.
//
// Each record is flushed as it is written: a capture is most wanted when the program stops
// abruptly (a verifier stop aborts it), and what was written before stays readable.
//
// The file is bounded: a record that would take it past its limit is not written, and neither
// is any after it, so the file ends on a whole record. Not thread-safe: its owner serialises the
// calls (the order of the records is the order of the calls).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace host::net {

// One end of a datagram on the wire: the address in host order (first octet most
// significant) and the port as it is on the wire.
struct WireEndpoint {
  uint32_t address = 0;
  uint16_t port = 0;
  auto operator<=>(const WireEndpoint&) const = default;
};

// The local address (host order) Linux sends from toward `destination`, as it chooses for a
// socket bound to the any-address: what a capture of such a socket gives as the source. 0 when
// Linux has no route there.
uint32_t SourceAddressToward(uint32_t destination);

class PcapFile {
 public:
  // The limit programs use: a run's capture is far smaller, a runaway one stops here.
  static constexpr uint64_t kDefaultLimitBytes = 64ull << 20;
  // Bytes a record takes besides the datagram: the record header, IPv4 and UDP headers.
  static constexpr size_t kRecordOverhead = 16 + 20 + 8;
  static constexpr size_t kFileHeaderBytes = 24;

  PcapFile() = default;
  ~PcapFile();
  PcapFile(const PcapFile&) = delete;
  PcapFile& operator=(const PcapFile&) = delete;

  // Creates (or empties) the file at `path` and writes the file header; false with `error`
  // set (the path and the system's reason) when it cannot.
  bool Open(const std::string& path, uint64_t limitBytes, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  // Appends a datagram from `source` to `destination`. False when it was not written: the
  // file is not open, the limit is reached (FirstRefused() tells whether this was the first),
  // or the datagram does not fit in one IPv4 packet.
  bool Append(std::chrono::system_clock::time_point time, const WireEndpoint& source,
              const WireEndpoint& destination, std::span<const uint8_t> datagram);
  // True right after the Append that first met the limit.
  bool FirstRefused() const { return refused_ == 1 && lastRefused_; }
  // What to tell people then: "capture PATH: its limit of 64 MiB is reached after N
  // datagrams; later datagrams are not in it".
  std::string LimitNote() const;
  // Closes the file; what was written stays.
  void Close();

  const std::string& Path() const { return path_; }
  uint64_t LimitBytes() const { return limit_; }
  uint64_t Bytes() const { return bytes_; }
  size_t Written() const { return written_; }
  size_t Refused() const { return refused_; }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  uint64_t limit_ = 0;
  uint64_t bytes_ = 0;
  size_t written_ = 0;
  size_t refused_ = 0;
  bool lastRefused_ = false;
  uint16_t nextId_ = 1;
};

}  // namespace host::net
