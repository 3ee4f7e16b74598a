#pragma once
// The network seams of the configuration program's relay finder: a datagram
// socket and the computer's address table. Production uses asio and the
// platform's table; tests use fakes.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include "platform/network_info.h"

namespace ebbmark {

// A UDP socket as the designed datagram control offers it. Events arrive on
// the loop; no event arrives after Close or destruction.
class UdpSocket {
 public:
  virtual ~UdpSocket() = default;
  // Opens an IPv4 socket with broadcast allowed, bound to every local address
  // on a port the system chooses, and starts listening. False when that
  // fails; the socket is then closed.
  virtual bool Bind() = 0;
  // The bound port; 0 while not bound.
  virtual std::uint16_t LocalPort() const = 0;
  // Sends one datagram to a dotted IPv4 address. False when it cannot go out
  // (not bound, an address that is not dotted IPv4, a port outside 1..65535);
  // a send refused later by the system is dropped silently.
  virtual bool SendTo(const std::string& address, std::int32_t port, const std::string& data) = 0;
  // Closes the socket, ignoring every error.
  virtual void Close() = 0;

  // One datagram, its bytes as received, and the sender's dotted address.
  std::function<void(const std::string& data, const std::string& sender)> OnDataArrival;
};

using UdpSocketFactory = std::function<std::unique_ptr<UdpSocket>()>;

std::unique_ptr<UdpSocket> MakeUdpSocket(asio::io_context& io);

}  // namespace ebbmark
