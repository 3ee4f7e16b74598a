#include "config/model/frm_service.h"

namespace ebbmark {

FrmService::FrmService(ToolWindowContext ctx)
    : Window("frmService", "Ebbmark Service", 4350, 1260), ctx_(std::move(ctx)) {
  lblService.SetGeometry({120, 180, 2775, 495});
  lblService.SetCaption("Service");
  cmdAction.SetGeometry({3015, 180, 1095, 375});
  cmdAction.SetCaption("Start");
  cmdAction.SetDefault(true);
  cmdOK.SetGeometry({3015, 180, 1095, 375});
  cmdOK.SetCaption("OK");
  cmdOK.SetCancel(true);
  cmdOK.SetVisible(false);

  cmdAction.OnClick = [this] { cmdAction_Click(); };
  cmdOK.OnClick = [this] { Close(); };
}

FrmService::~FrmService() {
  if (subscription_ != 0) ctx_.service.Unsubscribe(subscription_);
}

void FrmService::Form_Load() {
  if (subscription_ == 0)
    subscription_ = ctx_.service.Subscribe([this] { RefreshServiceWindow(); });
  RefreshServiceWindow();
}

void FrmService::Form_Unload() {
  if (subscription_ != 0) ctx_.service.Unsubscribe(subscription_);
  subscription_ = 0;
}

void FrmService::SetPointer(MousePointer p) {
  if (p == pointer_) return;
  pointer_ = p;
  changed.Emit();
}

void FrmService::RefreshServiceWindow() {
  const ServiceState state = ctx_.service.State();
  // The state asked once: a polled watch asks the service manager each time.
  const bool installed = state != ServiceState::NotInstalled && state != ServiceState::Unknown &&
                         state != ServiceState::Unreachable;
  if (installed) {
    const bool running = state == ServiceState::Running;
    lblService.SetCaption(running ? service_texts::kRunning : service_texts::kStopped);
    cmdAction.SetCaption(running ? "Stop" : "Start");
  } else {
    lblService.SetCaption(service_texts::kNotInstalled);
  }
  // One button at a time, so no view has to keep one above the other.
  cmdOK.SetVisible(!installed);
  cmdAction.SetVisible(installed);
}

void FrmService::cmdAction_Click() {
  const std::string caption = cmdAction.Caption();
  if (caption != "Start" && caption != "Stop") {
    Close();
    return;
  }
  const bool start = caption == "Start";
  SetPointer(MousePointer::Hourglass);
  cmdAction.SetEnabled(false);
  // The request may wait for the system's password question; the window
  // stays responsive and closes once the service manager has answered.
  Dialogs& dialogs = ctx_.dialogs;
  std::weak_ptr<FrmService*> self = self_;
  auto done = [start, &dialogs, self](bool ok) {
    if (!ok) {
      dialogs.Show(start ? service_texts::kStartTitle : service_texts::kStopTitle,
                   start ? service_texts::kStartFailed : service_texts::kStopFailed,
                   DialogButtons::Ok, DialogIcon::Warning);
    }
    const auto alive = self.lock();
    if (!alive) return;
    FrmService& w = **alive;
    w.RefreshServiceWindow();
    w.cmdAction.SetEnabled(true);
    w.SetPointer(MousePointer::Default);
    w.Close();
  };
  if (start)
    ctx_.service.Start(std::move(done));
  else
    ctx_.service.Stop(std::move(done));
}

}  // namespace ebbmark
