#pragma once
// The computer's own IPv4 addresses, for the relay finder's broadcast queries.

#include <cstdint>
#include <vector>

namespace ebbmark {

// One address of the computer. Both values are in network byte order, as the
// system's address table holds them: the first byte in memory is the first
// part of the dotted text.
struct IpAddressRow {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
};

class NetworkInfo {
 public:
  virtual ~NetworkInfo() = default;
  // Replaces `rows` with every IPv4 address of the computer's active
  // interfaces (loopback included), in ascending address order. False when the
  // table cannot be read; `rows` is then empty.
  virtual bool AddressTable(std::vector<IpAddressRow>& rows) = 0;
};

// The system's table: getifaddrs on Linux, GetIpAddrTable on Windows.
NetworkInfo& SystemNetworkInfo();

}  // namespace ebbmark
