#pragma once
// Powering the computer off or hibernating it.

#include <memory>
#include <string>
#include <system_error>

namespace ebbmark {

enum class PowerKind { Shutdown, Hibernate };

class PowerControl {
 public:
  virtual ~PowerControl() = default;
  // Asks the system to power off or hibernate. With `force`, other programs
  // can neither delay nor block it. Returns the system's refusal, if any; a
  // hibernate returns after the computer resumes.
  virtual std::error_code Perform(PowerKind kind, bool force) = 0;
};

// The platform's power control. When EBBMARK_POWER_DRYRUN names a file, the
// returned control appends {"action":"shutdown","force":true} lines there
// instead of acting.
std::unique_ptr<PowerControl> MakePowerControl();

}  // namespace ebbmark
