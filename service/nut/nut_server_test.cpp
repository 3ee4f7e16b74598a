#include "service/nut/nut_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "base/clock.h"

namespace ebbmark::nut {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

struct Rec {
  EventType type;
  int id;
  std::string text;
};

// A client of the server under test, on the test's own thread: it never
// blocks on a read, so the one loop keeps turning.
class Client {
 public:
  Client(asio::io_context& io, const tcp::endpoint& to) : socket_(io) {
    socket_.connect(to);
    socket_.non_blocking(true);
  }
  void Send(const std::string& text) {
    socket_.non_blocking(false);
    asio::write(socket_, asio::buffer(text));
    socket_.non_blocking(true);
  }
  // Reads what has arrived; false once the server has closed the connection.
  bool Poll() {
    char buf[4096];
    for (;;) {
      std::error_code ec;
      const std::size_t n = socket_.read_some(asio::buffer(buf), ec);
      if (ec == asio::error::would_block) return true;
      if (ec) {
        closed_ = true;
        return false;
      }
      got_.append(buf, n);
    }
  }
  const std::string& got() const { return got_; }
  bool closed() const { return closed_; }
  tcp::socket& socket() { return socket_; }

 private:
  tcp::socket socket_;
  std::string got_;
  bool closed_ = false;
};

class NutServerTest : public ::testing::Test {
 protected:
  NutServerTest() {
    limits.sweep = 20ms;
    Make();
  }

  void Make() {
    server = std::make_unique<Server>(
        io, clock,
        [this](EventType type, int id, const std::string& text) {
          records.push_back({type, id, text});
        },
        limits);
    server->on_logins_changed = [this] { ++login_changes; };
    ServerConfig config;
    config.user = "monuser";
    config.password = "s3cret";
    server->SetConfig(config);
    Snapshot s;
    s.stale = false;
    s.vars = {{"battery.charge", "87"}, {"ups.status", "OL"}};
    server->SetSnapshot(s);
  }

  tcp::endpoint Start() {
    server->Listen({{"127.0.0.1"}, 0});
    const auto eps = server->ListeningEndpoints();
    EXPECT_EQ(eps.size(), 1u);
    return eps.empty() ? tcp::endpoint() : eps.front();
  }

  // Turns the loop until `done` holds; bounded in turns and time.
  bool Until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (int i = 0; i < 100000 && std::chrono::steady_clock::now() < end; ++i) {
      if (done()) return true;
      io.run_for(2ms);
      io.restart();
    }
    return done();
  }

  // The answer to `line` once it has all arrived (it ends with `end`).
  std::string Ask(Client& c, const std::string& line, const std::string& end = "\n") {
    const std::size_t before = c.got().size();
    c.Send(line + "\n");
    Until([&] {
      c.Poll();
      return c.got().size() > before && c.got().substr(before).ends_with(end);
    });
    return c.got().substr(before);
  }

  int Count(int id, const std::string& part) const {
    int n = 0;
    for (const auto& r : records) n += r.id == id && r.text.find(part) != std::string::npos;
    return n;
  }

  asio::io_context io;
  ManualClock clock;
  ServerLimits limits;
  std::vector<Rec> records;
  int login_changes = 0;
  std::unique_ptr<Server> server;
};

TEST_F(NutServerTest, AnswersLinesAsTheyArriveInPieces) {
  Client c(io, Start());
  EXPECT_EQ(Ask(c, "GET VAR ebbmark ups.status"), "VAR ebbmark ups.status \"OL\"\n");
  // One command in three pieces, CR LF ended, and two in one piece.
  c.Send("GET VAR eb");
  Until([] { return false; }, 20ms);
  c.Send("bmark battery.charge\r\n");
  EXPECT_EQ(Ask(c, "NETVER", "1.3\n"), "VAR ebbmark battery.charge \"87\"\n1.3\n");
  EXPECT_EQ(Ask(c, "NETVER\nNETVER", "1.3\n1.3\n"), "1.3\n1.3\n");

  // A new snapshot is what the next answer is made from.
  Snapshot stale;
  server->SetSnapshot(stale);
  EXPECT_EQ(Ask(c, "GET VAR ebbmark ups.status"), "ERR DATA-STALE\n");
}

TEST_F(NutServerTest, ALineOverTheLimitDisconnects) {
  const auto at = Start();
  Client ok(io, at);
  // 512 bytes of command are still a command (it is refused as one).
  EXPECT_EQ(Ask(ok, std::string(512, 'X')), "ERR UNKNOWN-COMMAND\n");

  Client whole(io, at);
  whole.Send(std::string(513, 'X') + "\n");
  EXPECT_TRUE(Until([&] { return !whole.Poll(); }));

  // Without a line end at all: dropped as soon as it is too long.
  Client endless(io, at);
  endless.Send(std::string(10000, 'A'));
  EXPECT_TRUE(Until([&] { return !endless.Poll(); }));
  EXPECT_EQ(endless.got(), "");

  // NULs are bytes of a line like any other; the client is answered.
  EXPECT_NE(Ask(ok, std::string("GET\0VAR", 7)), "");
  EXPECT_TRUE(Until([&] { return server->ClientCount() == 1; }));
  EXPECT_TRUE(ok.Poll());
}

TEST_F(NutServerTest, AClientThatDoesNotReadIsDropped) {
  const auto at = Start();
  Client lazy(io, at);
  lazy.socket().set_option(asio::socket_base::receive_buffer_size(4096));
  Client good(io, at);
  // Each answer is about 80 bytes: far more than 64 KiB asked for, never read.
  std::string many;
  for (int i = 0; i < 200; ++i) many += "LIST VAR ebbmark\n";
  bool dropped = false;
  const auto end = std::chrono::steady_clock::now() + 10s;
  for (int round = 0; round < 1000 && !dropped && std::chrono::steady_clock::now() < end; ++round) {
    std::error_code ec;
    lazy.socket().non_blocking(true);
    asio::write(lazy.socket(), asio::buffer(many), ec);
    Until([] { return false; }, 10ms);
    dropped = server->ClientCount() == 1;
  }
  EXPECT_TRUE(dropped);
  EXPECT_EQ(Ask(good, "NETVER"), "1.3\n");
}

TEST_F(NutServerTest, OneClientMoreThanTheLimitIsRefusedWithOneRecordAMinute) {
  limits.max_clients = 3;
  Make();
  const auto at = Start();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<Client>(io, at));
  EXPECT_TRUE(Until([&] { return server->ClientCount() == 3; }));
  Client extra1(io, at);
  Client extra2(io, at);
  EXPECT_TRUE(Until([&] { return !extra1.Poll() && !extra2.Poll(); }));
  EXPECT_EQ(Count(110, "refused a connection from 127.0.0.1: it already serves 3 clients"), 1);
  // Those in keep being answered.
  EXPECT_EQ(Ask(*clients[0], "NETVER"), "1.3\n");

  clock.Advance(60s);
  Client extra3(io, at);
  EXPECT_TRUE(Until([&] { return !extra3.Poll(); }));
  EXPECT_EQ(Count(110, "refused a connection"), 2);

  // A place that frees up is taken again.
  clients.pop_back();
  EXPECT_TRUE(Until([&] { return server->ClientCount() == 2; }));
  Client next(io, at);
  EXPECT_EQ(Ask(next, "NETVER"), "1.3\n");
}

TEST_F(NutServerTest, AQuietClientIsDroppedAfterFiveMinutes) {
  const auto at = Start();
  Client quiet(io, at);
  Client talking(io, at);
  EXPECT_TRUE(Until([&] { return server->ClientCount() == 2; }));
  clock.Advance(299s);
  Ask(talking, "NETVER");
  Until([] { return false; }, 60ms);
  EXPECT_EQ(server->ClientCount(), 2u) << "no one has been quiet for five minutes yet";
  clock.Advance(1s);
  EXPECT_TRUE(Until([&] { return !quiet.Poll(); }));
  EXPECT_TRUE(talking.Poll());
  EXPECT_EQ(server->ClientCount(), 1u);
}

TEST_F(NutServerTest, FailedSignInsCloseAndAreRecordedOncePerAddressAMinute) {
  const auto at = Start();
  Client a(io, at);
  Ask(a, "USERNAME monuser");
  Ask(a, "PASSWORD wrong-one");
  for (int i = 0; i < 4; ++i) EXPECT_NE(Ask(a, "LOGIN ebbmark"), "OK\n");
  EXPECT_TRUE(a.Poll()) << "four failures leave the connection open";
  Ask(a, "LOGIN ebbmark");
  EXPECT_TRUE(Until([&] { return !a.Poll(); })) << "the fifth closes it";

  Client b(io, at);
  Ask(b, "USERNAME monuser");
  Ask(b, "PASSWORD wrong-two");
  Ask(b, "LOGIN ebbmark");
  EXPECT_EQ(Count(110, "A NUT client at 127.0.0.1 failed to sign in"), 1);
  for (const auto& r : records) {
    EXPECT_EQ(r.text.find("wrong-one"), std::string::npos);
    EXPECT_EQ(r.text.find("wrong-two"), std::string::npos);
  }
  clock.Advance(60s);
  Until([] { return false; }, 50ms);  // a sweep forgets the old entry
  Ask(b, "LOGIN ebbmark");
  EXPECT_EQ(Count(110, "failed to sign in"), 2);
}

TEST_F(NutServerTest, LoggedInSecondariesAreListedUntilTheyLeaveOrDrop) {
  const auto at = Start();
  auto one = std::make_unique<Client>(io, at);
  Client two(io, at);
  for (Client* c : {one.get(), &two}) {
    Ask(*c, "USERNAME monuser");
    Ask(*c, "PASSWORD s3cret");
    EXPECT_EQ(Ask(*c, "LOGIN ebbmark"), "OK\n");
  }
  EXPECT_EQ(server->LoggedIn(), (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
  EXPECT_EQ(login_changes, 2);
  EXPECT_EQ(Ask(two, "GET NUMLOGINS ebbmark"), "NUMLOGINS ebbmark 2\n");

  one.reset();  // drops its connection
  EXPECT_TRUE(Until([&] { return server->LoggedIn().size() == 1; }));
  EXPECT_EQ(Ask(two, "LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(Until([&] { return !two.Poll(); }));
  EXPECT_TRUE(server->LoggedIn().empty());
  EXPECT_EQ(login_changes, 4);
}

TEST_F(NutServerTest, APortInUseIsRecordedOnceAndTriedAgainEachMinute) {
  asio::io_context other;
  auto taken =
      std::make_unique<tcp::acceptor>(other, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::uint16_t port = taken->local_endpoint().port();
  server->Listen({{"127.0.0.1", "192.0.2.1", "not-an-address"}, port});
  EXPECT_TRUE(server->ListeningEndpoints().empty());
  EXPECT_EQ(Count(109, "cannot listen on 127.0.0.1 port " + std::to_string(port) + ": "), 1);
  EXPECT_EQ(Count(109, "cannot listen on 192.0.2.1 port"), 1);
  EXPECT_EQ(Count(109, "cannot listen on not-an-address port " + std::to_string(port) +
                           ": it is not an IP address"),
            1);

  clock.Advance(59s);
  Until([] { return false; }, 60ms);
  taken.reset();
  Until([] { return false; }, 60ms);
  EXPECT_TRUE(server->ListeningEndpoints().empty()) << "not before the minute is up";
  clock.Advance(1s);
  EXPECT_TRUE(Until([&] { return server->ListeningEndpoints().size() == 1; }));
  EXPECT_EQ(Count(110, "now listens on 127.0.0.1 port " + std::to_string(port)), 1);
  clock.Advance(60s);
  Until([] { return false; }, 60ms);
  EXPECT_EQ(Count(109, "cannot listen"), 3) << "the failures are not recorded again";

  Client c(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  EXPECT_EQ(Ask(c, "NETVER"), "1.3\n");
}

TEST_F(NutServerTest, ANewListenClosesTheOldAndOffClosesAll) {
  const auto first = Start();
  Client c(io, first);
  EXPECT_TRUE(Until([&] { return server->ClientCount() == 1; }));
  server->Listen({{"127.0.0.1"}, 0});  // the same again: nothing changes
  EXPECT_EQ(server->ClientCount(), 1u);
  server->Close();
  EXPECT_TRUE(Until([&] { return !c.Poll(); }));
  EXPECT_TRUE(server->ListeningEndpoints().empty());
  std::error_code ec;
  tcp::socket s(io);
  s.connect(first, ec);
  EXPECT_TRUE(ec) << "nothing listens any more";
}

}  // namespace
}  // namespace ebbmark::nut
