#pragma once
// The configuration program on the Linux desktop: the production seams, the
// main window's model and its Qt view, and the helper windows opened from it.
// main() and the view's tests build the program through this one class.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "base/clock.h"
#include "common/settings.h"
#include "common/tcp_client.h"
#include "config/model/frm_ebbmark.h"
#include "config/qt/asio_pump.h"
#include "config/qt/desktop_seams.h"
#include "config/qt/window_view.h"
#include "platform/mailer.h"
#include "platform/service_watch.h"

namespace ebbmark {

class EbbmarkApp {
 public:
  EbbmarkApp();
  ~EbbmarkApp();
  EbbmarkApp(const EbbmarkApp&) = delete;
  EbbmarkApp& operator=(const EbbmarkApp&) = delete;

  // Runs the main window's start-up (which may ask its questions in message
  // boxes) and starts the loop. Returns with the window shown, or with the
  // end already requested (another copy is running).
  void Start();

  // Called once when the program ends (Exit, closing the window, or another
  // copy already running), after the link has been closed.
  std::function<void()> on_end;
  bool Ended() const { return ended_; }

  FrmEbbmark& Model() { return *model_; }
  // Null until Start.
  WindowView* MainView() const { return main_view_.get(); }
  const std::string& SettingsPath() const { return settings_path_; }
  AsioPump& Pump() { return *pump_; }

 private:
  ToolWindowContext ToolContext();
  // Shows a helper window modally over `over` through its own view.
  void RunModal(Window& self, Window* over, std::function<MousePointer()> pointer);
  QWidget* WidgetOf(const Window* window) const;

  asio::io_context io_;
  SystemClock clock_;
  SettingsRecord settings_;
  std::string settings_path_;
  std::string help_path_;
  QtDialogs dialogs_;
  QtShell shell_;
  QtFileChooser chooser_;
  LockFileInstanceCheck instance_;
  std::unique_ptr<TcpClient> tcp_;
  // Outlives the windows that follow it.
  std::unique_ptr<ServiceWatch> service_;
  std::unique_ptr<HibernationCheck> hibernation_ = MakeHibernationCheck(io_);
  std::unique_ptr<Mailer> mailer_;  // made when the first helper window opens
  std::unique_ptr<PrivilegedWriter> privileged_writer_;
  std::unique_ptr<FrmEbbmark> model_;
  std::unique_ptr<WindowView> main_view_;
  std::vector<WindowView*> modal_views_;  // innermost last
  std::unique_ptr<AsioPump> pump_;
  bool ended_ = false;
};

}  // namespace ebbmark
