#pragma once
// Powering the computer off or hibernating it.

#include <memory>
#include <string>
#include <system_error>

namespace ebbmark {

enum class PowerKind { Shutdown, Hibernate };

// The system's refusal of a power action; empty (false) when it was accepted.
struct PowerRefusal {
  std::error_code error;
  std::string words;  // the system's own explanation, when it gave one

  explicit operator bool() const { return static_cast<bool>(error); }
  // What a record says: the system's words, else the error's text.
  std::string Text() const { return words.empty() ? error.message() : words; }
};

class PowerControl {
 public:
  virtual ~PowerControl() = default;
  // Asks the system to power off or hibernate. With `force`, other programs
  // can neither delay nor block it. Returns the system's refusal, if any; a
  // hibernate returns after the computer resumes.
  virtual PowerRefusal Perform(PowerKind kind, bool force) = 0;
};

// The platform's power control. When EBBMARK_POWER_DRYRUN names a file, the
// returned control appends {"action":"shutdown","force":true,...} lines there
// instead of acting; EBBMARK_POWER_DRYRUN_REFUSE then lists the actions it
// refuses (see MakeDryRunPowerControl).
std::unique_ptr<PowerControl> MakePowerControl();

}  // namespace ebbmark
