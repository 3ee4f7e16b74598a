#pragma once
// The computer's IPv4 networks as the relay finder needs them: each local
// address with its mask and the network's broadcast address.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/network_info.h"

namespace ebbmark {

struct LocalAddress {
  std::string address;    // dotted, "192.168.1.20"
  std::string mask;       // dotted, "255.255.255.0"
  std::string broadcast;  // dotted, "192.168.1.255"
};

// Replaces `addresses` with the computer's IPv4 addresses outside the
// loopback network 127.0.0.0/8, in the table's order. True when at least one was found; false
// also when the table could not be read.
bool GetLocalAddresses(NetworkInfo& info, std::vector<LocalAddress>& addresses);

// The broadcast address of a network: each part of the address OR the
// inverted part of the mask. Empty when the address is empty or either text
// is not four dotted numbers 0 to 255.
std::string BroadcastAddress(const std::string& address, const std::string& mask);

// The dotted text of an address in network byte order.
std::string AddressText(std::uint32_t address);

// The broadcast addresses of `addresses` without repeats, in order of first
// appearance (empty ones skipped): two interfaces on one network are queried
// once.
std::vector<std::string> DistinctBroadcasts(const std::vector<LocalAddress>& addresses);

}  // namespace ebbmark
