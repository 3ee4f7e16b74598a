#include "common/tcp_client.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

namespace ebbmark {
namespace {

using namespace std::chrono_literals;

class TcpClientTest : public ::testing::Test {
 protected:
  TcpClientTest() : client(MakeTcpClient(io)) {
    client->OnConnected = [this] { events.push_back("connected"); };
    client->OnClose = [this] { events.push_back("closed"); };
    client->OnData = [this](const std::string& d) { data += d; };
    client->OnError = [this](int n, const std::string&) { events.push_back(std::to_string(n)); };
  }

  // Runs the loop until `done` holds, for at most two seconds.
  template <typename Pred>
  void RunUntil(Pred done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      io.restart();
      io.run_for(10ms);
    }
  }

  asio::io_context io;
  std::unique_ptr<TcpClient> client;
  std::vector<std::string> events;
  std::string data;
};

TEST_F(TcpClientTest, ConnectsReceivesAndSeesThePeerClose) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket peer(io);
  acceptor.async_accept(peer, [&](const std::error_code& ec) {
    ASSERT_FALSE(ec);
    asio::write(peer, asio::buffer(std::string("hello")));
    peer.close();
  });
  client->Connect("127.0.0.1", acceptor.local_endpoint().port());
  EXPECT_NE(client->State(), kSockClosed);
  RunUntil([&] { return events.size() >= 2; });
  ASSERT_EQ(events, (std::vector<std::string>{"connected", "closed"}));
  EXPECT_EQ(data, "hello");
  EXPECT_EQ(client->State(), kSockClosing);
  client->Close();
  EXPECT_EQ(client->State(), kSockClosed);
}

TEST_F(TcpClientTest, ABacklogArrivesInChunksTheParserKeeps) {
  // The status parser drops any chunk of 1024 characters or more that comes
  // while no line is started; a backlog must never reach it in one piece.
  std::size_t largest = 0;
  client->OnData = [&](const std::string& d) {
    largest = std::max(largest, d.size());
    data += d;
  };
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket peer(io);
  const std::string backlog(20000, 'x');
  acceptor.async_accept(peer, [&](const std::error_code& ec) {
    ASSERT_FALSE(ec);
    asio::write(peer, asio::buffer(backlog));
    peer.close();
  });
  client->Connect("127.0.0.1", acceptor.local_endpoint().port());
  RunUntil([&] { return events.size() >= 2; });
  EXPECT_EQ(data.size(), backlog.size());
  EXPECT_LT(largest, 1024u);
}

TEST_F(TcpClientTest, RefusalIsReportedAsTheControlsNumber) {
  std::uint16_t port;
  {
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    port = probe.local_endpoint().port();
  }
  client->Connect("127.0.0.1", port);
  RunUntil([&] { return !events.empty(); });
  ASSERT_EQ(events, std::vector<std::string>{std::to_string(kErrConnectionRefused)});
  EXPECT_EQ(client->State(), kSockError);
}

TEST_F(TcpClientTest, PortOutsideRangeFailsWithoutWrappingToAnotherPort) {
  for (std::int32_t port : {0, -1, 65536, 65536 + 8467}) {
    events.clear();
    client->Connect("127.0.0.1", port);
    EXPECT_EQ(client->State(), kSockError);
    RunUntil([&] { return !events.empty(); });
    EXPECT_EQ(events, std::vector<std::string>{std::to_string(kErrAddressNotAvailable)});
  }
}

TEST_F(TcpClientTest, NoEventOfAClosedConnectionArrivesLater) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  client->Connect("127.0.0.1", acceptor.local_endpoint().port());
  client->Close();
  io.run_for(200ms);
  EXPECT_TRUE(events.empty());
}

TEST_F(TcpClientTest, DestroyingTheClientWithWorkPendingIsSafe) {
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  client->Connect("127.0.0.1", acceptor.local_endpoint().port());
  client.reset();  // the resolve or connect completes after this
  io.run_for(200ms);
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace ebbmark
