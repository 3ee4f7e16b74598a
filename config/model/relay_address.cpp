#include "config/model/relay_address.h"

#include <algorithm>

#include <asio/ip/address_v6.hpp>

namespace ebbmark {
namespace {

namespace texts = relay_address_texts;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), IsDigit);
}

std::optional<std::int32_t> ParsePort(std::string_view s) {
  if (!AllDigits(s)) return std::nullopt;
  // Leading zeros are harmless; more digits than that are no port.
  while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
  if (s.size() > 5) return std::nullopt;
  std::int32_t value = 0;
  for (const char c : s) value = value * 10 + (c - '0');
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

// Four decimal parts of at most three digits, each 0-255. Written out here
// rather than left to the system, because some systems also take "10.1",
// "0x0a.0.0.1" or "1.2.3.4:80" for an IPv4 address.
bool IsIpv4(std::string_view s) {
  int parts = 0;
  for (;;) {
    const std::size_t dot = s.find('.');
    const std::string_view part = s.substr(0, dot);
    if (!AllDigits(part) || part.size() > 3) return false;
    int value = 0;
    for (const char c : part) value = value * 10 + (c - '0');
    if (value > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    s.remove_prefix(dot + 1);
  }
  return parts == 4;
}

bool IsIpv6(std::string_view s) {
  if (s.empty() || s.find(':') == std::string_view::npos) return false;
  asio::error_code ec;
  (void)asio::ip::make_address_v6(std::string(s).c_str(), ec);
  return !ec;
}

// Letters, digits and hyphens in dot-separated labels of 1 to 63
// characters, no label starting or ending with a hyphen, at most 253
// characters without a final dot.
bool IsHostName(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  if (s.empty() || s.size() > 253) return false;
  for (;;) {
    const std::size_t dot = s.find('.');
    const std::string_view label = s.substr(0, dot);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (const char c : label) {
      const bool ok = IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
      if (!ok) return false;
    }
    if (dot == std::string_view::npos) return true;
    s.remove_prefix(dot + 1);
  }
}

// A name whose last label is a number is meant as an IPv4 address: no top
// level domain is all digits.
bool LooksNumeric(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  const std::size_t dot = s.rfind('.');
  return AllDigits(dot == std::string_view::npos ? s : s.substr(dot + 1));
}

RelayAddressCheck Bad(const char* why) {
  return RelayAddressCheck{std::nullopt, why};
}

RelayAddressCheck CheckHostAndPort(std::string_view host, std::optional<std::string_view> port_text,
                                   std::int32_t default_port, bool ipv6) {
  std::int32_t port = default_port;
  if (port_text) {
    const auto parsed = ParsePort(*port_text);
    if (!parsed) return Bad(texts::kBadPort);
    port = *parsed;
  }
  if (ipv6) {
    if (!IsIpv6(host)) return Bad(texts::kBadHost);
  } else if (LooksNumeric(host)) {
    if (!IsIpv4(host)) return Bad(texts::kBadIpv4);
  } else if (!IsHostName(host)) {
    return Bad(texts::kBadHost);
  }
  return RelayAddressCheck{RelayAddress{std::string(host), port}, {}};
}

}  // namespace

RelayAddressCheck CheckRelayAddress(std::string_view text, std::int32_t default_port) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return {};

  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return Bad(texts::kBadHost);
    const std::string_view host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return CheckHostAndPort(host, std::nullopt, default_port, true);
    if (rest.front() != ':') return Bad(texts::kBadHost);
    return CheckHostAndPort(host, rest.substr(1), default_port, true);
  }

  const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
  if (colons == 0) return CheckHostAndPort(text, std::nullopt, default_port, false);
  if (colons == 1) {
    const std::size_t colon = text.find(':');
    return CheckHostAndPort(text.substr(0, colon), text.substr(colon + 1), default_port, false);
  }
  // More colons: an IPv6 address, which cannot carry a port outside
  // brackets ("fe80::1:8467" is itself an address).
  if (IsIpv6(text)) return CheckHostAndPort(text, std::nullopt, default_port, true);
  const std::size_t last = text.rfind(':');
  if (IsIpv6(text.substr(0, last)) && ParsePort(text.substr(last + 1)))
    return Bad(texts::kNeedBrackets);
  return Bad(texts::kBadHost);
}

std::string RelayAddressText(const std::string& host, std::int32_t port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  if (port < 1 || port > 65535) return host;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace ebbmark
