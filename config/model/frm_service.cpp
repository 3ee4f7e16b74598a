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

void FrmService::SetPointer(MousePointer p) {
  if (p == pointer_) return;
  pointer_ = p;
  changed.Emit();
}

void FrmService::RefreshServiceWindow() {
  const bool installed = ctx_.service.IsServiceInstalled(kServiceName);
  if (installed) {
    const bool running = ctx_.service.IsServiceRunning(kServiceName);
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
  if (caption == "Start" || caption == "Stop") {
    const bool start = caption == "Start";
    SetPointer(MousePointer::Hourglass);
    const bool ok = start ? ctx_.service.StartNamedService(kServiceName)
                          : ctx_.service.StopNamedService(kServiceName);
    if (!ok) {
      ctx_.dialogs.Show(start ? service_texts::kStartTitle : service_texts::kStopTitle,
                        start ? service_texts::kStartFailed : service_texts::kStopFailed,
                        DialogButtons::Ok, DialogIcon::Warning);
    }
    RefreshServiceWindow();
    SetPointer(MousePointer::Default);
  }
  Close();
}

}  // namespace ebbmark
