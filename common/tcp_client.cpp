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
    const auto gen = generation_;
    if (port < 1 || port > 65535) {
      state_ = kSockError;
      asio::post(io_, [this, gen] {
        if (gen == generation_) Fire(kErrAddressNotAvailable, "Invalid port");
      });
      return;
    }
    state_ = kSockResolvingHost;
    resolver_.async_resolve(
        host, std::to_string(port),
        [this, gen](const std::error_code& ec, asio::ip::tcp::resolver::results_type results) {
          if (gen != generation_) return;
          if (ec) return Fail(ec);
          state_ = kSockConnecting;
          asio::async_connect(
              socket_, results,
              [this, gen](const std::error_code& ec2, const asio::ip::tcp::endpoint&) {
                if (gen != generation_) return;
                if (ec2) return Fail(ec2);
                state_ = kSockConnected;
                if (OnConnected) OnConnected();
                if (gen == generation_) Read(gen);
              });
        });
  }

  void Close() override {
    ++generation_;
    std::error_code ignored;
    resolver_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    state_ = kSockClosed;
  }

 private:
  void Read(std::uint64_t gen) {
    socket_.async_read_some(asio::buffer(buffer_),
                            [this, gen](const std::error_code& ec, std::size_t n) {
                              if (gen != generation_) return;
                              if (n > 0 && OnData) {
                                OnData(std::string(buffer_.data(), n));
                                if (gen != generation_) return;
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
  std::uint64_t generation_ = 0;
};

}  // namespace

std::unique_ptr<TcpClient> MakeTcpClient(asio::io_context& io) {
  return std::make_unique<AsioTcpClient>(io);
}

}  // namespace ebbmark
