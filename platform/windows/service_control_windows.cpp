// Service control on Windows through the service control manager. The
// service's state is what QueryServiceStatusEx reports: SERVICE_STOPPED (1)
// is stopped and SERVICE_RUNNING (4) running; any pending or paused state is
// neither. Start and stop requests return once the manager has accepted them.

#include <windows.h>

#include <string>

#include "platform/service_control.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace {

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ~ServiceHandle() {
    if (h_ != nullptr) ::CloseServiceHandle(h_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

// A service opened with `access`, with the manager handle it came from.
class OpenedService {
 public:
  OpenedService(const std::string& name, DWORD access)
      : manager_(name.empty() ? nullptr : ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
        service_(manager_ ? ::OpenServiceW(manager_.get(), win::Widen(name).c_str(), access)
                          : nullptr) {}
  explicit operator bool() const { return static_cast<bool>(service_); }
  SC_HANDLE get() const { return service_.get(); }

 private:
  ServiceHandle manager_;
  ServiceHandle service_;
};

// The current state, or 0 when it cannot be read.
DWORD CurrentState(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed)) {
    return 0;
  }
  return status.dwCurrentState;
}

class ScmServiceControl final : public ServiceControl {
 public:
  bool IsServiceInstalled(const std::string& name) override {
    return static_cast<bool>(OpenedService(name, SERVICE_QUERY_STATUS));
  }

  bool IsServiceRunning(const std::string& name) override {
    const OpenedService s(name, SERVICE_QUERY_STATUS);
    return s && CurrentState(s.get()) == SERVICE_RUNNING;
  }

  bool StartNamedService(const std::string& name) override {
    const OpenedService s(name, SERVICE_QUERY_STATUS | SERVICE_START);
    if (!s) return false;
    const DWORD state = CurrentState(s.get());
    if (state == 0) return false;
    if (state != SERVICE_STOPPED) return true;
    if (::StartServiceW(s.get(), 0, nullptr)) return true;
    // Started by someone else in the meantime: nothing left to do.
    return ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
  }

  bool StopNamedService(const std::string& name) override {
    const OpenedService s(name, SERVICE_QUERY_STATUS | SERVICE_STOP);
    if (!s) return false;
    const DWORD state = CurrentState(s.get());
    if (state == 0) return false;
    if (state != SERVICE_RUNNING) return true;
    SERVICE_STATUS status{};
    if (::ControlService(s.get(), SERVICE_CONTROL_STOP, &status)) return true;
    // Stopped, or already stopping, in the meantime.
    const DWORD e = ::GetLastError();
    return e == ERROR_SERVICE_NOT_ACTIVE || e == ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
};

}  // namespace

ServiceControl& SystemServiceControl() {
  static ScmServiceControl control;
  return control;
}

}  // namespace ebbmark
