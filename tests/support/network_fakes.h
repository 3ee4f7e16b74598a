#pragma once
// Fakes of the relay finder's network seams: an address table set by the
// test, and a datagram socket that records what was sent and delivers the
// answers a test scripts.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/model/network_seams.h"

namespace ebbmark::testing {

// An address in network byte order from its four dotted parts.
inline std::uint32_t Ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                  static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  std::uint32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

class FakeNetworkInfo : public NetworkInfo {
 public:
  std::vector<IpAddressRow> rows;
  bool readable = true;
  bool AddressTable(std::vector<IpAddressRow>& out) override {
    out.clear();
    if (readable) out = rows;
    return readable;
  }
  void Add(std::uint32_t address, std::uint32_t mask) { rows.push_back({address, mask}); }
};

class FakeUdpSocket : public UdpSocket {
 public:
  struct Datagram {
    std::string address;
    std::int32_t port;
    std::string data;
  };
  bool bind_ok = true;
  bool bound = false;
  int binds = 0, closes = 0;
  std::vector<Datagram> sent;

  bool Bind() override {
    ++binds;
    bound = bind_ok;
    return bound;
  }
  std::uint16_t LocalPort() const override { return bound ? 50123 : 0; }
  bool SendTo(const std::string& address, std::int32_t port, const std::string& data) override {
    if (!bound) return false;
    sent.push_back({address, port, data});
    return true;
  }
  void Close() override {
    ++closes;
    bound = false;
  }

  // A relay answers; nothing arrives on a closed socket.
  void Answer(const std::string& data, const std::string& sender) {
    if (bound && OnDataArrival) OnDataArrival(data, sender);
  }
};

// Hands out fake sockets. The socket's owner (the finder) decides its
// lifetime; `last` is the newest socket, null once it has been destroyed.
struct FakeUdpFactory {
  FakeUdpSocket* last = nullptr;
  int made = 0;
  bool bind_ok = true;

  UdpSocketFactory Factory() {
    return [this]() -> std::unique_ptr<UdpSocket> {
      auto socket = std::make_unique<Tracked>(this);
      socket->bind_ok = bind_ok;
      last = socket.get();
      ++made;
      return socket;
    };
  }

 private:
  struct Tracked : FakeUdpSocket {
    explicit Tracked(FakeUdpFactory* f) : factory(f) {}
    ~Tracked() override {
      if (factory->last == this) factory->last = nullptr;
    }
    FakeUdpFactory* factory;
  };
};

}  // namespace ebbmark::testing
