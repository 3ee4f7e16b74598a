#include <array>

#include <asio/error.hpp>
#include <asio/ip/udp.hpp>

#include "config/model/network_seams.h"

namespace ebbmark {
namespace {

using asio::ip::udp;

// The receive buffer and sender live apart from the socket object, so a
// receive completing after the object is gone never writes into freed memory.
struct Inbox {
  std::array<char, 65536> data{};
  udp::endpoint sender;
};

bool PerDatagram(const std::error_code& ec) {
  return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
         ec == asio::error::message_size || ec == asio::error::network_unreachable ||
         ec == asio::error::host_unreachable || ec == asio::error::would_block ||
         ec == asio::error::interrupted;
}

class AsioUdpSocket final : public UdpSocket {
 public:
  explicit AsioUdpSocket(asio::io_context& io) : socket_(io) {}
  ~AsioUdpSocket() override { Close(); }

  bool Bind() override {
    Close();
    std::error_code ec;
    socket_.open(udp::v4(), ec);
    if (!ec) socket_.set_option(asio::socket_base::broadcast(true), ec);
    if (!ec) socket_.bind(udp::endpoint(udp::v4(), 0), ec);
    if (ec) {
      Close();
      return false;
    }
    alive_ = std::make_shared<char>();
    inbox_ = std::make_shared<Inbox>();
    Receive();
    return true;
  }

  std::uint16_t LocalPort() const override {
    if (!socket_.is_open()) return 0;
    std::error_code ec;
    const auto local = socket_.local_endpoint(ec);
    return ec ? 0 : local.port();
  }

  bool SendTo(const std::string& address, std::int32_t port, const std::string& data) override {
    if (!socket_.is_open() || port < 1 || port > 65535) return false;
    std::error_code ec;
    const auto target = asio::ip::make_address_v4(address, ec);
    if (ec) return false;
    auto payload = std::make_shared<std::string>(data);
    socket_.async_send_to(asio::buffer(*payload),
                          udp::endpoint(target, static_cast<std::uint16_t>(port)),
                          [payload](const std::error_code&, std::size_t) {});
    return true;
  }

  void Close() override {
    alive_.reset();
    std::error_code ignored;
    socket_.close(ignored);
  }

 private:
  void Receive() {
    std::weak_ptr<char> alive = alive_;
    auto inbox = inbox_;
    socket_.async_receive_from(asio::buffer(inbox->data), inbox->sender,
                               [this, alive, inbox](const std::error_code& ec, std::size_t n) {
                                 if (alive.expired()) return;
                                 // Errors that belong to one datagram (on Windows an earlier send's
                                 // "port unreachable" shows up here) are skipped; any other ends
                                 // the listening rather than spin on a socket that keeps failing.
                                 if (ec && !PerDatagram(ec)) return;
                                 if (!ec && OnDataArrival) {
                                   OnDataArrival(std::string(inbox->data.data(), n),
                                                 inbox->sender.address().to_string());
                                   if (alive.expired()) return;
                                 }
                                 Receive();
                               });
  }

  udp::socket socket_;
  std::shared_ptr<char> alive_;  // reset by Close: pending handlers then do nothing
  std::shared_ptr<Inbox> inbox_;
};

}  // namespace

std::unique_ptr<UdpSocket> MakeUdpSocket(asio::io_context& io) {
  return std::make_unique<AsioUdpSocket>(io);
}

}  // namespace ebbmark
