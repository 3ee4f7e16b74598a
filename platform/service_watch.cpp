#include "platform/service_watch.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace ebbmark {

int ServiceWatch::Subscribe(std::function<void()> on_change) {
  const int id = next_id_++;
  observers_->push_back({id, std::move(on_change)});
  return id;
}

void ServiceWatch::Unsubscribe(int id) {
  std::erase_if(*observers_, [id](const Observer& o) { return o.id == id; });
}

void ServiceWatch::NotifyChange() {
  // An observer may unsubscribe itself or another one while being told.
  const auto observers = observers_;
  const std::vector<Observer> snapshot = *observers;
  for (const Observer& o : snapshot) {
    const bool still_there = std::any_of(observers->begin(), observers->end(),
                                         [&o](const Observer& x) { return x.id == o.id; });
    if (still_there && o.fn) o.fn();
  }
}

PolledServiceWatch::PolledServiceWatch(ServiceControl& control, std::string name,
                                       asio::io_context* io)
    : control_(control), name_(std::move(name)) {
  if (io != nullptr) {
    timer_ = std::make_unique<Timer>(*io, std::chrono::seconds(1), [this] { Poll(); });
    timer_->SetEnabled(true);
  }
}

ServiceState PolledServiceWatch::State() const {
  if (!control_.IsServiceInstalled(name_)) return ServiceState::NotInstalled;
  return control_.IsServiceRunning(name_) ? ServiceState::Running : ServiceState::Stopped;
}

void PolledServiceWatch::Poll() {
  const ServiceState now = State();
  if (now == last_) return;
  last_ = now;
  NotifyChange();
}

void PolledServiceWatch::Start(std::function<void(bool)> done) {
  const bool ok = control_.StartNamedService(name_);
  if (done) done(ok);
  Poll();
}

void PolledServiceWatch::Stop(std::function<void(bool)> done) {
  const bool ok = control_.StopNamedService(name_);
  if (done) done(ok);
  Poll();
}

}  // namespace ebbmark
