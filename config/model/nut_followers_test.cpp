#include "config/model/nut_followers.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

namespace ebbmark {
namespace {

using asio::ip::tcp;
using Kind = FollowersAnswer::Kind;

FollowersAnswer Answer(Kind kind, int count = 0, std::string error = {}) {
  return {kind, count, std::move(error)};
}

TEST(NumLoginsAnswer, ReadsTheCountOrTheError) {
  EXPECT_EQ(ParseNumLoginsAnswer("NUMLOGINS ebbmark 2", "ebbmark"), (Answer(Kind::Count, 2)));
  EXPECT_EQ(ParseNumLoginsAnswer("NUMLOGINS ebbmark 0\r", "ebbmark"), (Answer(Kind::Count, 0)));
  EXPECT_EQ(ParseNumLoginsAnswer("NUMLOGINS \"ups\" 64", "ups"), (Answer(Kind::Count, 64)));
  EXPECT_EQ(ParseNumLoginsAnswer("ERR UNKNOWN-UPS", "ebbmark"),
            (Answer(Kind::Error, 0, "UNKNOWN-UPS")));
  EXPECT_EQ(ParseNumLoginsAnswer("ERR ACCESS-DENIED extra words", "x").error, "ACCESS-DENIED");
  // Anything else is no answer: another device, no number, a negative or
  // partly numeric count, an empty line, a line from another protocol.
  for (const char* line :
       {"NUMLOGINS other 2", "NUMLOGINS ebbmark", "NUMLOGINS ebbmark -1", "NUMLOGINS ebbmark 2x",
        "NUMLOGINS ebbmark 99999999999", "", "ERR", "SSH-2.0-OpenSSH_9.2", "numlogins ebbmark 1",
        "ERR THIS-IS-NOT-AN-ERROR-WORD-OF-ANY-NUT-SERVER"})
    EXPECT_EQ(ParseNumLoginsAnswer(line, "ebbmark").kind, Kind::NoAnswer) << line;
}

TEST(NumLoginsAnswer, AsksOnTheLoopbackOfTheFamilyListenedOn) {
  EXPECT_EQ(FollowersQueryAddress(""), "127.0.0.1");
  EXPECT_EQ(FollowersQueryAddress("127.0.0.1,::1"), "127.0.0.1");
  EXPECT_EQ(FollowersQueryAddress(" 0.0.0.0 , :: "), "127.0.0.1");
  EXPECT_EQ(FollowersQueryAddress("::"), "::1");
  EXPECT_EQ(FollowersQueryAddress("::1"), "::1");
  EXPECT_EQ(FollowersQueryAddress("192.168.1.5,10.0.0.2"), "192.168.1.5");
  EXPECT_EQ(FollowersQueryAddress(",,"), "127.0.0.1");
}

// A NUT server on 127.0.0.1 for one connection: it reads one line, records
// it, and sends `reply` (then closes, unless told to stay silent).
class OneShotServer {
 public:
  OneShotServer(asio::io_context& io, std::string reply, bool answer = true)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        socket_(io),
        reply_(std::move(reply)),
        answer_(answer) {
    acceptor_.async_accept(socket_, [this](const std::error_code& ec) {
      if (ec) return;
      ++connections;
      asio::async_read_until(socket_, in_, '\n', [this](const std::error_code& e, std::size_t n) {
        if (e) return;
        heard = std::string(static_cast<const char*>(in_.data().data()), n);
        if (!answer_) return;
        asio::async_write(socket_, asio::buffer(reply_),
                          [this](const std::error_code&, std::size_t) {
                            std::error_code ignored;
                            socket_.close(ignored);
                          });
      });
    });
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

  int connections = 0;
  std::string heard;

 private:
  tcp::acceptor acceptor_;
  tcp::socket socket_;
  asio::streambuf in_;
  std::string reply_;
  bool answer_;
};

class FollowersQueryTest : public ::testing::Test {
 protected:
  // Runs the loop until an answer has come, for at most five seconds.
  void RunUntilAnswered() {
    for (int i = 0; i < 500 && !answer; ++i) {
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
    }
  }
  void Ask(std::uint16_t port, const std::string& device = "ebbmark") {
    query.Ask("127.0.0.1", port, device, [this](FollowersAnswer a) {
      ++answers;
      answer = a;
    });
  }
  asio::io_context io;
  FollowersQuery query{io};
  std::optional<FollowersAnswer> answer;
  int answers = 0;
};

TEST_F(FollowersQueryTest, AsksTheServerAndReadsItsCount) {
  OneShotServer server(io, "NUMLOGINS ebbmark 3\n");
  Ask(server.Port());
  EXPECT_TRUE(query.Busy());
  RunUntilAnswered();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, (Answer(Kind::Count, 3)));
  EXPECT_EQ(server.heard, "GET NUMLOGINS ebbmark\n");
  EXPECT_EQ(answers, 1);
  EXPECT_FALSE(query.Busy());
}

TEST_F(FollowersQueryTest, ANameWithABlankIsQuoted) {
  OneShotServer server(io, "ERR UNKNOWN-UPS\n");
  Ask(server.Port(), "my \"ups\"");
  RunUntilAnswered();
  EXPECT_EQ(server.heard, "GET NUMLOGINS \"my \\\"ups\\\"\"\n");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->kind, Kind::Error);
}

TEST_F(FollowersQueryTest, NothingListeningMeansNotRunning) {
  std::uint16_t port = 0;
  {
    tcp::acceptor closed(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    port = closed.local_endpoint().port();
  }
  Ask(port);
  RunUntilAnswered();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->kind, Kind::NotRunning);
}

TEST_F(FollowersQueryTest, ACutOffOrOverlongAnswerIsNoAnswer) {
  {
    OneShotServer server(io, "NUMLOGINS ebb");  // closed before the line ends
    Ask(server.Port());
    RunUntilAnswered();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->kind, Kind::NoAnswer);
  }
  answer.reset();
  {
    OneShotServer server(io, std::string(4096, 'x') + "\n");
    Ask(server.Port());
    RunUntilAnswered();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->kind, Kind::NoAnswer);
  }
  answer.reset();
  query.Ask("not an address", 3493, "ebbmark", [this](FollowersAnswer a) { answer = a; });
  RunUntilAnswered();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->kind, Kind::NoAnswer);
}

TEST_F(FollowersQueryTest, NoAnswerAfterCancelOrANewQuestion) {
  OneShotServer silent(io, "", /*answer=*/false);
  Ask(silent.Port());
  for (int i = 0; i < 500 && silent.heard.empty(); ++i) {
    io.restart();
    io.run_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(silent.heard.empty());
  EXPECT_TRUE(query.Busy());
  query.Cancel();
  EXPECT_FALSE(query.Busy());
  io.restart();
  io.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answers, 0);

  // A new question drops the one under way: only its own answer comes.
  OneShotServer slow(io, "", /*answer=*/false);
  OneShotServer quick(io, "NUMLOGINS ebbmark 1\n");
  Ask(slow.Port());
  Ask(quick.Port());
  RunUntilAnswered();
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(answer->count, 1);

  // A query destroyed while it waits calls nothing.
  answer.reset();
  answers = 0;
  OneShotServer last(io, "", /*answer=*/false);
  {
    FollowersQuery gone(io);
    gone.Ask("127.0.0.1", last.Port(), "ebbmark", [this](FollowersAnswer) { ++answers; });
    io.restart();
    io.run_for(std::chrono::milliseconds(50));
  }
  io.restart();
  io.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answers, 0);
}

}  // namespace
}  // namespace ebbmark
