#pragma once
// A TCP client with the states and events of the designed socket control:
// both programs keep their relay link with it. Events arrive on the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

namespace ebbmark {

enum SocketState : int {
  kSockClosed = 0,
  kSockResolvingHost = 4,
  kSockConnecting = 6,
  kSockConnected = 7,
  kSockClosing = 8,
  kSockError = 9,
};

// Error numbers in the socket control's terms, whatever the platform says.
inline constexpr int kErrConnectionRefused = 10061;
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrAddressNotAvailable = 10049;
inline constexpr int kErrHostNotFound = 11001;
inline constexpr int kErrConnectionReset = 10054;
inline constexpr int kErrOther = 10000;

class TcpClient {
 public:
  virtual ~TcpClient() = default;

  virtual int State() const = 0;
  // Starts a connection; completes later through OnConnected or OnError. A
  // port outside 1..65535 fails at once (error state), it never wraps.
  virtual void Connect(const std::string& host, std::int32_t port) = 0;
  // Closes the socket, ignoring every error; no event of the old connection
  // arrives afterwards.
  virtual void Close() = 0;
  // The host passed to the last Connect.
  virtual std::string RemoteHost() const = 0;

  std::function<void()> OnConnected;
  std::function<void()> OnClose;  // closed by the peer (state: closing)
  std::function<void(const std::string& chunk)> OnData;
  std::function<void(int number, const std::string& description)> OnError;  // state: error
};

std::unique_ptr<TcpClient> MakeTcpClient(asio::io_context& io);

}  // namespace ebbmark
