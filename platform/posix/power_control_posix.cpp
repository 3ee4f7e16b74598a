// Powering off and hibernating through logind over the system D-Bus, with
// systemctl as the way out when logind cannot be reached.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/power_control.h"
#include "platform/power_dryrun.h"

extern char** environ;

namespace ebbmark {
namespace {

// logind's flags for the *WithFlags methods.
constexpr std::uint64_t kRootCheckInhibitors = std::uint64_t{1} << 0;  // root obeys locks too
constexpr std::uint64_t kSkipInhibitors = std::uint64_t{1} << 4;       // no lock blocks or delays

enum class BusOutcome { Done, Refused, NoLogind };

struct BusCall {
  BusOutcome outcome = BusOutcome::Done;
  std::error_code error;
  std::string words;  // logind's own message, such as "Not enough swap space for hibernation"
};

class Bus {
 public:
  Bus() { open_rc_ = sd_bus_open_system(&bus_); }
  ~Bus() { sd_bus_flush_close_unref(bus_); }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  bool ok() const { return open_rc_ >= 0 && bus_ != nullptr; }

  // Calls a logind manager method; `signature` is "t" (flags) or "b" (interactive).
  int Call(const char* method, const char* signature, std::uint64_t flags, sd_bus_error* error) {
    if (signature[0] == 't') {
      return sd_bus_call_method(bus_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", method, error, nullptr, "t",
                                flags);
    }
    return sd_bus_call_method(bus_, "org.freedesktop.login1", "/org/freedesktop/login1",
                              "org.freedesktop.login1.Manager", method, error, nullptr, "b", 0);
  }

 private:
  sd_bus* bus_ = nullptr;
  int open_rc_ = -ENOTCONN;
};

class BusError {
 public:
  ~BusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  bool Is(const char* name) const { return sd_bus_error_has_name(&error_, name) > 0; }
  std::string Message() const { return error_.message != nullptr ? error_.message : ""; }
  void Reset() {
    sd_bus_error_free(&error_);
    error_ = SD_BUS_ERROR_NULL;
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

bool NoLogind(const BusError& e) {
  return e.Is(SD_BUS_ERROR_SERVICE_UNKNOWN) || e.Is(SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

BusCall AskLogind(PowerKind kind, bool force) {
  Bus bus;
  if (!bus.ok()) return {BusOutcome::NoLogind, {}, {}};
  const std::string method = kind == PowerKind::Shutdown ? "PowerOff" : "Hibernate";
  const std::string with_flags = method + "WithFlags";

  // Without force the locks other programs hold are obeyed even though the
  // service runs as root; with force none of them may block or delay it.
  BusError error;
  int r = bus.Call(with_flags.c_str(), "t", force ? kSkipInhibitors : kRootCheckInhibitors,
                   error.get());
  if (r < 0 && force && error.Is(SD_BUS_ERROR_INVALID_ARGS)) {
    // A logind that predates the skip flag refuses it. Flags 0 still lets a
    // privileged caller pass blocking locks; delay locks then hold it up for
    // at most logind's own bounded delay.
    error.Reset();
    r = bus.Call(with_flags.c_str(), "t", 0, error.get());
  }
  if (r < 0 && error.Is(SD_BUS_ERROR_UNKNOWN_METHOD)) {
    // An older logind without the flags methods.
    error.Reset();
    r = bus.Call(method.c_str(), "b", 0, error.get());
  }
  if (r >= 0) return {BusOutcome::Done, {}, {}};
  if (NoLogind(error)) return {BusOutcome::NoLogind, {}, {}};
  return {BusOutcome::Refused, std::error_code(-r, std::system_category()), error.Message()};
}

// systemctl talks to the service manager directly when logind is absent.
PowerRefusal AskSystemctl(PowerKind kind, bool force) {
  std::vector<std::string> args = {"systemctl",
                                   kind == PowerKind::Shutdown ? "poweroff" : "hibernate"};
  if (force) args.emplace_back("--ignore-inhibitors");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return {std::error_code(rc, std::system_category()), {}};

  int status = 0;
  pid_t w;
  do {
    w = waitpid(pid, &status, 0);
  } while (w < 0 && errno == EINTR);
  if (w < 0) return {std::error_code(errno, std::system_category()), {}};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return {std::make_error_code(std::errc::operation_canceled), "systemctl refused it"};
  return {};
}

// logind accepts a hibernation and returns at once; the computer sleeps
// shortly after. The caller stops the service either way, as it does after a
// resume on systems whose call returns only then.
class PosixPowerControl final : public PowerControl {
 public:
  PowerRefusal Perform(PowerKind kind, bool force) override {
    const BusCall call = AskLogind(kind, force);
    if (call.outcome == BusOutcome::Done) return {};
    if (call.outcome == BusOutcome::Refused) return {call.error, call.words};
    return AskSystemctl(kind, force);
  }
};

}  // namespace

std::unique_ptr<PowerControl> MakePowerControl() {
  const char* dry = std::getenv("EBBMARK_POWER_DRYRUN");
  const char* refuse = std::getenv("EBBMARK_POWER_DRYRUN_REFUSE");
  if (auto control = DryRunFromSwitches(dry ? dry : "", refuse ? refuse : "")) return control;
  return std::make_unique<PosixPowerControl>();
}

}  // namespace ebbmark
