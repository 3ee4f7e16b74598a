#pragma once
// A private D-Bus daemon and a stand-in for systemd on it: one unit whose
// LoadState and ActiveState a test sets, with the PropertiesChanged and
// Reloading signals systemd would send, and a Manager that records StartUnit
// and StopUnit calls and answers them as the test decides. Both connections
// run on the test's asio loop.

#include <signal.h>
#include <stdio.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/posix/sd_bus_pump_posix.h"

namespace ebbmark::testing {

// `dbus-daemon --session` on a socket of its own, ended with the object.
class PrivateBus {
 public:
  PrivateBus() {
    FILE* out =
        ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
    if (out == nullptr) return;
    char line[512];
    if (std::fgets(line, sizeof line, out) != nullptr) address_ = Chomp(line);
    if (std::fgets(line, sizeof line, out) != nullptr) pid_ = std::atoi(line);
    ::pclose(out);
    if (pid_ <= 0) address_.clear();
  }
  ~PrivateBus() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when no daemon could be started.
  const std::string& Address() const { return address_; }

 private:
  static std::string Chomp(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  std::string address_;
  int pid_ = 0;
};

class SystemdStandIn {
 public:
  static constexpr const char* kUnitPath = "/org/freedesktop/systemd1/unit/ebbmark_2eservice";

  struct Request {
    std::string method, unit, mode;
    bool interactive = false;
  };
  std::vector<Request> requests;
  int subscribes = 0;
  // How StartUnit and StopUnit answer: an error name, or empty for a job.
  std::string refuse_with;
  // Keep the answers back (a password question nobody answers yet).
  bool hold_answers = false;

  SystemdStandIn(asio::io_context& io, const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 || sd_bus_request_name(bus, "org.freedesktop.systemd1", 0) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1",
                                 "org.freedesktop.systemd1.Manager", kManagerTable, this) < 0) {
      sd_bus_unref(bus);
      return;
    }
    pump_ = std::make_unique<SdBusPump>(io, bus);
  }
  ~SystemdStandIn() {
    for (sd_bus_message* m : held_) sd_bus_message_unref(m);
    unit_slot_ = sd_bus_slot_unref(unit_slot_);
  }

  bool Ok() const { return pump_ != nullptr; }

  // The unit file appears (systemd reloads) or goes away.
  void Install(const std::string& active_state = "inactive") {
    active_ = active_state;
    if (unit_slot_ == nullptr)
      sd_bus_add_object_vtable(pump_->Bus(), &unit_slot_, kUnitPath,
                               "org.freedesktop.systemd1.Unit", kUnitTable, this);
    Reloaded();
  }
  void Uninstall() {
    unit_slot_ = sd_bus_slot_unref(unit_slot_);
    Reloaded();
  }
  void SetActiveState(const std::string& state) {
    active_ = state;
    sd_bus_emit_properties_changed(pump_->Bus(), kUnitPath, "org.freedesktop.systemd1.Unit",
                                   "ActiveState", nullptr);
    pump_->Kick();
  }
  // Sends the answers kept back.
  void Release() {
    for (sd_bus_message* m : held_) {
      Answer(m);
      sd_bus_message_unref(m);
    }
    held_.clear();
    pump_->Kick();
  }

 private:
  void Reloaded() {
    sd_bus_emit_signal(pump_->Bus(), "/org/freedesktop/systemd1",
                       "org.freedesktop.systemd1.Manager", "Reloading", "b", 0);
    pump_->Kick();
  }

  void Answer(sd_bus_message* call) {
    if (refuse_with.empty()) {
      sd_bus_reply_method_return(call, "o", "/org/freedesktop/systemd1/job/1");
    } else {
      sd_bus_reply_method_errorf(call, refuse_with.c_str(), "refused by the test");
    }
  }

  static int OnSubscribe(sd_bus_message* m, void* self, sd_bus_error*) {
    ++static_cast<SystemdStandIn*>(self)->subscribes;
    return sd_bus_reply_method_return(m, "");
  }

  static int OnRequest(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SystemdStandIn*>(userdata);
    const char *unit = nullptr, *mode = nullptr;
    sd_bus_message_read(m, "ss", &unit, &mode);
    self->requests.push_back({sd_bus_message_get_member(m), unit, mode,
                              sd_bus_message_get_allow_interactive_authorization(m) > 0});
    if (self->hold_answers) {
      self->held_.push_back(sd_bus_message_ref(m));
      return 1;
    }
    self->Answer(m);
    return 1;
  }

  static int GetLoadState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                          void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "loaded");
  }
  static int GetActiveState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                            void* self, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<SystemdStandIn*>(self)->active_.c_str());
  }
  static int GetRestarts(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "u", 3u);
  }

  static constexpr sd_bus_vtable kManagerTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Subscribe", "", "", OnSubscribe, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("StartUnit", "ss", "o", OnRequest, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("StopUnit", "ss", "o", OnRequest, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("Reloading", "b", 0),
      SD_BUS_VTABLE_END,
  };
  // A property of another type between the two read, as systemd's unit
  // interface has many.
  static constexpr sd_bus_vtable kUnitTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("NRestarts", "u", GetRestarts, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("LoadState", "s", GetLoadState, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("ActiveState", "s", GetActiveState, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_VTABLE_END,
  };

  std::unique_ptr<SdBusPump> pump_;
  sd_bus_slot* unit_slot_ = nullptr;
  std::string active_ = "inactive";
  std::vector<sd_bus_message*> held_;
};

// Runs the loop until `done` holds: at most `limit` waits of 10 ms each.
inline bool RunUntil(asio::io_context& io, const std::function<bool()>& done, int limit = 500) {
  for (int i = 0; i < limit; ++i) {
    if (done()) return true;
    io.restart();
    io.run_one_for(std::chrono::milliseconds(10));
  }
  return done();
}

}  // namespace ebbmark::testing
