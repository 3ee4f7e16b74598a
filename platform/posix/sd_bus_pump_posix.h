#pragma once
// Drives one sd-bus connection from the program's asio loop: waits for its
// socket and its next time-out on the loop and lets sd-bus process whatever
// is ready, so D-Bus calls and signals are handlers on the one thread like
// every socket event. Nothing here blocks.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

namespace ebbmark {

class SdBusPump {
 public:
  // Takes over the caller's reference to `bus`.
  SdBusPump(asio::io_context& io, sd_bus* bus);
  // Closes the connection; callbacks of outstanding calls are never run.
  ~SdBusPump();
  SdBusPump(const SdBusPump&) = delete;
  SdBusPump& operator=(const SdBusPump&) = delete;

  sd_bus* Bus() const { return bus_; }
  // After queueing a message: sends it and waits for what the bus needs.
  void Kick();

 private:
  void Process();
  void Arm();

  asio::io_context& io_;
  sd_bus* bus_;
  asio::posix::stream_descriptor fd_;
  asio::steady_timer timer_;
  bool reading_ = false, writing_ = false;
  bool processing_ = false;
  std::uint64_t timer_generation_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace ebbmark
