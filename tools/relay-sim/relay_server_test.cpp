#include "tools/relay-sim/relay_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ebbmark::sim {
namespace {

using namespace std::chrono_literals;

// Runs the loop until `done` holds, for at most a few seconds.
bool RunUntil(asio::io_context& io, const std::function<bool()>& done) {
  for (int i = 0; i < 400 && !done(); ++i) {
    if (io.stopped()) io.restart();
    io.run_for(10ms);
  }
  return done();
}

// Reads everything a client receives, chunk by chunk.
struct Reader {
  explicit Reader(asio::io_context& io) : socket(io) {}
  void Start() {
    socket.async_read_some(asio::buffer(buffer), [this](std::error_code ec, std::size_t n) {
      if (ec) {
        ended = true;
        return;
      }
      chunks.emplace_back(buffer.data(), n);
      text.append(buffer.data(), n);
      Start();
    });
  }
  // Complete LF ... CR lines received after the greeting.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::size_t pos = text.rfind(FormatGreeting(), 0) == 0 ? FormatGreeting().size() : 0;
    while ((pos = text.find('\n', pos)) != std::string::npos) {
      std::size_t cr = text.find('\r', pos);
      if (cr == std::string::npos) break;
      lines.push_back(text.substr(pos + 1, cr - pos - 1));
      pos = cr + 1;
    }
    return lines;
  }
  asio::ip::tcp::socket socket;
  std::array<char, 4096> buffer{};
  std::vector<std::string> chunks;
  std::string text;
  bool ended = false;
};

bool ValidStatusLine(const std::string& line) {
  std::vector<std::string> f;
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = line.find(',', from);
    f.push_back(line.substr(from, comma - from));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  const bool inverter = f.size() == 14 && f[0].size() == 1 && std::isdigit(f[0][0]);
  const bool fndc = f.size() == 12 && f[0].size() == 1 && f[0][0] >= 'a' && f[0][0] <= 'j';
  if (!inverter && !fndc) return false;
  int sum = fndc ? f[0][0] - 48 : 0;
  for (std::size_t i = fndc ? 1 : 0; i + 1 < f.size(); ++i) {
    if (f[i].empty()) return false;
    for (char c : f[i]) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      sum += c - '0';
    }
  }
  return std::to_string(sum) == f.back() || "0" + std::to_string(sum) == f.back();
}

class RelaySimServer : public ::testing::Test {
 protected:
  void StartServer(const std::string& scenario_text, bool udp = false, int duration = 0) {
    Scenario s;
    ASSERT_EQ(s.ParseText(scenario_text, "test"), "");
    ASSERT_EQ(s.Finish(), "");
    ServerConfig config;
    config.port = 0;
    config.udp = udp;
    config.udp_port = 0;
    config.name = "simhost";
    config.duration = duration;
    config.tick = 50ms;  // a scenario second lasts 50 ms here
    config.greeting_pause = 20ms;
    server = std::make_unique<RelayServer>(
        io, std::move(s), config, [this](const std::string& line) { output.push_back(line); });
    std::string what;
    ASSERT_FALSE(server->Start(&what)) << what;
  }

  // Clients live as long as the fixture, so no read handler outlives its
  // reader.
  Reader& NewClient() {
    clients.push_back(std::make_unique<Reader>(io));
    Reader& c = *clients.back();
    c.socket.connect(server->TcpEndpoint());
    c.Start();
    return c;
  }

  void TearDown() override {
    for (auto& c : clients) {
      std::error_code ec;
      c->socket.close(ec);
    }
    if (server) server->Stop();
    // Let the aborted handlers finish before the server goes.
    io.restart();
    io.run_for(50ms);
  }

  asio::io_context io;
  std::unique_ptr<RelayServer> server;
  std::vector<std::unique_ptr<Reader>> clients;
  std::vector<std::string> output;
};

TEST_F(RelaySimServer, GreetsAloneThenStreamsValidLines) {
  StartServer("inverters 0 1\nfndc a\nat 0 inverter 1 current 5\n");
  ASSERT_FALSE(output.empty());
  EXPECT_NE(output[0].find("tcp=127.0.0.1:" + std::to_string(server->TcpEndpoint().port())),
            std::string::npos);

  Reader& client = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return client.Lines().size() >= 9 || client.ended; }));
  ASSERT_FALSE(client.chunks.empty());
  EXPECT_EQ(client.chunks[0], FormatGreeting());
  std::vector<std::string> lines = client.Lines();
  for (const auto& line : lines) EXPECT_TRUE(ValidStatusLine(line)) << line;
  // Every device, every second, in declared order.
  EXPECT_EQ(lines[0][0], '0');
  EXPECT_EQ(lines[1], "1,05,00,00,120,120,00,02,000,02,264,000,000,28");
  EXPECT_EQ(lines[2][0], 'a');
  EXPECT_EQ(server->ClientCount(), 1u);
}

TEST_F(RelaySimServer, AllClientsGetTheSameStream) {
  StartServer("inverters 0\nfndc none\nramp 0 100 inverter 0 current 0 99\njitter current 3\n");
  Reader& a = NewClient();
  Reader& b = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return a.Lines().size() >= 6 && b.Lines().size() >= 6; }));
  auto la = a.Lines(), lb = b.Lines();
  la.resize(5);
  lb.resize(5);
  EXPECT_EQ(la, lb);
}

TEST_F(RelaySimServer, CloseFaultEndsConnections) {
  StartServer("at 3 fault close\n");
  Reader& client = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return client.ended; }));
  EXPECT_EQ(client.chunks.at(0), FormatGreeting());
  EXPECT_EQ(server->ClientCount(), 0u);
  EXPECT_NE(std::find(output.begin(), output.end(), "t=3 fault close"), output.end());
}

TEST_F(RelaySimServer, RefuseFaultRefusesThenListensOnTheSamePort) {
  StartServer("at 2 fault close\nat 2 fault refuse 20\n");
  const auto endpoint = server->TcpEndpoint();
  Reader& first = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return first.ended; }));

  asio::ip::tcp::socket refused(io);
  std::error_code ec;
  refused.connect(endpoint, ec);
  EXPECT_EQ(ec, asio::error::connection_refused);

  ASSERT_TRUE(RunUntil(io, [&] { return server->Elapsed() >= 23; }));
  Reader& again = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return again.Lines().size() >= 2; }));
  EXPECT_EQ(again.chunks.at(0), FormatGreeting());
}

TEST_F(RelaySimServer, GarbageAndSplitWritesKeepTheLinesIntact) {
  StartServer(
      "fndc none\nat 2 fault garbage 300\nat 3 fault split 4\nat 7 fault bytewise 2\n"
      "at 9 fault flood 1\n");
  Reader& client = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return server->Elapsed() >= 12; }));
  ASSERT_TRUE(RunUntil(io, [&] { return client.Lines().size() >= 12; }));
  EXPECT_NE(client.text.find('\0'), std::string::npos);  // the junk arrived
  // The junk (which may hold LF and CR) can spoil the line after it too;
  // the split, one-byte and flood writes after it must spoil none.
  auto lines = client.Lines();
  std::size_t after_junk = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool junk = std::any_of(lines[i].begin(), lines[i].end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e;
    });
    if (junk) after_junk = i + 2;
  }
  ASSERT_GT(after_junk, 0u);
  ASSERT_GE(lines.size(), after_junk + 8);
  for (std::size_t i = after_junk; i < lines.size(); ++i) {
    EXPECT_TRUE(ValidStatusLine(lines[i])) << lines[i];
  }
  EXPECT_FALSE(client.ended);
}

TEST_F(RelaySimServer, DurationStopsTheServer) {
  StartServer("", false, /*duration=*/4);
  bool stopped = false;
  server->OnStop([&] { stopped = true; });
  Reader& client = NewClient();
  ASSERT_TRUE(RunUntil(io, [&] { return stopped && client.ended; }));
  EXPECT_EQ(server->Elapsed(), 4);
  EXPECT_EQ(output.back(), "t=4 duration over, stopping");
}

TEST_F(RelaySimServer, AnswersDiscoveryQueriesOnly) {
  StartServer("inverters 0 1\nfndc a\n", /*udp=*/true);
  asio::ip::udp::socket finder(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto relay = server->UdpEndpoint();
  // Near misses first: were any of them answered, that answer would arrive
  // before the one to the real query.
  for (std::string_view q : {"quorral", "Quorral\n", "Quorr", "Quorral"}) {
    finder.send_to(asio::buffer(q.data(), q.size()), relay);
  }
  std::array<char, 256> buf{};
  asio::ip::udp::endpoint from;
  std::size_t got = 0;
  bool done = false;
  finder.async_receive_from(asio::buffer(buf), from, [&](std::error_code ec, std::size_t n) {
    done = !ec;
    got = n;
  });
  ASSERT_TRUE(RunUntil(io, [&] { return done; }));
  EXPECT_EQ(std::string(buf.data(), got),
            "\nTCP,simhost," + std::to_string(server->TcpEndpoint().port()) + ",2,0,1\r");
  EXPECT_EQ(from.port(), relay.port());
}

}  // namespace
}  // namespace ebbmark::sim
