#pragma once
// The service manager's side of EbbmarkSvc: installing and removing the
// service, connecting a started process to the manager, and the start and stop
// notifications. Notifications always arrive as handlers on the program's loop.

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>

namespace ebbmark {

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;

  // Registers the service "Ebbmark" (automatic start) for this executable.
  // False on any failure; never throws.
  virtual bool Install() = 0;
  // Removes the service registration. False on any failure, and then the
  // registration is as it was (still enabled if it was). The caller stops the
  // service first and starts it again after a failure.
  virtual bool Uninstall() = 0;

  // True when the registered service came with a package (Linux: its unit
  // lies in a vendor unit folder, not where Install writes it). Such a
  // service goes with the package, never through Uninstall. False on
  // Windows, where the installer registers through Install too.
  virtual bool InstalledByPackage() = 0;

  // Connects this process to the service manager. When the manager started
  // the process, `on_start` is posted to the loop; otherwise nothing happens
  // (the start watchdog then ends the program).
  virtual void StartAsService(std::function<void()> on_start) = 0;

  // Delivers the manager's stop request (and, with `interactive`, the
  // terminal's interrupt too) to `on_stop` on the loop.
  virtual void WatchStop(bool interactive, std::function<void()> on_stop) = 0;

  // Tells the manager, in one line, what the service is doing or waiting
  // for (systemd shows it in `systemctl status`). Nothing where the manager
  // has no such line, or the process was not started by it.
  virtual void ReportStatus(const std::string& text) = 0;

  // Tells the manager the service has stopped. The caller ends the process
  // right after.
  virtual void ReportStopped() = 0;
};

// The platform's host (systemd / the service control manager), on `io`.
std::unique_ptr<ServiceHost> MakeServiceHost(asio::io_context& io, const std::string& program_path);

}  // namespace ebbmark
