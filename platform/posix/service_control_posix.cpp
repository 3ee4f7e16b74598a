// Service control on Linux through systemctl. The service "Ebbmark" is the
// unit "ebbmark.service". One `systemctl show` tells whether the unit exists
// and what state it is in; start and stop requests are queued with --no-block,
// so they return once systemd has accepted them, without waiting for the new
// state. When the user may not start or stop services, polkit asks the
// desktop user for a password (the configuration program is not root); with
// no agent to ask, systemctl fails and the caller reports it.

#include <string>
#include <string_view>

#include "platform/service_control.h"
#include "platform/posix/systemctl_posix.h"

namespace ebbmark {
namespace {

// Long enough for a person to read polkit's question and type a password.
constexpr int kPasswordSeconds = 180;

struct UnitState {
  bool known = false;        // systemctl answered and the unit exists
  std::string load_state;    // loaded, masked, bad-setting, ...
  std::string active_state;  // active, inactive, failed, activating, ...
};

std::string PropertyValue(const std::string& output, std::string_view key) {
  std::size_t pos = 0;
  while (pos < output.size()) {
    auto end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    std::string_view line(output.data() + pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
      return std::string(line.substr(key.size() + 1));
    }
    pos = end + 1;
  }
  return {};
}

UnitState QueryUnit(const std::string& unit) {
  UnitState state;
  if (unit.empty()) return state;
  const auto result =
      RunSystemctl({"show", "--property=LoadState", "--property=ActiveState", unit});
  if (!result.ok()) return state;
  state.load_state = PropertyValue(result.output, "LoadState");
  state.active_state = PropertyValue(result.output, "ActiveState");
  // systemd answers for any name; a unit without a file is "not-found".
  state.known = !state.load_state.empty() && state.load_state != "not-found";
  return state;
}

bool IsRunningState(const std::string& active_state) {
  return active_state == "active" || active_state == "reloading";
}

bool IsStoppedState(const std::string& active_state) {
  return active_state == "inactive" || active_state == "failed";
}

class SystemctlServiceControl final : public ServiceControl {
 public:
  bool IsServiceInstalled(const std::string& name) override {
    return QueryUnit(UnitName(name)).known;
  }

  bool IsServiceRunning(const std::string& name) override {
    const auto state = QueryUnit(UnitName(name));
    return state.known && IsRunningState(state.active_state);
  }

  bool StartNamedService(const std::string& name) override {
    const std::string unit = UnitName(name);
    const auto state = QueryUnit(unit);
    if (!state.known) return false;
    // Starting, stopping or already running: nothing to do.
    if (!IsStoppedState(state.active_state)) return true;
    return RunSystemctl({"start", "--no-block", unit}, kPasswordSeconds).ok();
  }

  bool StopNamedService(const std::string& name) override {
    const std::string unit = UnitName(name);
    const auto state = QueryUnit(unit);
    if (!state.known) return false;
    if (!IsRunningState(state.active_state)) return true;
    return RunSystemctl({"stop", "--no-block", unit}, kPasswordSeconds).ok();
  }
};

}  // namespace

ServiceControl& SystemServiceControl() {
  static SystemctlServiceControl control;
  return control;
}

}  // namespace ebbmark
