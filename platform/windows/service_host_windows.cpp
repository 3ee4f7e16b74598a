// The service host on Windows: the service control manager. "install"
// creates the service "Ebbmark" (automatic start, own process, the program's
// quoted path) and registers the event source; "uninstall" deletes both.
// A normal start connects to the manager with StartServiceCtrlDispatcherW on
// a thread of this adapter; the manager's threads (ServiceMain, the control
// handler) reach the program's loop only through asio::post.

#include "platform/windows/service_host_windows.h"

#include <mutex>
#include <thread>
#include <utility>

#include <asio/post.hpp>

#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace win {
namespace {

constexpr DWORD kRestartDelayMs = 5000;

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

// What the manager's threads share with the loop. One per process: the
// manager connects a process once.
struct Shared {
  std::mutex mutex;
  asio::io_context* io = nullptr;
  std::wstring service_name;
  std::function<void()> on_start;
  std::function<void()> on_stop;
  bool stop_posted = false;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  SERVICE_STATUS status{};

  // Reports a state to the manager; the caller holds `mutex`.
  void Report(DWORD state, DWORD wait_hint = 0) {
    if (status_handle == nullptr || status.dwCurrentState == SERVICE_STOPPED) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = wait_hint;
    ::SetServiceStatus(status_handle, &status);
  }

  // Posts the stop notification once, whoever asks for it. The program ends
  // itself right after a stop notification without reporting; a manager
  // that sees the process end unreported logs a crash and may restart it, so
  // the stop is reported here once the notification has set the stop going.
  void PostStop(std::shared_ptr<Shared> self) {
    if (stop_posted || io == nullptr || !on_stop) return;
    stop_posted = true;
    asio::post(*io, [self] {
      self->on_stop();
      std::lock_guard lock(self->mutex);
      self->Report(SERVICE_STOPPED);
    });
  }
};

std::shared_ptr<Shared>& TheShared() {
  static auto shared = std::make_shared<Shared>();
  return shared;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  const auto shared = TheShared();
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      std::lock_guard lock(shared->mutex);
      // Notices still going out get up to 10 s before the process ends.
      shared->Report(SERVICE_STOP_PENDING, 12000);
      shared->PostStop(shared);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      // Pause, continue and the rest are not handled.
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  const auto shared = TheShared();
  std::lock_guard lock(shared->mutex);
  shared->status_handle =
      ::RegisterServiceCtrlHandlerExW(shared->service_name.c_str(), ControlHandler, nullptr);
  if (shared->status_handle == nullptr || shared->io == nullptr) return;
  shared->Report(SERVICE_START_PENDING, 5000);
  // The start handling runs on the loop; the service counts as running once
  // it has, as the manager then expects the service to answer controls.
  asio::post(*shared->io, [shared] {
    if (shared->on_start) shared->on_start();
    std::lock_guard lock(shared->mutex);
    if (shared->status.dwCurrentState == SERVICE_START_PENDING) shared->Report(SERVICE_RUNNING);
  });
}

BOOL WINAPI ConsoleHandler(DWORD event) {
  const auto shared = TheShared();
  {
    std::lock_guard lock(shared->mutex);
    shared->PostStop(shared);
  }
  // For a closed console window the system ends the process as soon as this
  // handler returns: give the loop a moment to stop in order first.
  if (event == CTRL_CLOSE_EVENT) ::Sleep(3000);
  return TRUE;
}

bool SetRestartOnFailure(SC_HANDLE service) {
  FailureActions wanted = RestartOnFailure();
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = wanted.reset_seconds;
  failure.cActions = static_cast<DWORD>(wanted.actions.size());
  failure.lpsaActions = wanted.actions.data();
  return ::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

class ScmServiceHost final : public ServiceHost {
 public:
  ScmServiceHost(asio::io_context& io, std::string program_path, ScmHostNames names)
      : io_(io), program_path_(std::move(program_path)), names_(std::move(names)) {}

  bool Install() override {
    const std::wstring command = ServiceCommandLine(program_path_);
    if (command.empty()) return false;
    ServiceHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return false;
    ServiceHandle service(
        ::CreateServiceW(manager.get(), names_.service.c_str(), names_.display.c_str(),
                         SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE, SERVICE_WIN32_OWN_PROCESS,
                         SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                         nullptr, nullptr, nullptr, nullptr));
    if (!service) return false;

    std::wstring description =
        L"Watches the battery-backed inverter installation and shuts "
        L"the computer down before the battery runs out.";
    SERVICE_DESCRIPTIONW info{description.data()};
    ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);

    // A service that dies is started again after 5 s, every time: it exists
    // to be there when the mains fail. A stop the service reports itself
    // (after a trigger, or on request) is no failure and is left alone.
    // Without this, or without its event source (Event Viewer could not show
    // the records' text), a half-done registration is taken back.
    if (!SetRestartOnFailure(service.get()) ||
        !AddEventSource(Widen(program_path_), names_.event_hive, names_.event_log_key)) {
      ::DeleteService(service.get());
      return false;
    }
    return true;
  }

  bool Uninstall() override {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(::OpenServiceW(manager.get(), names_.service.c_str(), DELETE));
    if (!service) return false;
    // A service already marked for deletion goes once its last handle closes.
    const bool deleted = ::DeleteService(service.get()) != FALSE ||
                         ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    if (deleted) RemoveEventSource(names_.event_hive, names_.event_log_key);
    return deleted;
  }

  // The installer registers the service through Install as well.
  bool InstalledByPackage() override { return false; }

  // The service control manager keeps no status line for a service.
  void ReportStatus(const std::string&) override {}

  void StartAsService(std::function<void()> on_start) override {
    const auto shared = TheShared();
    {
      std::lock_guard lock(shared->mutex);
      shared->io = &io_;
      shared->service_name = names_.service;
      shared->on_start = std::move(on_start);
    }
    // The dispatcher returns only when the service has stopped, or at once
    // when no manager started this process (run by hand): then nothing is
    // posted and the start watchdog ends the program.
    std::thread([shared] {
      SERVICE_TABLE_ENTRYW table[] = {{shared->service_name.data(), ServiceMain},
                                      {nullptr, nullptr}};
      ::StartServiceCtrlDispatcherW(table);
    }).detach();
  }

  void WatchStop(bool interactive, std::function<void()> on_stop) override {
    const auto shared = TheShared();
    {
      std::lock_guard lock(shared->mutex);
      shared->io = &io_;
      shared->on_stop = std::move(on_stop);
    }
    if (interactive) ::SetConsoleCtrlHandler(ConsoleHandler, TRUE);
  }

  void ReportStopped() override {
    const auto shared = TheShared();
    std::lock_guard lock(shared->mutex);
    shared->Report(SERVICE_STOPPED);
  }

 private:
  asio::io_context& io_;
  std::string program_path_;
  ScmHostNames names_;
};

}  // namespace

FailureActions RestartOnFailure() {
  // The last action repeats for every later failure.
  return {std::vector<SC_ACTION>(3, SC_ACTION{SC_ACTION_RESTART, kRestartDelayMs}), 24 * 60 * 60};
}

std::wstring ServiceCommandLine(const std::string& program_path) {
  // A quote cannot be part of a Windows file name, and a relative path would
  // be looked up from the manager's own folder.
  if (program_path.find('"') != std::string::npos) return {};
  const std::wstring path = PathArgument(program_path);
  const bool absolute =
      path.size() > 2 && ((path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
                          (path[0] == L'\\' && path[1] == L'\\'));
  if (!absolute) return {};
  return L"\"" + path + L"\"";
}

std::unique_ptr<ServiceHost> MakeScmServiceHost(asio::io_context& io,
                                                const std::string& program_path,
                                                ScmHostNames names) {
  return std::make_unique<ScmServiceHost>(io, program_path, std::move(names));
}

}  // namespace win

std::unique_ptr<ServiceHost> MakeServiceHost(asio::io_context& io,
                                             const std::string& program_path) {
  return win::MakeScmServiceHost(io, program_path, win::ScmHostNames{});
}

}  // namespace ebbmark
