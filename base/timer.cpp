#include "base/timer.h"

namespace ebbmark {

void Timer::SetInterval(std::chrono::milliseconds interval) {
  interval_ = interval;
  if (enabled_) Arm();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_) {
    Arm();
  } else {
    ++generation_;
    timer_.cancel();
  }
}

void Timer::Arm() {
  const auto gen = ++generation_;
  timer_.expires_after(interval_);
  timer_.async_wait([this, gen](const std::error_code& ec) {
    if (ec || gen != generation_ || !enabled_) return;
    on_tick_();
    // The handler may have disabled the timer or re-armed it with a new
    // interval; only a timer left as it was is re-armed here.
    if (enabled_ && gen == generation_) Arm();
  });
}

}  // namespace ebbmark
