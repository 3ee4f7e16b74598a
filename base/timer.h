#pragma once
// A timer control: fires its handler every Interval while Enabled, on the
// program's loop. Changing the interval or enabling it restarts the count, as
// the designed timer controls do.

#include <chrono>
#include <cstdint>
#include <functional>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace ebbmark {

class Timer {
 public:
  Timer(asio::io_context& io, std::chrono::milliseconds interval, std::function<void()> on_tick)
      : timer_(io), interval_(interval), on_tick_(std::move(on_tick)) {}

  std::chrono::milliseconds Interval() const { return interval_; }
  void SetInterval(std::chrono::milliseconds interval);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

 private:
  void Arm();

  asio::steady_timer timer_;
  std::chrono::milliseconds interval_;
  std::function<void()> on_tick_;
  bool enabled_ = false;
  std::uint64_t generation_ = 0;  // a wait started before the last re-arm is stale
};

}  // namespace ebbmark
