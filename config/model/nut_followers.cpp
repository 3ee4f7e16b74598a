#include "config/model/nut_followers.h"

#include <charconv>
#include <utility>
#include <vector>

#include <asio/connect.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include "common/settings.h"

namespace ebbmark {
namespace {

using asio::ip::tcp;

// A NUT server's lines are short; anything longer is not an answer to us.
constexpr std::size_t kMaxAnswer = 512;

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  while (!line.empty()) {
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const auto end = line.find_first_of(" \t");
    words.push_back(line.substr(0, end));
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  return words;
}

// The device name as a command word: quoted when it holds anything that
// would split or end it.
std::string CommandWord(const std::string& name) {
  if (!name.empty() && name.find_first_of(" \t\"\\") == std::string::npos) return name;
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

FollowersAnswer ParseNumLoginsAnswer(std::string_view line, std::string_view device) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto words = Words(line);
  FollowersAnswer answer;
  // The error words are short; a long one is not from a NUT server.
  if (words.size() >= 2 && words[0] == "ERR" && words[1].size() <= 32) {
    answer.kind = FollowersAnswer::Kind::Error;
    answer.error = std::string(words[1]);
    return answer;
  }
  // The server may quote the name when it needs to; ours never has to.
  if (words.size() != 3 || words[0] != "NUMLOGINS") return answer;
  std::string_view name = words[1];
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    name = name.substr(1, name.size() - 2);
  if (name != device) return answer;
  int count = 0;
  const auto [end, ec] = std::from_chars(words[2].data(), words[2].data() + words[2].size(), count);
  if (ec != std::errc() || end != words[2].data() + words[2].size() || count < 0) return answer;
  answer.kind = FollowersAnswer::Kind::Count;
  answer.count = count;
  return answer;
}

std::string FollowersQueryAddress(std::string_view listen) {
  const std::vector<std::string> listed = NutListenAddresses(listen);
  if (listed.empty()) return "127.0.0.1";  // off: asked anyway, and refused
  for (const std::string& entry : listed)
    if (entry == "0.0.0.0" || entry.starts_with("127.")) return "127.0.0.1";
  for (const std::string& entry : listed)
    if (entry == "::" || entry == "::1") return "::1";
  return listed.front();
}

struct FollowersQuery::Exchange {
  explicit Exchange(asio::io_context& io) : socket(io), answer(kMaxAnswer) {}
  tcp::socket socket;
  asio::streambuf answer;
  std::string question;
  std::string device;
  std::function<void(FollowersAnswer)> done;

  // Hands the answer on once, and lets the connection go.
  void Finish(FollowersAnswer result) {
    std::error_code ignored;
    socket.close(ignored);
    if (auto callback = std::exchange(done, nullptr)) callback(std::move(result));
  }
};

FollowersQuery::FollowersQuery(asio::io_context& io) : io_(io) {}

FollowersQuery::~FollowersQuery() {
  Cancel();
}

bool FollowersQuery::Busy() const {
  return current_ && current_->done;
}

void FollowersQuery::Cancel() {
  if (!current_) return;
  current_->done = nullptr;
  std::error_code ignored;
  current_->socket.close(ignored);
  current_.reset();
}

void FollowersQuery::Ask(const std::string& address, std::uint16_t port, const std::string& device,
                         std::function<void(FollowersAnswer)> done) {
  Cancel();
  auto x = std::make_shared<Exchange>(io_);
  x->device = device;
  x->question = "GET NUMLOGINS " + CommandWord(device) + "\n";
  x->done = std::move(done);
  current_ = x;

  std::error_code ec;
  const auto ip = asio::ip::make_address(address, ec);
  if (ec) {
    // Reported on the loop, as every other answer is.
    asio::post(io_, [x] { x->Finish({}); });
    return;
  }
  x->socket.async_connect(tcp::endpoint(ip, port), [x](const std::error_code& error) {
    if (!x->done) return;
    if (error) {
      FollowersAnswer refused;
      if (error == asio::error::connection_refused)
        refused.kind = FollowersAnswer::Kind::NotRunning;
      x->Finish(refused);
      return;
    }
    asio::async_write(
        x->socket, asio::buffer(x->question), [x](const std::error_code& write_error, std::size_t) {
          if (!x->done) return;
          if (write_error) {
            x->Finish({});
            return;
          }
          asio::async_read_until(
              x->socket, x->answer, '\n', [x](const std::error_code& read_error, std::size_t n) {
                if (!x->done) return;
                if (read_error) {
                  x->Finish({});
                  return;
                }
                const auto* data = static_cast<const char*>(x->answer.data().data());
                const std::string line(data, n - 1);
                x->Finish(ParseNumLoginsAnswer(line, x->device));
              });
        });
  });
}

}  // namespace ebbmark
