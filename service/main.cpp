// EbbmarkSvc: the monitoring service. One loop on one thread; the command
// line chooses between running as a service, in the foreground ("debug"), and
// installing or removing the service.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>
#include <asio/io_context.hpp>

#include "base/clock.h"
#include "common/settings.h"
#include "common/tcp_client.h"
#include "platform/console.h"
#include "platform/dialogs.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "platform/mailer.h"
#include "platform/power_control.h"
#include "platform/process_runner.h"
#include "platform/program_path.h"
#include "platform/secret_store.h"
#include "platform/service_control.h"
#include "platform/service_host.h"
#include "service/debug_console.h"
#include "service/event_recorder.h"
#include "service/nut/nut_host.h"
#include "service/svc_app.h"

int main(int argc, char** argv) {
  using namespace ebbmark;

  std::string argument;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) argument += ' ';
    argument += argv[i];
  }

  asio::io_context io;
  SystemClock clock;
  FileSystem& fs = RealFileSystem();

  const char* mirror = std::getenv("EBBMARK_EVENT_LOG");
  EventRecorder log(SystemEventLog(), fs, clock, mirror ? mirror : "");
  DebugConsole console(stdout, StdoutIsTerminal());
  if (argument == "debug") log.echo = [&console](const std::string& t) { console.PrintRecord(t); };

  auto host = MakeServiceHost(io, ProgramPath());
  auto tcp = MakeTcpClient(io);
  auto mailer = MakeMailer(io);
  auto runner = MakeProcessRunner(io);
  auto power = MakePowerControl();
  // Started only when the service starts monitoring, not to install or remove it.
  auto nut_host = nut::MakeNutHost(io, clock, log);

  ServiceOptions options;
  options.settings_folder = SettingsFolder(fs, ProgramFolder());
  options.program_path = ProgramPath();
  options.exit_process = [](int code) {
    std::fflush(nullptr);
    std::_Exit(code);
  };
  options.usage_hint = [] {
    std::fprintf(stderr,
                 "EbbmarkSvc runs as a service. Run it by hand as \"EbbmarkSvc debug\" (in the "
                 "foreground), \"EbbmarkSvc install\" or \"EbbmarkSvc uninstall\".\n");
  };
  options.secrets = &RealSecretStore();
  options.nut = nut_host.get();
  options.debug_display = [&console](const std::vector<std::string>& lines) {
    console.ShowDisplay(lines);
  };

  ServiceApp app(io, clock,
                 ServicePlatform{fs, log, *host, SystemServiceControl(), ServiceDialogs(), *tcp,
                                 *mailer, *runner, *power},
                 std::move(options));
  app.Start(argument);
  io.run();
  return 0;
}
