#pragma once
// Asks the system about the monitoring service and starts or stops it. Every
// failure (no service manager, no such service, access denied) is a false
// result; nothing throws.

#include <string>

namespace ebbmark {

inline constexpr const char* kServiceName = "Ebbmark";

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  // True when the service exists.
  virtual bool IsServiceInstalled(const std::string& name) = 0;
  // True when the service exists and is running.
  virtual bool IsServiceRunning(const std::string& name) = 0;
  // Asks a stopped service to start; a service in any other state is left
  // alone. True when no step failed, also when nothing had to be done.
  virtual bool StartNamedService(const std::string& name) = 0;
  // Asks a running service to stop; true when no step failed, also when
  // nothing had to be done. Does not wait for the new state.
  virtual bool StopNamedService(const std::string& name) = 0;
};

// The platform's service control (systemctl / the service control manager).
ServiceControl& SystemServiceControl();

}  // namespace ebbmark
