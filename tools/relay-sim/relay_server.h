#pragma once
// The simulated relay: a TCP server that greets each client and streams the
// scenario's status lines, shows the scenario's faults, and answers discovery
// queries over UDP. Runs on the caller's io_context; one thread, no locks.

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tools/relay-sim/line_source.h"
#include "tools/relay-sim/scenario.h"

namespace ebbmark::sim {

struct ServerConfig {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8467;  // 0: the system picks one
  bool udp = true;
  std::string udp_host;           // empty: the same as `host`
  std::uint16_t udp_port = 8466;  // 0: the system picks one
  std::string name;               // host name in discovery answers
  std::uint32_t seed = 1;
  bool loop = false;
  int duration = 0;  // seconds until the server stops by itself; 0: never
  bool verbose = false;
  bool greeting = true;
  // One scenario second. Tests shorten it; everything else keeps 1 s.
  std::chrono::milliseconds tick{1000};
  // Quiet time after the greeting, so that it reaches the client as a chunk
  // of its own rather than glued to the first status line.
  std::chrono::milliseconds greeting_pause{100};
};

class RelayServer {
 public:
  // Receives every line the server reports (start line, faults, and in
  // verbose mode each line sent), without a line end.
  using Output = std::function<void(const std::string&)>;

  RelayServer(asio::io_context& io, Scenario scenario, ServerConfig config, Output out);
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  // Binds the TCP and UDP endpoints, reports the start line and starts the
  // clock. On failure nothing is left open and the error says which bind.
  std::error_code Start(std::string* what = nullptr);

  // Closes every socket and stops the clock; handlers already queued return
  // without effect. Calls the on-stop hook once.
  void Stop();

  // Called once when the server stops (after --duration, or by Stop).
  void OnStop(std::function<void()> hook) { on_stop_ = std::move(hook); }

  asio::ip::tcp::endpoint TcpEndpoint() const { return tcp_endpoint_; }
  asio::ip::udp::endpoint UdpEndpoint() const { return udp_endpoint_; }
  std::size_t ClientCount() const { return clients_.size(); }
  int Elapsed() const { return elapsed_; }

 private:
  class Client;
  struct Chunk {
    std::string data;
    std::chrono::microseconds pause{0};  // quiet time after this chunk
  };

  std::error_code OpenAcceptor();
  void DoAccept();
  void OnAccepted(asio::ip::tcp::socket socket);
  void DoReceiveQuery();
  void ScheduleTick();
  void OnTick();
  void ApplyFault(const Fault& f);
  void EndTimedFaults();
  // How this second's lines are written: whole, split, or byte by byte. Made
  // once per second, so every client gets the same stream.
  std::vector<Chunk> PlanWrites(const std::vector<std::string>& lines);
  void Send(Client& client, const std::vector<Chunk>& plan);
  void OnClientIdle(Client& client);
  void RemoveClient(int id);
  void CloseClients();
  void Report(const std::string& text);
  bool Flooding() const { return elapsed_ < flood_until_; }
  bool Silenced() const { return elapsed_ < silence_until_; }

  Scenario scenario_;
  ServerConfig config_;
  Output out_;
  LineSource source_;
  std::function<void()> on_stop_;

  asio::ip::tcp::acceptor acceptor_;
  asio::ip::udp::socket udp_;
  asio::steady_timer tick_timer_;
  asio::steady_timer accept_retry_;
  asio::ip::tcp::endpoint tcp_endpoint_;
  asio::ip::udp::endpoint udp_endpoint_;
  asio::ip::udp::endpoint query_sender_;
  std::array<char, 512> query_buffer_{};

  std::map<int, std::shared_ptr<Client>> clients_;
  int next_client_id_ = 1;
  bool running_ = false;
  // Handlers hold a weak reference, so none runs after the server is gone.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);

  std::chrono::steady_clock::time_point start_;
  int elapsed_ = -1;  // seconds since start; -1 before the first tick
  std::vector<std::string> last_batch_;
  std::vector<Chunk> last_plan_;

  // Timed faults, as the first second at which they are over.
  int silence_until_ = 0;
  int refuse_until_ = 0;
  bool refusing_ = false;
  int split_until_ = 0;
  int bytewise_until_ = 0;
  int flood_until_ = 0;
  bool flood_reported_ = true;
  std::uint64_t flood_lines_ = 0;
};

}  // namespace ebbmark::sim
