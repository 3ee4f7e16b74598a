#include "tools/relay-sim/relay_server.h"

#include <algorithm>
#include <deque>

namespace ebbmark::sim {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

// A client that has this much unsent data is not reading; it is dropped
// rather than allowed to grow the queue without end.
constexpr std::size_t kMaxPendingBytes = 8 * 1024 * 1024;

std::string EndpointText(const asio::ip::tcp::endpoint& e) {
  return e.address().to_string() + ":" + std::to_string(e.port());
}

std::string EndpointText(const asio::ip::udp::endpoint& e) {
  return e.address().to_string() + ":" + std::to_string(e.port());
}

}  // namespace

class RelayServer::Client : public std::enable_shared_from_this<Client> {
 public:
  Client(RelayServer& server, asio::ip::tcp::socket socket, int id)
      : server_(&server),
        socket_(std::move(socket)),
        pause_timer_(socket_.get_executor()),
        id_(id) {
    std::error_code ec;
    peer_ = socket_.remote_endpoint(ec);
    // Each write should leave as its own segment: split and one-byte faults
    // depend on it.
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  }

  int id() const { return id_; }
  const asio::ip::tcp::endpoint& peer() const { return peer_; }
  bool Idle() const { return open_ && queue_.empty() && !writing_; }

  void Start() { DoRead(); }

  void Enqueue(std::string data, microseconds pause = microseconds{0}) {
    if (!open_ || data.empty()) return;
    pending_bytes_ += data.size();
    queue_.push_back({std::move(data), pause});
    if (pending_bytes_ > kMaxPendingBytes) {
      // Not from inside the caller's loop over the clients.
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Fail(); });
      return;
    }
    if (!writing_) DoWrite();
  }

  // Closes the connection; the server has already forgotten this client or
  // is about to.
  void Close() {
    if (!open_) return;
    open_ = false;
    server_ = nullptr;
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    pause_timer_.cancel();
    queue_.clear();
  }

 private:
  void DoRead() {
    socket_.async_read_some(asio::buffer(read_buffer_),
                            [self = shared_from_this()](std::error_code ec, std::size_t) {
                              if (!self->open_) return;
                              if (ec) {
                                self->Fail();
                                return;
                              }
                              // What clients send is of no interest to a relay.
                              self->DoRead();
                            });
  }

  void DoWrite() {
    if (!open_) return;
    if (queue_.empty()) {
      writing_ = false;
      if (server_) server_->OnClientIdle(*this);
      return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(queue_.front().data),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        if (!self->open_) return;
                        if (ec) {
                          self->Fail();
                          return;
                        }
                        Chunk done = std::move(self->queue_.front());
                        self->queue_.pop_front();
                        self->pending_bytes_ -= done.data.size();
                        if (done.pause.count() > 0) {
                          self->pause_timer_.expires_after(done.pause);
                          self->pause_timer_.async_wait([self](std::error_code) {
                            if (self->open_) self->DoWrite();
                          });
                        } else {
                          self->DoWrite();
                        }
                      });
  }

  // The connection broke or was closed by the peer: leave the server.
  void Fail() {
    RelayServer* server = server_;
    Close();
    if (server) server->RemoveClient(id_);
  }

  RelayServer* server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer pause_timer_;
  asio::ip::tcp::endpoint peer_;
  int id_;
  bool open_ = true;
  bool writing_ = false;
  std::deque<Chunk> queue_;
  std::size_t pending_bytes_ = 0;
  std::array<char, 1024> read_buffer_{};
};

RelayServer::RelayServer(asio::io_context& io, Scenario scenario, ServerConfig config, Output out)
    : scenario_(std::move(scenario)),
      config_(std::move(config)),
      out_(std::move(out)),
      source_(scenario_, config_.seed, config_.loop),
      acceptor_(io),
      udp_(io),
      tick_timer_(io),
      accept_retry_(io) {}

RelayServer::~RelayServer() {
  on_stop_ = nullptr;
  Stop();
}

std::error_code RelayServer::Start(std::string* what) {
  std::error_code ec;
  auto fail = [&](const std::string& text) {
    if (what) *what = text + ": " + ec.message();
    std::error_code ignored;
    acceptor_.close(ignored);
    udp_.close(ignored);
    return ec;
  };
  auto address = asio::ip::make_address(config_.host, ec);
  if (ec) return fail("bad --host " + config_.host);
  tcp_endpoint_ = asio::ip::tcp::endpoint(address, config_.port);
  ec = OpenAcceptor();
  if (ec) {
    return fail("cannot listen on tcp " + EndpointText(tcp_endpoint_));
  }
  // Reopening after a refuse fault must use the very same port.
  tcp_endpoint_ = acceptor_.local_endpoint(ec);
  if (ec) return fail("cannot read the tcp port");

  if (config_.udp) {
    const std::string& host = config_.udp_host.empty() ? config_.host : config_.udp_host;
    auto udp_address = asio::ip::make_address(host, ec);
    if (ec) return fail("bad udp host " + host);
    udp_endpoint_ = asio::ip::udp::endpoint(udp_address, config_.udp_port);
    // No address reuse here: two relays sharing a UDP port would split the
    // queries between them without a word.
    udp_.open(udp_endpoint_.protocol(), ec);
    if (!ec) udp_.bind(udp_endpoint_, ec);
    if (ec) return fail("cannot bind udp " + EndpointText(udp_endpoint_));
    udp_endpoint_ = udp_.local_endpoint(ec);
    if (ec) return fail("cannot read the udp port");
  }

  running_ = true;
  std::string inverters;
  for (int a : scenario_.Inverters())
    inverters += (inverters.empty() ? "" : ",") + std::to_string(a);
  std::string fndcs;
  for (char l : scenario_.Fndcs()) fndcs += (fndcs.empty() ? "" : ",") + std::string(1, l);
  Report("listening tcp=" + EndpointText(tcp_endpoint_) +
         " udp=" + (config_.udp ? EndpointText(udp_endpoint_) : std::string("off")) +
         " inverters=" + (inverters.empty() ? "none" : inverters) +
         " fndc=" + (fndcs.empty() ? "none" : fndcs) + " name=" + config_.name);
  DoAccept();
  if (config_.udp) DoReceiveQuery();
  tick_timer_.expires_after(std::chrono::milliseconds{0});
  ScheduleTick();
  return {};
}

std::error_code RelayServer::OpenAcceptor() {
  std::error_code ec;
  acceptor_.open(tcp_endpoint_.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(tcp_endpoint_, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::error_code ignored;
    acceptor_.close(ignored);
  }
  return ec;
}

void RelayServer::Stop() {
  if (running_) {
    running_ = false;
    std::error_code ec;
    acceptor_.close(ec);
    udp_.close(ec);
    tick_timer_.cancel();
    accept_retry_.cancel();
    CloseClients();
  }
  if (auto hook = std::move(on_stop_)) {
    on_stop_ = nullptr;
    hook();
  }
}

void RelayServer::DoAccept() {
  acceptor_.async_accept(
      [this, life = std::weak_ptr<int>(life_)](std::error_code ec, asio::ip::tcp::socket socket) {
        if (life.expired() || !running_ || !acceptor_.is_open()) return;
        if (!ec) {
          OnAccepted(std::move(socket));
          DoAccept();
          return;
        }
        // A failed accept (the peer gave up, no descriptors left) does not
        // end the server; a short wait keeps a lasting failure from
        // spinning the loop.
        accept_retry_.expires_after(std::chrono::milliseconds{100});
        accept_retry_.async_wait([this, life](std::error_code wait_ec) {
          if (life.expired() || wait_ec || !running_ || !acceptor_.is_open()) return;
          DoAccept();
        });
      });
}

void RelayServer::OnAccepted(asio::ip::tcp::socket socket) {
  const int id = next_client_id_++;
  auto client = std::make_shared<Client>(*this, std::move(socket), id);
  clients_.emplace(id, client);
  if (config_.verbose) {
    Report("t=" + std::to_string(std::max(elapsed_, 0)) + " client " +
           EndpointText(client->peer()) + " connected (" + std::to_string(clients_.size()) +
           " connected)");
  }
  client->Start();
  if (config_.greeting) {
    client->Enqueue(FormatGreeting(), duration_cast<microseconds>(config_.greeting_pause));
  }
  // A relay passes on the controller's latest lines at once, so a client
  // does not wait up to a second for its first data.
  if (!Silenced()) Send(*client, last_plan_);
}

void RelayServer::RemoveClient(int id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  auto client = it->second;
  clients_.erase(it);
  if (config_.verbose) {
    Report("t=" + std::to_string(std::max(elapsed_, 0)) + " client " +
           EndpointText(client->peer()) + " disconnected (" + std::to_string(clients_.size()) +
           " connected)");
  }
}

void RelayServer::CloseClients() {
  auto clients = std::move(clients_);
  clients_.clear();
  for (auto& [id, client] : clients) client->Close();
}

void RelayServer::DoReceiveQuery() {
  udp_.async_receive_from(
      asio::buffer(query_buffer_), query_sender_,
      [this, life = std::weak_ptr<int>(life_)](std::error_code ec, std::size_t n) {
        if (life.expired() || !running_ || !udp_.is_open()) return;
        if (!ec && std::string_view(query_buffer_.data(), n) == kDiscoveryQuery) {
          auto answer = std::make_shared<std::string>(FormatDiscoveryAnswer(
              config_.name, tcp_endpoint_.port(), static_cast<int>(scenario_.Inverters().size()),
              static_cast<int>(scenario_.Fndcs().size())));
          if (config_.verbose) {
            Report("t=" + std::to_string(std::max(elapsed_, 0)) + " discovery query from " +
                   EndpointText(query_sender_) + " answered");
          }
          udp_.async_send_to(asio::buffer(*answer), query_sender_,
                             [answer](std::error_code, std::size_t) {});
        }
        // Errors such as an ICMP "port unreachable" from an earlier answer
        // concern one peer only; keep serving.
        DoReceiveQuery();
      });
}

void RelayServer::ScheduleTick() {
  tick_timer_.async_wait([this, life = std::weak_ptr<int>(life_)](std::error_code ec) {
    if (life.expired() || ec || !running_) return;
    OnTick();
    if (!running_) return;
    // Counted from the previous expiry, so the seconds do not drift.
    tick_timer_.expires_at(tick_timer_.expiry() + config_.tick);
    ScheduleTick();
  });
}

void RelayServer::Report(const std::string& text) {
  if (out_) out_(text);
}

void RelayServer::OnTick() {
  ++elapsed_;
  const std::string now = "t=" + std::to_string(elapsed_);
  if (config_.duration > 0 && elapsed_ >= config_.duration) {
    Report(now + " duration over, stopping");
    Stop();
    return;
  }
  EndTimedFaults();

  const int t = source_.ScenarioTime(elapsed_);
  if (config_.loop && t == 0 && elapsed_ > 0) Report(now + " scenario restarts");
  if (config_.verbose) {
    for (const std::string& note : scenario_.NotesAt(t)) Report(now + " " + note);
  }
  for (const Fault& f : scenario_.FaultsAt(t)) {
    Report(now + " fault " + f.text);
    ApplyFault(f);
  }

  // The batch is drawn even while silent, so a fault never shifts the random
  // choices that follow it.
  last_batch_ = source_.Lines(t);
  last_plan_ = PlanWrites(last_batch_);
  if (Silenced()) return;
  if (config_.verbose) {
    for (const std::string& line : last_batch_) Report(now + " send " + line);
  }
  // Copy the list: a client that fails while being written to leaves it.
  std::vector<std::shared_ptr<Client>> clients;
  for (auto& [id, c] : clients_) clients.push_back(c);
  for (auto& c : clients) Send(*c, last_plan_);
}

void RelayServer::EndTimedFaults() {
  const std::string now = "t=" + std::to_string(elapsed_);
  if (silence_until_ > 0 && elapsed_ == silence_until_) Report(now + " silence over");
  if (split_until_ > 0 && elapsed_ == split_until_) Report(now + " split writes over");
  if (bytewise_until_ > 0 && elapsed_ == bytewise_until_) Report(now + " one-byte writes over");
  if (!flood_reported_ && !Flooding()) {
    flood_reported_ = true;
    Report(now + " flood over, " + std::to_string(flood_lines_) + " extra lines sent");
  }
  if (refusing_ && elapsed_ >= refuse_until_) {
    if (std::error_code ec = OpenAcceptor()) {
      // Someone else took the port meanwhile; try again next second.
      Report(now + " cannot listen again on " + EndpointText(tcp_endpoint_) + ": " + ec.message());
    } else {
      refusing_ = false;
      Report(now + " listening again on " + EndpointText(tcp_endpoint_));
      DoAccept();
    }
  }
}

void RelayServer::ApplyFault(const Fault& f) {
  switch (f.kind) {
    case FaultKind::Silence:
      silence_until_ = std::max(silence_until_, elapsed_ + f.amount);
      break;
    case FaultKind::Close:
      CloseClients();
      break;
    case FaultKind::Refuse: {
      // Connections already open stay open; pair with "close" to drop them.
      std::error_code ec;
      acceptor_.close(ec);
      refusing_ = true;
      refuse_until_ = std::max(refuse_until_, elapsed_ + f.amount);
      break;
    }
    case FaultKind::Garbage: {
      std::string junk = source_.Garbage(f.amount);
      for (auto& [id, c] : clients_) c->Enqueue(junk);
      break;
    }
    case FaultKind::Split:
      split_until_ = std::max(split_until_, elapsed_ + f.amount);
      break;
    case FaultKind::Bytewise:
      bytewise_until_ = std::max(bytewise_until_, elapsed_ + f.amount);
      break;
    case FaultKind::Flood: {
      flood_until_ = std::max(flood_until_, elapsed_ + f.amount);
      flood_reported_ = false;
      flood_lines_ = 0;
      std::vector<std::shared_ptr<Client>> idle;
      for (auto& [id, c] : clients_) {
        if (c->Idle()) idle.push_back(c);
      }
      for (auto& c : idle) OnClientIdle(*c);
      break;
    }
    case FaultKind::Double:
      // The flag itself is a scenario value; the report above is all.
      break;
  }
}

std::vector<RelayServer::Chunk> RelayServer::PlanWrites(const std::vector<std::string>& lines) {
  std::vector<Chunk> plan;
  const auto budget = duration_cast<microseconds>(config_.tick) * 7 / 10;
  if (elapsed_ < bytewise_until_) {
    std::size_t bytes = 0;
    for (const auto& l : lines) bytes += l.size() + 2;
    // A few ms per byte makes each arrive alone, yet the batch must fit in
    // its second.
    microseconds pause =
        std::min(microseconds{4000},
                 budget / static_cast<microseconds::rep>(std::max<std::size_t>(bytes, 1)));
    for (const auto& l : lines) {
      for (char c : FrameLine(l)) plan.push_back({std::string(1, c), pause});
    }
    return plan;
  }
  if (elapsed_ < split_until_) {
    microseconds per_piece =
        budget / static_cast<microseconds::rep>(std::max<std::size_t>(lines.size() * 3, 1));
    for (const auto& l : lines) {
      std::string framed = FrameLine(l);
      std::vector<std::size_t> cuts = source_.SplitPoints(framed.size());
      cuts.push_back(framed.size());
      std::size_t from = 0;
      for (std::size_t cut : cuts) {
        microseconds pause = std::min(microseconds{source_.Uniform(10, 40) * 1000}, per_piece);
        plan.push_back({framed.substr(from, cut - from), pause});
        from = cut;
      }
    }
    return plan;
  }
  for (const auto& l : lines) plan.push_back({FrameLine(l), microseconds{0}});
  return plan;
}

void RelayServer::Send(Client& client, const std::vector<Chunk>& plan) {
  for (const Chunk& c : plan) client.Enqueue(c.data, c.pause);
}

void RelayServer::OnClientIdle(Client& client) {
  if (!running_ || !Flooding() || Silenced() || last_batch_.empty()) return;
  // As fast as the socket takes them: the next batch goes out when the
  // previous one is written.
  std::string burst;
  for (int i = 0; i < 16; ++i) {
    for (const auto& l : last_batch_) burst += FrameLine(l);
  }
  flood_lines_ += 16 * last_batch_.size();
  client.Enqueue(std::move(burst));
}

}  // namespace ebbmark::sim
