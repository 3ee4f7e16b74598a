#pragma once
// TLS over an already connected socket through Schannel, the system's own
// TLS, driven by asio's asynchronous reads and writes on the program's loop.
// The mail client uses it for STARTTLS and for TLS from the first byte; it
// reads and writes through it as it would through the plain socket.

#include <memory>
#include <string>
#include <system_error>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

namespace ebbmark {

// How the server's certificate is judged.
struct TlsCheck {
  bool verify = false;  // false: encrypt only, any certificate is taken
  std::string host;     // the name (or address) the certificate must carry
  // PEM file of CA certificates trusted besides the system's store; empty in
  // production.
  std::string ca_file;
};

class TlsStream {
 public:
  explicit TlsStream(asio::ip::tcp::socket& socket);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // The handshake, then the certificate check when asked for. On failure
  // `ec` is set and failure() says why in words; untrusted() tells a
  // certificate that did not pass from any other failure.
  asio::awaitable<void> Handshake(const TlsCheck& check, std::error_code& ec);

  // Appends what the server sent next, decrypted, to `out` (at least one
  // byte unless `ec` is set).
  asio::awaitable<void> ReadSome(std::string& out, std::error_code& ec);

  // Encrypts and sends all of `data`.
  asio::awaitable<void> Write(const std::string& data, std::error_code& ec);

  // Tells the server the encrypted session ends (close_notify); errors are
  // of no interest at that point.
  asio::awaitable<void> Close();

  const std::string& failure() const { return failure_; }
  bool untrusted() const { return untrusted_; }

 private:
  struct State;
  asio::awaitable<void> HandshakeLoop(std::error_code& ec);
  asio::awaitable<void> ReadRaw(std::error_code& ec);
  asio::awaitable<void> SendRaw(const void* data, std::size_t size, std::error_code& ec);
  bool CheckCertificate(const TlsCheck& check);

  asio::ip::tcp::socket& socket_;
  std::unique_ptr<State> state_;
  std::string failure_;
  bool untrusted_ = false;
};

}  // namespace ebbmark
