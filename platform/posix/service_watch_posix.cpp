// The service's state from systemd over D-Bus, on the program's loop. The
// unit's LoadState and ActiveState are read once and then followed through
// its PropertiesChanged signals; a reload of systemd's configuration (the
// service being installed or removed) and a restart of systemd itself make
// the watch read them again. Start and stop are StartUnit / StopUnit calls
// that let polkit ask the desktop user for a password; their answers arrive
// later, so the window never waits for them.

#include <systemd/sd-bus.h>

#include <string>
#include <utility>

#include <asio/post.hpp>

#include "platform/posix/sd_bus_pump_posix.h"
#include "platform/posix/systemctl_posix.h"
#include "platform/service_watch.h"

namespace ebbmark {
namespace {

constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnit = "org.freedesktop.systemd1.Unit";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
// A state query that gets no answer in this time counts as failed.
constexpr std::uint64_t kQueryMicroseconds = 10'000'000;
// Long enough for a person to read polkit's question and type a password.
constexpr std::uint64_t kRequestMicroseconds = 180'000'000;

// The object path systemd gives a unit: every byte that is not a letter or
// a digit becomes "_" and two hex digits.
std::string UnitObjectPath(const std::string& unit) {
  static const char* hex = "0123456789abcdef";
  std::string path = "/org/freedesktop/systemd1/unit/";
  for (const char c : unit) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) {
      path.push_back(c);
    } else {
      path.push_back('_');
      path.push_back(hex[b >> 4]);
      path.push_back(hex[b & 15]);
    }
  }
  return path;
}

ServiceState StateOf(const std::string& load_state, const std::string& active_state) {
  if (load_state.empty() || load_state == "not-found") return ServiceState::NotInstalled;
  if (active_state == "active" || active_state == "reloading" || active_state == "refreshing")
    return ServiceState::Running;
  if (active_state == "activating") return ServiceState::Starting;
  if (active_state == "deactivating") return ServiceState::Stopping;
  return ServiceState::Stopped;
}

// Reads the LoadState and ActiveState entries of an a{sv} dictionary; other
// entries are skipped. False when the message is not such a dictionary.
bool ReadUnitProperties(sd_bus_message* m, std::string& load_state, std::string& active_state) {
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}") < 0) return false;
  for (;;) {
    const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
    if (r < 0) return false;
    if (r == 0) break;
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    const std::string name = key;
    std::string* target = name == "LoadState"     ? &load_state
                          : name == "ActiveState" ? &active_state
                                                  : nullptr;
    const char* value = nullptr;
    if (target != nullptr && sd_bus_message_read(m, "v", "s", &value) >= 0) {
      *target = value;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

class SystemdServiceWatch final : public ServiceWatch {
 public:
  SystemdServiceWatch(asio::io_context& io, const std::string& name, const std::string& address)
      : io_(io), unit_(UnitName(name)) {
    sd_bus* bus = OpenBus(address);
    if (bus == nullptr) {
      Unreachable("there is no system bus to ask it on");
      return;
    }
    if (unit_.empty()) {
      sd_bus_unref(bus);
      Settle(ServiceState::NotInstalled);
      return;
    }
    path_ = UnitObjectPath(unit_);
    pump_ = std::make_unique<SdBusPump>(io_, bus);
    bool ok =
        sd_bus_match_signal_async(bus, nullptr, kSystemd, path_.c_str(), kProperties,
                                  "PropertiesChanged", &OnPropertiesChanged, nullptr, this) >= 0 &&
        sd_bus_match_signal_async(bus, nullptr, kSystemd, kManagerPath, kManager, nullptr,
                                  &OnManagerSignal, nullptr, this) >= 0;
    const std::string owner_match =
        std::string(
            "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
            "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
        kSystemd + "'";
    ok = ok && sd_bus_add_match_async(bus, nullptr, owner_match.c_str(), &OnOwnerChanged, nullptr,
                                      this) >= 0;
    if (!ok) {
      pump_.reset();
      Unreachable("the system bus refused to pass on its signals");
      return;
    }
    Subscribe();
    Query();
  }

  ~SystemdServiceWatch() override {
    // Closing the bus drops every outstanding call and match with it.
    query_slot_ = sd_bus_slot_unref(query_slot_);
    pump_.reset();
    alive_.reset();
  }

  ServiceState State() const override { return state_; }

  void Start(std::function<void(bool)> done) override {
    Request("StartUnit", ServiceState::Stopped, std::move(done));
  }
  void Stop(std::function<void(bool)> done) override {
    Request("StopUnit", ServiceState::Running, std::move(done));
  }

 private:
  struct Call {
    SystemdServiceWatch* watch;
    std::function<void(bool)> done;
  };

  static sd_bus* OpenBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty()) {
      if (sd_bus_open_system(&bus) < 0) return nullptr;
      return bus;
    }
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
      sd_bus_unref(bus);
      return nullptr;
    }
    return bus;
  }

  // systemd sends unit signals only while some client has subscribed.
  void Subscribe() {
    sd_bus_call_method_async(pump_->Bus(), nullptr, kSystemd, kManagerPath, kManager, "Subscribe",
                             nullptr, nullptr, "");
    pump_->Kick();
  }

  void Query() {
    // A newer question makes an older, unanswered one moot.
    query_slot_ = sd_bus_slot_unref(query_slot_);
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(pump_->Bus(), &m, kSystemd, path_.c_str(), kProperties,
                                           "GetAll");
    if (r >= 0) r = sd_bus_message_append(m, "s", kUnit);
    if (r >= 0)
      r = sd_bus_call_async(pump_->Bus(), &query_slot_, m, &OnQueryAnswer, this,
                            kQueryMicroseconds);
    sd_bus_message_unref(m);
    if (r < 0) {
      Unreachable("the question could not be sent on the system bus");
      return;
    }
    pump_->Kick();
  }

  static int OnQueryAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SystemdServiceWatch*>(userdata);
    self->query_slot_ = sd_bus_slot_unref(self->query_slot_);
    std::string load_state, active_state;
    if (sd_bus_message_is_method_error(reply, nullptr) ||
        !ReadUnitProperties(reply, load_state, active_state)) {
      self->load_state_.clear();
      self->active_state_.clear();
      // No answer, or nobody to give one, is not the same as a manager
      // that knows no such service: the service may well be installed.
      const sd_bus_error* e = sd_bus_message_get_error(reply);
      const std::string name = e != nullptr && e->name != nullptr ? e->name : "";
      if (name == SD_BUS_ERROR_TIMEOUT || name == SD_BUS_ERROR_NO_REPLY) {
        self->Unreachable("it did not answer in time");
      } else if (name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER ||
                 name == SD_BUS_ERROR_DISCONNECTED ||
                 // the bus tried to start it and could not
                 name.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0) {
        self->Unreachable("it is not on the system bus");
      } else {
        self->Settle(ServiceState::NotInstalled);
      }
      return 0;
    }
    self->load_state_ = load_state;
    self->active_state_ = active_state;
    self->Settle(StateOf(load_state, active_state));
    return 0;
  }

  static int OnPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SystemdServiceWatch*>(userdata);
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0 || std::string(interface) != kUnit) return 0;
    std::string load_state = self->load_state_, active_state = self->active_state_;
    if (!ReadUnitProperties(m, load_state, active_state)) return 0;
    bool invalidated = false;
    if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "s") >= 0) {
      const char* name = nullptr;
      while (sd_bus_message_read(m, "s", &name) > 0) {
        const std::string n = name;
        if (n == "LoadState" || n == "ActiveState") invalidated = true;
      }
      sd_bus_message_exit_container(m);
    }
    if (invalidated) {
      self->Query();
      return 0;
    }
    self->load_state_ = load_state;
    self->active_state_ = active_state;
    self->Settle(StateOf(load_state, active_state));
    return 0;
  }

  static int OnManagerSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SystemdServiceWatch*>(userdata);
    if (sd_bus_message_is_signal(m, kManager, "Reloading")) {
      int reloading = 0;
      // The unit files have been read again: the service may have come or gone.
      if (sd_bus_message_read(m, "b", &reloading) >= 0 && !reloading) self->Query();
    } else if (sd_bus_message_is_signal(m, kManager, "UnitNew") ||
               sd_bus_message_is_signal(m, kManager, "UnitRemoved")) {
      const char* id = nullptr;
      if (sd_bus_message_read(m, "s", &id) >= 0 && self->unit_ == id) self->Query();
    }
    return 0;
  }

  static int OnOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SystemdServiceWatch*>(userdata);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0) return 0;
    // systemd came back (after re-executing itself): its subscription list
    // is new and the unit's state may have changed meanwhile.
    if (new_owner != nullptr && *new_owner != '\0') {
      self->Subscribe();
      self->Query();
    }
    return 0;
  }

  void Request(const char* method, ServiceState acts_on, std::function<void(bool)> done) {
    if (!Installed()) {
      Answer(std::move(done), false);
      return;
    }
    // Starting, stopping or already there: nothing to ask.
    if (state_ != acts_on) {
      Answer(std::move(done), true);
      return;
    }
    sd_bus_message* m = nullptr;
    int r =
        sd_bus_message_new_method_call(pump_->Bus(), &m, kSystemd, kManagerPath, kManager, method);
    if (r >= 0) r = sd_bus_message_append(m, "ss", unit_.c_str(), "replace");
    if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(m, 1);
    auto* call = new Call{this, std::move(done)};
    sd_bus_slot* slot = nullptr;
    if (r >= 0)
      r = sd_bus_call_async(pump_->Bus(), &slot, m, &OnRequestAnswer, call, kRequestMicroseconds);
    sd_bus_message_unref(m);
    if (r < 0) {
      Answer(std::move(call->done), false);
      delete call;
      return;
    }
    // The call's record goes with its slot, also when the bus closes first.
    sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<Call*>(p); });
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    pump_->Kick();
  }

  static int OnRequestAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    call->watch->Answer(std::move(call->done), !sd_bus_message_is_method_error(reply, nullptr));
    return 0;
  }

  // Answers and notices run as handlers of their own, never from inside
  // sd-bus's processing: an observer may show a message box.
  void Answer(std::function<void(bool)> done, bool ok) {
    if (!done) return;
    asio::post(io_, [alive = std::weak_ptr<int>(alive_), done = std::move(done), ok] {
      if (!alive.expired()) done(ok);
    });
  }

  std::string UnreachableReason() const override {
    return state_ == ServiceState::Unreachable ? reason_ : std::string();
  }

  void Unreachable(std::string reason) {
    reason_ = std::move(reason);
    Settle(ServiceState::Unreachable);
  }

  void Settle(ServiceState state) {
    if (state == state_) return;
    state_ = state;
    asio::post(io_, [this, alive = std::weak_ptr<int>(alive_)] {
      if (!alive.expired()) NotifyChange();
    });
  }

  asio::io_context& io_;
  std::string unit_;
  std::string path_;
  std::unique_ptr<SdBusPump> pump_;
  sd_bus_slot* query_slot_ = nullptr;
  std::string load_state_, active_state_;
  ServiceState state_ = ServiceState::Unknown;
  std::string reason_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace

std::unique_ptr<ServiceWatch> MakeServiceWatch(asio::io_context& io, const std::string& name,
                                               const std::string& bus_address) {
  return std::make_unique<SystemdServiceWatch>(io, name, bus_address);
}

}  // namespace ebbmark
