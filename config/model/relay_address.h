#pragma once
// A relay's address as the user types it into the finder: a host name, an
// IPv4 address or an IPv6 address, with an optional ":port". An IPv6 address
// followed by a port goes in brackets ("[fe80::1]:8467"), since its own
// colons would make the port ambiguous.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ebbmark {

namespace relay_address_texts {
// Shown under the box while what is typed cannot be used.
inline constexpr const char* kBadPort = "The port must be a number from 1 to 65535.";
inline constexpr const char* kBadHost = "Not a host name, IPv4 or IPv6 address.";
inline constexpr const char* kBadIpv4 = "An IPv4 address is four numbers 0-255.";
inline constexpr const char* kNeedBrackets = "Put an IPv6 address in [ ] before a port.";
}  // namespace relay_address_texts

struct RelayAddress {
  std::string host;  // as TCPHost holds it: an IPv6 address without brackets
  std::int32_t port = 0;
  bool operator==(const RelayAddress&) const = default;
};

struct RelayAddressCheck {
  std::optional<RelayAddress> address;  // empty: not usable
  // Why it is not usable; empty for a usable address and for an empty text.
  std::string why;
};

// Reads a typed relay address. Blanks around it are ignored. Without a port
// the relay's standard port, `default_port`, is taken.
RelayAddressCheck CheckRelayAddress(std::string_view text, std::int32_t default_port);

// The text that stands for a relay in the address box: "host:port", with an
// IPv6 address in brackets; the host alone when the port is not usable.
std::string RelayAddressText(const std::string& host, std::int32_t port);

}  // namespace ebbmark
