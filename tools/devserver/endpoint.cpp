// Conversions of IPv4 endpoints between text, host order and socket addresses.
#include "endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace devserver {

std::string AddressToString(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string Endpoint::ToString() const {
  return AddressToString(address) + ":" + std::to_string(port);
}

sockaddr_in Endpoint::ToSockaddr() const {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(address);
  return in;
}

Endpoint Endpoint::FromSockaddr(const sockaddr_in& in) {
  return Endpoint{ntohl(in.sin_addr.s_addr), ntohs(in.sin_port)};
}

std::optional<uint32_t> ParseAddress(std::string_view text) {
  in_addr parsed;
  const std::string hostText(text);
  if (inet_pton(AF_INET, hostText.c_str(), &parsed) != 1) return std::nullopt;
  return ntohl(parsed.s_addr);
}

std::optional<Endpoint> ParseEndpoint(std::string_view text, uint16_t defaultPort) {
  std::string_view host = text;
  uint16_t port = defaultPort;
  if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value > 65535) {
      return std::nullopt;
    }
    port = static_cast<uint16_t>(value);
  }
  const std::optional<uint32_t> address = ParseAddress(host);
  if (!address) return std::nullopt;
  return Endpoint{*address, port};
}

}  // namespace devserver
