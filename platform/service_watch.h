#pragma once
// The configuration program's view of the monitoring service: its state as
// the service manager last reported it, a notice whenever that changes, and
// start and stop requests whose answers arrive later. Nothing here waits for
// the service manager: a window that shows the state or asks for a change
// stays responsive while the manager (or the person answering the system's
// password question) takes its time.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "base/timer.h"
#include "platform/service_control.h"

namespace ebbmark {

enum class ServiceState {
  Unknown,       // no answer yet
  NotInstalled,  // the manager knows no such service
  Unreachable,   // the manager could not be asked (UnreachableReason says why)
  Stopped,
  Starting,
  Running,
  Stopping,
};

class ServiceWatch {
 public:
  virtual ~ServiceWatch() = default;

  // The state as last reported. Never blocks.
  virtual ServiceState State() const = 0;
  bool Installed() const {
    const ServiceState s = State();
    return s != ServiceState::NotInstalled && s != ServiceState::Unknown &&
           s != ServiceState::Unreachable;
  }
  // Why the manager could not be asked, for the user ("there is no system
  // bus"); empty unless State() is Unreachable.
  virtual std::string UnreachableReason() const { return {}; }
  bool Running() const { return State() == ServiceState::Running; }

  // Asks a stopped service to start (a running one to stop). `done` runs on
  // the program's loop once the manager has accepted (true) or refused
  // (false) the request, or at once when there is nothing to do (true) or
  // the service is not installed (false). The new state follows through
  // `on_change`. The watch may be destroyed with a request outstanding;
  // `done` is then never called.
  virtual void Start(std::function<void(bool)> done) = 0;
  virtual void Stop(std::function<void(bool)> done) = 0;

  // Runs on the program's loop after every change of State(). One observer
  // per window that shows the state; each gets an id to disconnect with.
  int Subscribe(std::function<void()> on_change);
  void Unsubscribe(int id);

 protected:
  // For implementations: tells every observer.
  void NotifyChange();

 private:
  struct Observer {
    int id;
    std::function<void()> fn;
  };
  std::shared_ptr<std::vector<Observer>> observers_ = std::make_shared<std::vector<Observer>>();
  int next_id_ = 1;
};

// A watch over a service control whose calls return at once (the Windows
// service control manager, or a test's fake): State() asks it each time, and
// a one-second timer tells the observers when the answer has changed. Start
// and Stop call it directly and report before they return.
class PolledServiceWatch final : public ServiceWatch {
 public:
  // `io`: the loop of the change timer; null for no timer (a test ticks
  // Poll itself).
  PolledServiceWatch(ServiceControl& control, std::string name, asio::io_context* io);
  ServiceState State() const override;
  void Start(std::function<void(bool)> done) override;
  void Stop(std::function<void(bool)> done) override;
  // Asks again and tells the observers when the state has changed.
  void Poll();

 private:
  ServiceControl& control_;
  std::string name_;
  ServiceState last_ = ServiceState::Unknown;
  std::unique_ptr<Timer> timer_;
};

// The system's service manager for the service `name`, followed on `io`:
// on Linux systemd over D-Bus (the system bus, or `bus_address` when given),
// on Windows the service control manager.
std::unique_ptr<ServiceWatch> MakeServiceWatch(asio::io_context& io, const std::string& name,
                                               const std::string& bus_address = {});

}  // namespace ebbmark
