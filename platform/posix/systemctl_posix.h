#pragma once
// Runs `systemctl` for the service control and the service host: found on
// PATH, started without a shell, its standard output captured and its error
// output discarded, judged by its exit code.

#include <string>
#include <vector>

namespace ebbmark {

struct SystemctlResult {
  // The exit code; -1 when systemctl could not be started, was killed by a
  // signal, or did not finish in time.
  int exit_code = -1;
  std::string output;

  bool ok() const { return exit_code == 0; }
};

// Runs `systemctl args...` and waits for it (by default at most about 30
// seconds of silence before it is killed; longer where a person may be typing
// a password for polkit). Never throws.
SystemctlResult RunSystemctl(const std::vector<std::string>& args, int silent_seconds_limit = 30);

// The systemd unit of a service: "Ebbmark" -> "ebbmark.service". Empty when
// the name holds a character a unit name may not have (or is empty), so that
// no name can be taken for an option or a second unit.
std::string UnitName(const std::string& service_name);

}  // namespace ebbmark
