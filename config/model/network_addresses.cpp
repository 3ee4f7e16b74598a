#include "config/model/network_addresses.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

namespace ebbmark {
namespace {

// Four dotted decimal parts, each 0 to 255.
std::optional<std::array<unsigned, 4>> DottedParts(std::string_view text) {
  std::array<unsigned, 4> parts{};
  std::size_t k = 0;
  std::size_t digits = 0;
  unsigned value = 0;
  for (char c : text) {
    if (c == '.') {
      if (digits == 0 || k == 3) return std::nullopt;
      parts[k++] = value;
      value = 0;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (++digits > 3 || value > 255) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || k != 3) return std::nullopt;
  parts[3] = value;
  return parts;
}

// The first part of the dotted text: the first byte in memory.
unsigned FirstPart(std::uint32_t address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return bytes[0];
}

}  // namespace

bool GetLocalAddresses(NetworkInfo& info, std::vector<LocalAddress>& addresses) {
  addresses.clear();
  std::vector<IpAddressRow> rows;
  if (!info.AddressTable(rows)) return false;
  for (const IpAddressRow& row : rows) {
    std::string address = AddressText(row.address);
    // The whole loopback network stays off the list, not just 127.0.0.1:
    // a query there would never reach a relay on another computer.
    if (FirstPart(row.address) == 127) continue;
    std::string mask = AddressText(row.mask);
    std::string broadcast = BroadcastAddress(address, mask);
    addresses.push_back({std::move(address), std::move(mask), std::move(broadcast)});
  }
  return !addresses.empty();
}

std::string BroadcastAddress(const std::string& address, const std::string& mask) {
  if (address.empty()) return {};
  const auto a = DottedParts(address);
  const auto m = DottedParts(mask);
  if (!a || !m) return {};
  std::string result;
  for (std::size_t k = 0; k < 4; ++k) {
    if (k > 0) result += '.';
    result += std::to_string((*a)[k] | ((*m)[k] ^ 255u));
  }
  return result;
}

std::string AddressText(std::uint32_t address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  std::string text;
  for (int k = 0; k < 4; ++k) {
    if (k > 0) text += '.';
    text += std::to_string(bytes[k]);
  }
  return text;
}

std::vector<std::string> DistinctBroadcasts(const std::vector<LocalAddress>& addresses) {
  std::vector<std::string> result;
  for (const LocalAddress& a : addresses) {
    if (a.broadcast.empty()) continue;
    if (std::find(result.begin(), result.end(), a.broadcast) == result.end()) {
      result.push_back(a.broadcast);
    }
  }
  return result;
}

}  // namespace ebbmark
