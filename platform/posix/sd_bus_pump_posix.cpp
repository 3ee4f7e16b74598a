#include "platform/posix/sd_bus_pump_posix.h"

#include <poll.h>
#include <time.h>

#include <asio/post.hpp>
#include <chrono>

namespace ebbmark {

SdBusPump::SdBusPump(asio::io_context& io, sd_bus* bus) : io_(io), bus_(bus), fd_(io), timer_(io) {
  const int fd = bus_ != nullptr ? sd_bus_get_fd(bus_) : -1;
  if (fd >= 0) {
    asio::error_code ec;
    fd_.assign(fd, ec);
  }
  Kick();
}

SdBusPump::~SdBusPump() {
  alive_.reset();
  // The descriptor belongs to sd-bus, which closes it.
  if (fd_.is_open()) {
    asio::error_code ec;
    fd_.cancel(ec);
    fd_.release();
  }
  timer_.cancel();
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

void SdBusPump::Kick() {
  if (bus_ == nullptr || processing_) return;
  // Later on the loop, never inside the caller's own handling.
  asio::post(io_, [this, alive = std::weak_ptr<int>(alive_)] {
    if (!alive.expired()) Process();
  });
}

void SdBusPump::Process() {
  if (bus_ == nullptr) return;
  processing_ = true;
  // A bounded batch: a flood of messages must not keep the loop from its
  // other work; what is left is taken up again at once.
  int done = 0;
  int r = 0;
  while (done < 64 && (r = sd_bus_process(bus_, nullptr)) > 0) ++done;
  processing_ = false;
  if (r < 0) {
    // The connection is gone (the bus daemon stopped): nothing more comes.
    return;
  }
  if (done == 64) {
    Kick();
    return;
  }
  Arm();
}

void SdBusPump::Arm() {
  if (!fd_.is_open()) return;
  const int events = sd_bus_get_events(bus_);
  if (events < 0) return;
  const std::weak_ptr<int> alive = alive_;
  if ((events & POLLIN) && !reading_) {
    reading_ = true;
    fd_.async_wait(asio::posix::stream_descriptor::wait_read, [this, alive](asio::error_code ec) {
      if (alive.expired()) return;
      reading_ = false;
      if (!ec) Process();
    });
  }
  if ((events & POLLOUT) && !writing_) {
    writing_ = true;
    fd_.async_wait(asio::posix::stream_descriptor::wait_write, [this, alive](asio::error_code ec) {
      if (alive.expired()) return;
      writing_ = false;
      if (!ec) Process();
    });
  }
  std::uint64_t until = 0;
  if (sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) return;
  // sd-bus counts on CLOCK_MONOTONIC, as the steady clock does here.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t now_us = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                               static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
  const auto wait = std::chrono::microseconds(until > now_us ? until - now_us : 0);
  const std::uint64_t generation = ++timer_generation_;
  timer_.expires_after(wait);
  timer_.async_wait([this, alive, generation](asio::error_code ec) {
    if (alive.expired() || ec || generation != timer_generation_) return;
    Process();
  });
}

}  // namespace ebbmark
