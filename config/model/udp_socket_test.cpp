#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/model/network_seams.h"

namespace ebbmark {
namespace {

using namespace std::chrono_literals;

struct Received {
  std::string data;
  std::string sender;
};

// Runs the loop until `done` holds or a generous bound passes.
template <typename Pred>
bool RunUntil(asio::io_context& io, Pred done) {
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  for (int i = 0; i < 5000 && !done() && std::chrono::steady_clock::now() < give_up; ++i) {
    io.restart();
    io.run_for(1ms);
  }
  return done();
}

// Lets whatever is under way arrive: a short, bounded run of the loop.
void Drain(asio::io_context& io) {
  for (int i = 0; i < 50; ++i) {
    io.restart();
    io.run_for(2ms);
  }
}

TEST(UdpSocket, DatagramsTravelBothWaysOnLoopback) {
  asio::io_context io;
  auto finder = MakeUdpSocket(io);
  auto relay = MakeUdpSocket(io);
  ASSERT_TRUE(finder->Bind());
  ASSERT_TRUE(relay->Bind());
  ASSERT_NE(finder->LocalPort(), 0);
  ASSERT_NE(finder->LocalPort(), relay->LocalPort());

  std::vector<Received> at_relay, at_finder;
  relay->OnDataArrival = [&](const std::string& d, const std::string& s) {
    at_relay.push_back({d, s});
  };
  finder->OnDataArrival = [&](const std::string& d, const std::string& s) {
    at_finder.push_back({d, s});
  };

  ASSERT_TRUE(finder->SendTo("127.0.0.1", relay->LocalPort(), "Quorral"));
  ASSERT_TRUE(RunUntil(io, [&] { return !at_relay.empty(); }));
  EXPECT_EQ(at_relay[0].data, "Quorral");
  EXPECT_EQ(at_relay[0].sender, "127.0.0.1");

  // Two answers arrive as two datagrams, bytes kept as they are.
  const std::string binary("\nTCP,r\0\xff,1,2,0,1\r", 17);
  ASSERT_TRUE(relay->SendTo("127.0.0.1", finder->LocalPort(), "\nTCP,relay,8467,2,0,1\r"));
  ASSERT_TRUE(relay->SendTo("127.0.0.1", finder->LocalPort(), binary));
  ASSERT_TRUE(RunUntil(io, [&] { return at_finder.size() == 2; }));
  EXPECT_EQ(at_finder[0].data, "\nTCP,relay,8467,2,0,1\r");
  EXPECT_EQ(at_finder[1].data, binary);
  EXPECT_EQ(at_finder[1].sender, "127.0.0.1");
}

TEST(UdpSocket, RefusesWhatCannotBeSent) {
  asio::io_context io;
  auto socket = MakeUdpSocket(io);
  EXPECT_EQ(socket->LocalPort(), 0);
  EXPECT_FALSE(socket->SendTo("127.0.0.1", 8466, "Quorral"));  // not bound
  ASSERT_TRUE(socket->Bind());
  EXPECT_FALSE(socket->SendTo("127.0.0.1", 0, "Quorral"));
  EXPECT_FALSE(socket->SendTo("127.0.0.1", 65536, "Quorral"));
  EXPECT_FALSE(socket->SendTo("localhost", 8466, "Quorral"));
  EXPECT_FALSE(socket->SendTo("", 8466, "Quorral"));
  EXPECT_FALSE(socket->SendTo("::1", 8466, "Quorral"));
  socket->Close();
  EXPECT_EQ(socket->LocalPort(), 0);
  EXPECT_FALSE(socket->SendTo("127.0.0.1", 8466, "Quorral"));
}

TEST(UdpSocket, NothingArrivesAfterCloseOrDestruction) {
  asio::io_context io;
  auto sender = MakeUdpSocket(io);
  auto receiver = MakeUdpSocket(io);
  ASSERT_TRUE(sender->Bind());
  ASSERT_TRUE(receiver->Bind());
  int arrivals = 0;
  receiver->OnDataArrival = [&](const std::string&, const std::string&) { ++arrivals; };
  const auto port = receiver->LocalPort();

  // The datagram is waiting in the socket when it is closed.
  ASSERT_TRUE(sender->SendTo("127.0.0.1", port, "one"));
  receiver->Close();
  Drain(io);
  EXPECT_EQ(arrivals, 0);

  // Destroyed with a receive pending: its handler must not touch it.
  ASSERT_TRUE(receiver->Bind());
  ASSERT_TRUE(sender->SendTo("127.0.0.1", receiver->LocalPort(), "two"));
  receiver.reset();
  Drain(io);
  EXPECT_EQ(arrivals, 0);
}

TEST(UdpSocket, HandlerMayCloseItsOwnSocket) {
  asio::io_context io;
  auto sender = MakeUdpSocket(io);
  auto receiver = MakeUdpSocket(io);
  ASSERT_TRUE(sender->Bind());
  ASSERT_TRUE(receiver->Bind());
  int arrivals = 0;
  receiver->OnDataArrival = [&](const std::string&, const std::string&) {
    ++arrivals;
    receiver.reset();
  };
  ASSERT_TRUE(sender->SendTo("127.0.0.1", receiver->LocalPort(), "a"));
  ASSERT_TRUE(sender->SendTo("127.0.0.1", receiver->LocalPort(), "b"));
  ASSERT_TRUE(RunUntil(io, [&] { return arrivals > 0; }));
  Drain(io);
  EXPECT_EQ(arrivals, 1);
}

}  // namespace
}  // namespace ebbmark
