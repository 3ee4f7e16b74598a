// Ebbmark.exe: the configuration program's native Windows view. Everything
// the program does lives in the window models; this file gives them the
// system's services and the native windows that show them.

#include <windows.h>

#include <commctrl.h>

#include <memory>

#include <asio/io_context.hpp>

#include "base/clock.h"
#include "base/mail_sign_in.h"
#include "common/settings.h"
#include "common/tcp_client.h"
#include "config/model/frm_ebbmark.h"
#include "config/model/network_seams.h"
#include "config/model/tool_windows.h"
#include "config/win32/desktop.h"
#include "config/win32/event_loop.h"
#include "config/win32/native_window.h"
#include "platform/file_system.h"
#include "platform/mailer.h"
#include "platform/network_info.h"
#include "platform/program_path.h"
#include "platform/secret_store.h"
#include "platform/service_control.h"
#include "platform/service_watch.h"

namespace {

using namespace ebbmark;
using win32view::EventLoop;
using win32view::NativeWindow;

// Shows `self` modally over `owner`: the owner takes no input until `self`
// has closed, while the loop (and with it the relay link and the timers)
// goes on.
void RunModal(EventLoop& loop, Window& self, Window* owner, std::function<MousePointer()> pointer) {
  NativeWindow* owner_view = NativeWindow::For(owner);
  HWND owner_hwnd = owner_view != nullptr ? owner_view->Hwnd() : nullptr;
  bool closed = false;
  const int connection = self.closed.Connect([&closed] { closed = true; });
  {
    NativeWindow view(self, {owner_hwnd, std::move(pointer)});
    if (owner_hwnd != nullptr) ::EnableWindow(owner_hwnd, FALSE);
    if (view.Hwnd() != nullptr) {
      ::SetForegroundWindow(view.Hwnd());
      loop.Run([&closed] { return closed; });
    }
    // The owner comes back before the helper window goes, so the system
    // does not hand the activation to another program in between.
    if (owner_hwnd != nullptr) {
      ::EnableWindow(owner_hwnd, TRUE);
      ::SetActiveWindow(owner_hwnd);
    }
  }
  self.closed.Disconnect(connection);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&icc);
  if (!NativeWindow::RegisterClasses(instance)) return 1;

  asio::io_context io;
  SystemClock clock;
  FileSystem& fs = RealFileSystem();
  const std::string program_folder = ProgramFolder();
  const std::string settings_path = JoinPath(SettingsFolder(fs, program_folder), kSettingsFileName);
  SettingsRecord settings;
  std::unique_ptr<ServiceWatch> service_watch = MakeServiceWatch(io, kServiceName);
  ServiceWatch& service = *service_watch;
  win32view::ViewDialogs dialogs;
  win32view::ViewShell shell;
  win32view::MutexInstanceCheck instance_check(NativeWindow::kMainClass);
  std::unique_ptr<TcpClient> tcp = MakeTcpClient(io);
  std::unique_ptr<Mailer> mailer = MakeMailer(io);
  const std::string help_path = JoinPath(program_folder, "README.html");

  EventLoop loop(io, [](MSG& msg) { return NativeWindow::PreTranslate(msg); });

  ConfigContext ctx{io,      clock, fs,   settings_path,  settings,  service,
                    dialogs, shell, *tcp, instance_check, help_path, [&loop] { loop.Quit(); }};
  ctx.secrets = &RealSecretStore();
  std::unique_ptr<HibernationCheck> hibernation = MakeHibernationCheck(io);
  FrmEbbmark main_window(ctx);
  main_window.UseHibernationCheck(hibernation.get());
  win32view::ViewFileChooser chooser;
  main_window.UseFileChooser(&chooser);

  ToolWindowContext tools{io,
                          settings,
                          service,
                          dialogs,
                          *mailer,
                          shell,
                          SystemNetworkInfo(),
                          [&io] { return MakeUdpSocket(io); },
                          help_path,
                          {}};
  tools.secrets = &RealSecretStore();
  tools.secret_path = SecretPath(SettingsFolder(fs, program_folder));

  ConnectToolWindows(
      main_window, [&tools] { return tools; },
      [&loop](Window& self, Window* owner, std::function<MousePointer()> pointer) {
        RunModal(loop, self, owner, std::move(pointer));
      });

  {
    NativeWindow view(main_window, {});
    if (view.Hwnd() == nullptr) return 1;
    main_window.Form_Load();
    loop.Run();
  }
  // Whatever the loop still held (a closing socket) finishes before the
  // models go.
  io.poll();
  return 0;
}
