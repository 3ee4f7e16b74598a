#include "config/qt/asio_pump.h"

namespace ebbmark {

AsioPump::AsioPump(asio::io_context& io, QObject* parent) : QObject(parent), io_(io) {}

AsioPump::~AsioPump() {
  Stop();
}

QTimer* AsioPump::TimerAt(int level) {
  while (static_cast<int>(timers_.size()) <= level) {
    const int this_level = static_cast<int>(timers_.size());
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::CoarseTimer);
    connect(timer.get(), &QTimer::timeout, this, [this, this_level] { Tick(this_level); });
    timers_.push_back(std::move(timer));
  }
  return timers_[static_cast<std::size_t>(level)].get();
}

void AsioPump::Start() {
  running_ = true;
  TimerAt(0)->start(0);
}

void AsioPump::Stop() {
  running_ = false;
  for (auto& t : timers_) t->stop();
}

void AsioPump::Tick(int level) {
  if (!running_ || level != depth_) return;
  ++depth_;
  if (depth_ < kMaxDepth) TimerAt(depth_)->start(kIdleMilliseconds);
  // A loop without work reports itself stopped; it must be restarted before
  // it runs handlers again.
  if (io_.stopped()) io_.restart();
  const std::size_t ran = io_.poll();
  handlers_run_ += ran;
  if (depth_ < kMaxDepth) TimerAt(depth_)->stop();
  --depth_;
  // Work that just ran often queues more (a read completes, the next one
  // starts): look again at once; otherwise wait a little.
  if (running_) TimerAt(level)->start(ran > 0 ? 0 : kIdleMilliseconds);
}

}  // namespace ebbmark
