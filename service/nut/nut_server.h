#pragma once
// The NUT server's transport: acceptors and connections on the program's one
// loop, each connection feeding its lines to the command table
// (common/nut_protocol.h) and sending back its answers. It holds every limit
// a network peer can run into: clients at once, line length, unread output,
// idle time and failed sign-ins. It runs inside ebbmark-nut on Linux and on
// the service's own loop on Windows.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "base/clock.h"
#include "base/timer.h"
#include "common/nut_protocol.h"
#include "platform/event_log.h"

namespace ebbmark::nut {

struct ServerLimits {
  std::size_t max_clients = 64;
  std::size_t max_line = 512;             // bytes of one command, without its line end
  std::size_t max_queued = 64 * 1024;     // answer bytes a client has not taken yet
  std::chrono::seconds idle{300};         // a client that sends nothing this long is dropped
  std::chrono::seconds record_every{60};  // refused clients; failed sign-ins per address
  std::chrono::seconds retry{60};         // an address that could not be opened is tried again
  std::chrono::milliseconds sweep{1000};  // how often idle clients and retries are looked at
};

// Where the server listens. No addresses: no server.
struct ListenConfig {
  std::vector<std::string> addresses;
  std::uint16_t port = 3493;
  bool operator==(const ListenConfig&) const = default;
};

// A record the server asks its owner to write (the helper cannot write the
// service's log itself).
using RecordSink = std::function<void(EventType type, int id, const std::string& text)>;

class Server {
 public:
  Server(asio::io_context& io, const Clock& clock, RecordSink record, ServerLimits limits = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the acceptors of `listen` (closing those of before, and every
  // client, when it differs). An address that cannot be opened gives one
  // error record and is tried again each `retry` without another record.
  void Listen(const ListenConfig& listen);
  void SetConfig(ServerConfig config);
  // What every following answer is made from.
  void SetSnapshot(Snapshot snapshot);

  // Peer addresses of the connections signed in with LOGIN, one per
  // connection, oldest first.
  const std::vector<std::string>& LoggedIn() const { return logged_in_; }
  // Runs on the loop whenever LoggedIn() changed.
  std::function<void()> on_logins_changed;

  // Closes every acceptor and client; Listen starts again.
  void Close();

  // For tests: the endpoints listening now (port 0 in Listen picks one) and
  // the clients connected.
  std::vector<asio::ip::tcp::endpoint> ListeningEndpoints() const;
  std::size_t ClientCount() const { return connections_.size(); }

 private:
  class Connection;
  struct Acceptor;
  friend class Connection;

  void OpenAcceptor(Acceptor& a);
  void Accept(Acceptor& a);
  void Sweep();
  void Dropped(Connection& c);
  void LoginChanged();
  void AuthFailure(const std::string& address);

  asio::io_context& io_;
  const Clock& clock_;
  RecordSink record_;
  ServerLimits limits_;
  ListenConfig listen_;
  ServerConfig config_;
  Snapshot snapshot_;
  std::vector<std::shared_ptr<Acceptor>> acceptors_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::vector<std::string> logged_in_;
  std::optional<Stamp> refused_recorded_;       // the last "too many clients" record
  std::map<std::string, Stamp> auth_recorded_;  // address -> its last sign-in record
  Timer sweep_;
  std::shared_ptr<bool> alive_;  // handlers still queued find it false after destruction
};

// The text form of a peer's address: IPv4 as dotted quad, also when it came
// in over an IPv6 socket.
std::string PeerText(const asio::ip::address& address);

}  // namespace ebbmark::nut
