// ebbmark-nut: the NUT server of the Linux service, as a process of its own.
// The service starts it as root; it first becomes an unprivileged account
// and can never gain privileges again, so the code that reads what network
// clients send never runs as root. It reads its instructions (where to
// listen, the sign-in, each new snapshot) on its standard input and writes
// the secondaries signed in and the records to write on its standard output
// (service/nut/helper_messages.h). It ends when its input ends, that is
// when the service goes.

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <string>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/write.hpp>

#include "base/clock.h"
#include "platform/posix/drop_privileges_posix.h"
#include "service/nut/helper_messages.h"
#include "service/nut/nut_host.h"
#include "service/nut/nut_server.h"

namespace {

using namespace ebbmark;
using namespace ebbmark::nut;

// Writes the helper's messages to the service, in order, never blocking
// the loop.
class Out {
 public:
  explicit Out(asio::io_context& io) : pipe_(io, ::dup(STDOUT_FILENO)) {}

  void Send(std::string text) {
    queue_.push_back(std::move(text));
    if (!writing_) Write();
  }

 private:
  void Write() {
    writing_ = true;
    asio::async_write(pipe_, asio::buffer(queue_.front()),
                      [this](const std::error_code& ec, std::size_t) {
                        writing_ = false;
                        queue_.pop_front();
                        // The service has gone: so does the helper.
                        if (ec) std::_Exit(0);
                        if (!queue_.empty()) Write();
                      });
  }

  asio::posix::stream_descriptor pipe_;
  std::deque<std::string> queue_;
  bool writing_ = false;
};

class In {
 public:
  In(asio::io_context& io, Server& server) : pipe_(io, ::dup(STDIN_FILENO)), server_(server) {}

  void Read() {
    pipe_.async_read_some(asio::buffer(chunk_), [this](const std::error_code& ec, std::size_t n) {
      if (ec) std::_Exit(0);  // the service has gone, or stops us
      std::string_view data(chunk_, n);
      while (!data.empty()) {
        const auto lf = data.find('\n');
        line_.append(data.substr(0, lf));
        if (line_.size() > kMaxHelperLine) std::_Exit(2);
        if (lf == std::string_view::npos) break;
        data.remove_prefix(lf + 1);
        Take(line_);
        line_.clear();
      }
      Read();
    });
  }

 private:
  void Take(const std::string& line) {
    const auto m = ParseHelperMessage(line);
    if (!m) {
      std::fprintf(stderr, "ebbmark-nut: a message from the service could not be read\n");
      std::_Exit(2);
    }
    switch (m->kind) {
      case HelperMessage::Kind::Listen:
        if (m->listen.addresses.empty()) {
          server_.Close();
        } else {
          server_.Listen(m->listen);
        }
        break;
      case HelperMessage::Kind::Config:
        server_.SetConfig(m->config);
        break;
      case HelperMessage::Kind::Snapshot:
        server_.SetSnapshot(m->snapshot);
        break;
      default:
        std::fprintf(stderr, "ebbmark-nut: the service sent a message of the helper's own\n");
        std::_Exit(2);
    }
  }

  asio::posix::stream_descriptor pipe_;
  Server& server_;
  char chunk_[8192];
  std::string line_;
};

}  // namespace

int main() {
  std::string why;
  if (!DropPrivileges(why)) {
    std::fprintf(stderr, "ebbmark-nut: %s\n", why.c_str());
    return 1;
  }
  // Nothing this process runs may gain privileges again (set-id programs).
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  // A service killed outright takes its helper with it (set after the
  // change of account, which clears it).
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) return 0;
  // A client that goes while an answer is being written must not end us.
  ::signal(SIGPIPE, SIG_IGN);

  asio::io_context io;
  SystemClock clock;
  Out out(io);
  Server server(
      io, clock,
      [&out](EventType type, int id, const std::string& text) {
        out.Send(RecordMessage(type, id, text));
      },
      LimitsFromEnvironment());
  server.on_logins_changed = [&] { out.Send(LoginsMessage(server.LoggedIn())); };
  In in(io, server);
  in.Read();
  io.run();
  return 0;
}
