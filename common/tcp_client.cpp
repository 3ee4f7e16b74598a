#include "common/tcp_client.h"

#include <array>

#include <asio/connect.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

namespace ebbmark {
namespace {

int ControlErrorNumber(const std::error_code& ec) {
  if (ec == asio::error::connection_refused) return kErrConnectionRefused;
  if (ec == asio::error::timed_out) return kErrTimedOut;
  if (ec == asio::error::host_not_found || ec == asio::error::host_not_found_try_again ||
      ec == asio::error::no_data) {
    return kErrHostNotFound;
  }
  if (ec == asio::error::connection_reset) return kErrConnectionReset;
  return kErrOther;
}

class AsioTcpClient final : public TcpClient {
 public:
  explicit AsioTcpClient(asio::io_context& io) : io_(io), resolver_(io), socket_(io) {}
  ~AsioTcpClient() override { Close(); }

  int State() const override { return state_; }
  std::string RemoteHost() const override { return host_; }

  void Connect(const std::string& host, std::int32_t port) override {
    Close();
    host_ = host;
    const auto gen = token_->generation;
    auto token = token_;
    if (port < 1 || port > 65535) {
      state_ = kSockError;
      asio::post(io_, [this, token, gen] {
        if (gen == token->generation) Fire(kErrAddressNotAvailable, "Invalid port");
      });
      return;
    }
    state_ = kSockResolvingHost;
    resolver_.async_resolve(
        host, std::to_string(port),
        [this, token, gen](const std::error_code& ec,
                           asio::ip::tcp::resolver::results_type results) {
          if (gen != token->generation) return;
          if (ec) return Fail(ec);
          state_ = kSockConnecting;
          asio::async_connect(
              socket_, results,
              [this, token, gen](const std::error_code& ec2, const asio::ip::tcp::endpoint&) {
                if (gen != token->generation) return;
                if (ec2) return Fail(ec2);
                state_ = kSockConnected;
                if (OnConnected) OnConnected();
                if (gen == token->generation) Read(gen);
              });
        });
  }

  void Close() override {
    ++token_->generation;
    std::error_code ignored;
    resolver_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    state_ = kSockClosed;
  }

 private:
  void Read(std::uint64_t gen) {
    auto token = token_;
    socket_.async_read_some(asio::buffer(buffer_),
                            [this, token, gen](const std::error_code& ec, std::size_t n) {
                              if (gen != token->generation) return;
                              if (n > 0 && OnData) {
                                OnData(std::string(buffer_.data(), n));
                                if (gen != token->generation) return;
                              }
                              if (ec == asio::error::eof) {
                                state_ = kSockClosing;
                                if (OnClose) OnClose();
                                return;
                              }
                              if (ec) return Fail(ec);
                              Read(gen);
                            });
  }

  void Fail(const std::error_code& ec) {
    state_ = kSockError;
    Fire(ControlErrorNumber(ec), ec.message());
  }

  void Fire(int number, const std::string& text) {
    if (OnError) OnError(number, text);
  }

  asio::io_context& io_;
  asio::ip::tcp::resolver resolver_;
  asio::ip::tcp::socket socket_;
  // Reads stay below the parser's 1024-character rule: a backlog taken in one
  // larger read would arrive as one chunk and be thrown away whole, valid
  // lines and all.
  std::array<char, 512> buffer_{};
  int state_ = kSockClosed;
  std::string host_;
  // Shared with every pending handler: a handler of a closed connection, or
  // of a client already destroyed, sees a newer generation and touches nothing.
  struct Token {
    std::uint64_t generation = 0;
  };
  std::shared_ptr<Token> token_ = std::make_shared<Token>();
};

}  // namespace

std::unique_ptr<TcpClient> MakeTcpClient(asio::io_context& io) {
  return std::make_unique<AsioTcpClient>(io);
}

}  // namespace ebbmark
