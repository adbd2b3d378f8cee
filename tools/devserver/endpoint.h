// An IPv4 address and UDP port as the device server handles them: the address in host order
// (first octet most significant), as the driver's configuration holds it.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sockaddr_in;

namespace devserver {

struct Endpoint {
  uint32_t address = 0;  // host order
  uint16_t port = 0;

  auto operator<=>(const Endpoint&) const = default;
  std::string ToString() const;  // "127.0.0.1:519"
  sockaddr_in ToSockaddr() const;
  static Endpoint FromSockaddr(const sockaddr_in& in);
};

// "a.b.c.d" as a host-order address; nothing when malformed.
std::optional<uint32_t> ParseAddress(std::string_view text);

// "a.b.c.d" or "a.b.c.d:port" (the port defaults to `defaultPort`); nothing when malformed.
std::optional<Endpoint> ParseEndpoint(std::string_view text, uint16_t defaultPort);

// "a.b.c.d" of a host-order address.
std::string AddressToString(uint32_t address);

}  // namespace devserver
