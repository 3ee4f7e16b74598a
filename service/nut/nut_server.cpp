#include "service/nut/nut_server.h"

#include <algorithm>
#include <array>
#include <utility>

#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include "platform/listener.h"

namespace ebbmark::nut {

std::string PeerText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

struct Server::Acceptor {
  explicit Acceptor(asio::io_context& io, std::string text)
      : socket(io), address(std::move(text)) {}
  asio::ip::tcp::acceptor socket;
  std::string address;            // as the settings name it
  bool open = false;              // listening now
  bool reported = false;          // its failure has been recorded
  std::optional<Stamp> last_try;  // when it was last tried while closed
  bool accept_paused = false;     // an accept failed; the next sweep resumes it
};

// One client: reads lines, answers them through the command table, and
// keeps to the limits. It is kept alive by its own pending operations and
// by the server's list; Close takes it off the list.
class Server::Connection : public std::enable_shared_from_this<Server::Connection> {
 public:
  Connection(Server& server, asio::ip::tcp::socket socket, std::string peer)
      : server_(server),
        socket_(std::move(socket)),
        session_(std::move(peer)),
        last_heard_(server.clock_.Now()),
        alive_(server.alive_) {}

  void Start() { Read(); }

  const Session& session() const { return session_; }
  const Stamp& last_heard() const { return last_heard_; }

  // Drops the connection now: nothing more is read or sent.
  void Close() {
    if (closed_) return;
    closed_ = true;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    server_.Dropped(*this);
  }

 private:
  void Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(chunk_), [self](const std::error_code& ec, std::size_t n) {
      if (!*self->alive_ || self->closed_) return;
      if (ec) return self->Close();
      self->Received(n);
    });
  }

  void Received(std::size_t n) {
    last_heard_ = server_.clock_.Now();
    std::string_view data(chunk_.data(), n);
    while (!data.empty()) {
      const auto lf = data.find('\n');
      const std::string_view part = data.substr(0, lf);
      // Past the limit (and the one byte of a CR): no command of the
      // protocol is this long, so no more of it is kept.
      if (line_.size() + part.size() > server_.limits_.max_line + 1) return Close();
      line_.append(part);
      if (lf == data.npos) break;
      data.remove_prefix(lf + 1);
      if (!HandleLine()) return;
    }
    if (!closing_) Read();
  }

  // False when the connection is closed or closing.
  bool HandleLine() {
    std::string line = std::move(line_);
    line_.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > server_.limits_.max_line) {
      Close();
      return false;
    }
    const bool was_logged_in = session_.logged_in();
    Session::Reply reply =
        session_.Handle(line, server_.snapshot_, server_.config_, server_.logged_in_);
    if (reply.auth_failure) server_.AuthFailure(session_.peer_address());
    if (reply.login_changed || was_logged_in != session_.logged_in()) server_.LoginChanged();
    Send(std::move(reply.text));
    if (closed_) return false;
    if (reply.close) {
      closing_ = true;
      if (!writing_) Close();
      return false;
    }
    return true;
  }

  void Send(std::string text) {
    if (text.empty()) return;
    pending_ += text;
    if (writing_out_.size() + pending_.size() > server_.limits_.max_queued) {
      // A client that does not read its answers would make us keep them all.
      Close();
      return;
    }
    if (!writing_) Write();
  }

  void Write() {
    writing_ = true;
    writing_out_ = std::move(pending_);
    pending_.clear();
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(writing_out_),
                      [self](const std::error_code& ec, std::size_t) {
                        if (!*self->alive_ || self->closed_) return;
                        self->writing_ = false;
                        self->writing_out_.clear();
                        if (ec) return self->Close();
                        if (!self->pending_.empty()) return self->Write();
                        if (self->closing_) self->Close();
                      });
  }

  Server& server_;
  asio::ip::tcp::socket socket_;
  Session session_;
  Stamp last_heard_;
  std::shared_ptr<bool> alive_;
  std::array<char, 2048> chunk_{};
  std::string line_;
  std::string writing_out_;  // being written now
  std::string pending_;      // to be written after it
  bool writing_ = false;
  bool closing_ = false;  // close once the answers are out
  bool closed_ = false;
};

Server::Server(asio::io_context& io, const Clock& clock, RecordSink record, ServerLimits limits)
    : io_(io),
      clock_(clock),
      record_(std::move(record)),
      limits_(limits),
      sweep_(io, limits.sweep, [this] { Sweep(); }),
      alive_(std::make_shared<bool>(true)) {}

Server::~Server() {
  *alive_ = false;
  Close();
}

void Server::Listen(const ListenConfig& listen) {
  if (listen == listen_ && !acceptors_.empty()) return;
  Close();
  listen_ = listen;
  for (const std::string& address : listen_.addresses) {
    acceptors_.push_back(std::make_shared<Acceptor>(io_, address));
    OpenAcceptor(*acceptors_.back());
  }
  sweep_.SetEnabled(!acceptors_.empty());
}

void Server::OpenAcceptor(Acceptor& a) {
  a.last_try = clock_.Now();
  std::error_code ec;
  const asio::ip::address address = asio::ip::make_address(a.address, ec);
  const bool not_an_address = static_cast<bool>(ec);
  if (!ec) {
    const asio::ip::tcp::endpoint endpoint(address, listen_.port);
    a.socket.open(endpoint.protocol(), ec);
    if (!ec) ec = PrepareListener(a.socket);
    if (!ec && address.is_v6()) {
      // Beside an IPv4 address in the list, an IPv6 one must not also take
      // the IPv4 port (the two binds would collide).
      const bool with_v4 =
          std::any_of(listen_.addresses.begin(), listen_.addresses.end(), [](const std::string& s) {
            std::error_code e;
            return asio::ip::make_address(s, e).is_v4() && !e;
          });
      if (with_v4) a.socket.set_option(asio::ip::v6_only(true), ec);
    }
    if (!ec) a.socket.bind(endpoint, ec);
    if (!ec) a.socket.listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    std::error_code ignored;
    a.socket.close(ignored);
    if (!a.reported) {
      a.reported = true;
      const std::string reason = not_an_address ? "it is not an IP address" : ec.message();
      record_(kEventError, 109,
              "The NUT server cannot listen on " + a.address + " port " +
                  std::to_string(listen_.port) + ": " + reason +
                  ". Monitoring goes on, and the server tries again each minute.");
    }
    return;
  }
  if (a.reported) {
    record_(kEventInformation, 110,
            "The NUT server now listens on " + a.address + " port " + std::to_string(listen_.port) +
                ".");
    a.reported = false;
  }
  a.open = true;
  Accept(a);
}

void Server::Accept(Acceptor& acceptor) {
  auto alive = alive_;
  // The handler keeps its acceptor: a new Listen may have let go of it.
  auto held = std::find_if(acceptors_.begin(), acceptors_.end(),
                           [&](const auto& p) { return p.get() == &acceptor; });
  if (held == acceptors_.end()) return;
  acceptor.socket.async_accept(
      [this, keep = *held, alive](const std::error_code& ec, asio::ip::tcp::socket s) {
        Acceptor& a = *keep;
        if (!*alive || !a.open) return;
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
          // Out of descriptors, or the like: try again at the next sweep rather
          // than spin on the failure.
          a.accept_paused = true;
          return;
        }
        std::error_code peer_error;
        const auto peer = s.remote_endpoint(peer_error);
        if (peer_error) {
          Accept(a);
          return;
        }
        const std::string address = PeerText(peer.address());
        if (connections_.size() >= limits_.max_clients) {
          std::error_code ignored;
          s.close(ignored);
          const Stamp now = clock_.Now();
          if (!refused_recorded_ ||
              AgeSeconds(*refused_recorded_, now) >= limits_.record_every.count()) {
            refused_recorded_ = now;
            record_(kEventWarning, 110,
                    "The NUT server refused a connection from " + address + ": it already serves " +
                        std::to_string(limits_.max_clients) + " clients.");
          }
        } else {
          auto c = std::make_shared<Connection>(*this, std::move(s), address);
          connections_.push_back(c);
          c->Start();
        }
        Accept(a);
      });
}

void Server::Sweep() {
  const Stamp now = clock_.Now();
  // Closing changes the list: collect first.
  std::vector<std::shared_ptr<Connection>> idle;
  for (const auto& c : connections_)
    if (AgeSeconds(c->last_heard(), now) >= limits_.idle.count()) idle.push_back(c);
  for (const auto& c : idle) c->Close();

  for (const auto& a : acceptors_) {
    if (!a->open && (!a->last_try || AgeSeconds(*a->last_try, now) >= limits_.retry.count())) {
      OpenAcceptor(*a);
    } else if (a->open && a->accept_paused) {
      a->accept_paused = false;
      Accept(*a);
    }
  }
  // Addresses whose minute has passed need no entry any more: the map
  // stays as small as the clients of the last minute.
  std::erase_if(auth_recorded_, [&](const auto& entry) {
    return AgeSeconds(entry.second, now) >= limits_.record_every.count();
  });
}

void Server::Dropped(Connection& c) {
  const bool logged_in = c.session().logged_in();
  std::erase_if(connections_, [&](const auto& p) { return p.get() == &c; });
  if (logged_in) LoginChanged();
}

void Server::LoginChanged() {
  std::vector<std::string> now;
  for (const auto& c : connections_)
    if (c->session().logged_in()) now.push_back(c->session().peer_address());
  if (now == logged_in_) return;
  logged_in_ = std::move(now);
  if (on_logins_changed) on_logins_changed();
}

void Server::AuthFailure(const std::string& address) {
  const Stamp now = clock_.Now();
  const auto it = auth_recorded_.find(address);
  if (it != auth_recorded_.end() && AgeSeconds(it->second, now) < limits_.record_every.count())
    return;
  auth_recorded_[address] = now;
  record_(kEventWarning, 110,
          "A NUT client at " + address +
              " failed to sign in. Further failures from this address are recorded at most "
              "once a minute.");
}

void Server::SetConfig(ServerConfig config) {
  config_ = std::move(config);
}

void Server::SetSnapshot(Snapshot snapshot) {
  snapshot_ = std::move(snapshot);
}

void Server::Close() {
  for (const auto& a : acceptors_) {
    a->open = false;
    std::error_code ignored;
    a->socket.close(ignored);
  }
  acceptors_.clear();
  const auto all = connections_;
  for (const auto& c : all) c->Close();
  sweep_.SetEnabled(false);
}

std::vector<asio::ip::tcp::endpoint> Server::ListeningEndpoints() const {
  std::vector<asio::ip::tcp::endpoint> out;
  for (const auto& a : acceptors_) {
    std::error_code ec;
    if (a->open) {
      const auto e = a->socket.local_endpoint(ec);
      if (!ec) out.push_back(e);
    }
  }
  return out;
}

}  // namespace ebbmark::nut
