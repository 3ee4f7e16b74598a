#include "config/qt/ebbmark_app.h"

#include "base/mail_sign_in.h"
#include "config/model/tool_windows.h"
#include "platform/file_system.h"
#include "platform/network_info.h"
#include "platform/privileged_writer.h"
#include "platform/program_path.h"
#include "platform/secret_store.h"
#include "platform/service_control.h"
#include "platform/service_watch.h"

namespace ebbmark {

EbbmarkApp::EbbmarkApp() : tcp_(MakeTcpClient(io_)), service_(MakeServiceWatch(io_, kServiceName)) {
  FileSystem& fs = RealFileSystem();
  const std::string folder = ProgramFolder();
  settings_path_ = JoinPath(SettingsFolder(fs, folder), kSettingsFileName);
  help_path_ = JoinPath(folder, "README.html");
#ifdef EBBMARK_INSTALLED_DATA_DIR
  // Installed, the help page lives with the other shared files.
  if (!fs.Stamp(help_path_)) help_path_ = JoinPath(EBBMARK_INSTALLED_DATA_DIR, "README.html");
#endif

  ConfigContext ctx{
      io_,
      clock_,
      fs,
      settings_path_,
      settings_,
      *service_,
      dialogs_,
      shell_,
      *tcp_,
      instance_,
      help_path_,
      [this] {
        if (ended_) return;
        ended_ = true;
        if (pump_) pump_->Stop();
        if (on_end) on_end();
      },
  };
  ctx.secrets = &RealSecretStore();
  model_ = std::make_unique<FrmEbbmark>(std::move(ctx));
  privileged_writer_ = MakeSystemPrivilegedWriter(io_);
  model_->UsePrivilegedWriter(privileged_writer_.get());
  model_->UseHibernationCheck(hibernation_.get());
  ConnectToolWindows(
      *model_, [this] { return ToolContext(); },
      [this](Window& self, Window* over, std::function<MousePointer()> pointer) {
        RunModal(self, over, std::move(pointer));
      });
  dialogs_.fallback_parent = [this]() -> QWidget* {
    if (!modal_views_.empty()) return modal_views_.back()->Widget();
    return main_view_ ? main_view_->Widget() : nullptr;
  };
  chooser_.fallback_parent = dialogs_.fallback_parent;
  model_->UseFileChooser(&chooser_);
  // A later copy asks this one to show itself: the main window, and any
  // window open over it, come to the front.
  instance_.on_raise = [this] {
    if (main_view_) RaiseWindow(main_view_->Widget());
  };
  pump_ = std::make_unique<AsioPump>(io_);
}

EbbmarkApp::~EbbmarkApp() {
  pump_->Stop();
  // The view lets go of the model before the model goes.
  main_view_.reset();
  model_.reset();
}

void EbbmarkApp::Start() {
  main_view_ = std::make_unique<WindowView>(*model_, nullptr);
  pump_->Start();
  model_->Form_Load();
}

ToolWindowContext EbbmarkApp::ToolContext() {
  // The email window is the only one that sends; the others get a mailer
  // reference they never use.
  if (!mailer_) mailer_ = MakeMailer(io_);
  ToolWindowContext ctx{
      io_,    settings_,           *service_, dialogs_,   *mailer_,
      shell_, SystemNetworkInfo(), nullptr,   help_path_, nullptr,
  };
  ctx.secrets = &RealSecretStore();
  ctx.secret_path = SecretPath(SettingsFolder(RealFileSystem(), ProgramFolder()));
  return ctx;
}

QWidget* EbbmarkApp::WidgetOf(const Window* window) const {
  for (auto it = modal_views_.rbegin(); it != modal_views_.rend(); ++it)
    if (&(*it)->Model() == window) return (*it)->Widget();
  if (main_view_ && &main_view_->Model() == window) return main_view_->Widget();
  return main_view_ ? main_view_->Widget() : nullptr;
}

void EbbmarkApp::RunModal(Window& self, Window* over, std::function<MousePointer()> pointer) {
  WindowView view(self, WidgetOf(over));
  view.pointer = std::move(pointer);
  modal_views_.push_back(&view);
  view.ExecModal();
  modal_views_.pop_back();
}

}  // namespace ebbmark
