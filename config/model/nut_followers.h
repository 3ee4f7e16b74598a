#pragma once
// How many computers follow this one now, asked of the service's own NUT
// server the way any NUT client would ask it: one connection to the
// server on this computer, "GET NUMLOGINS <device>", one line back. The
// network window shows the answer; it runs on the program's loop and never
// blocks it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>

namespace ebbmark {

struct FollowersAnswer {
  enum class Kind {
    Count,       // the server answered with a number of signed-in secondaries
    NotRunning,  // nothing listens on the port (connection refused)
    Error,       // the server answered "ERR <word>"
    NoAnswer,    // no usable answer: timed out, cut off, not a NUT server
  };
  Kind kind = Kind::NoAnswer;
  int count = 0;
  std::string error;  // Error: the word after "ERR"
  bool operator==(const FollowersAnswer&) const = default;
};

// Reads one answer line to "GET NUMLOGINS <device>": "NUMLOGINS <device> <n>"
// gives Count, "ERR <word> ..." gives Error, anything else NoAnswer.
FollowersAnswer ParseNumLoginsAnswer(std::string_view line, std::string_view device);

// The address the window asks on for a "NUTListen" value: the loopback
// address of the family the server listens on (127.0.0.1 for the default
// and for every interface), else the first address listed.
std::string FollowersQueryAddress(std::string_view listen);

// One question at a time; a new Ask drops the one under way. No answer is
// delivered after Cancel or destruction.
class FollowersQuery {
 public:
  explicit FollowersQuery(asio::io_context& io);
  ~FollowersQuery();
  FollowersQuery(const FollowersQuery&) = delete;
  FollowersQuery& operator=(const FollowersQuery&) = delete;

  // Connects to `address`:`port`, asks about `device` and calls `done` once,
  // on the loop, with what came back.
  void Ask(const std::string& address, std::uint16_t port, const std::string& device,
           std::function<void(FollowersAnswer)> done);
  void Cancel();
  bool Busy() const;

 private:
  struct Exchange;
  asio::io_context& io_;
  std::shared_ptr<Exchange> current_;
};

}  // namespace ebbmark
