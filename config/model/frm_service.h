#pragma once
// The service window: whether the monitoring service is installed and
// running, with one button that starts or stops it.

#include <memory>

#include "config/model/controls.h"
#include "config/model/tool_windows.h"

namespace ebbmark {

namespace service_texts {
inline constexpr const char* kRunning = "The Ebbmark service is running.";
inline constexpr const char* kStopped = "The Ebbmark service is stopped.";
inline constexpr const char* kNotInstalled = "The Ebbmark service is not installed.";
inline constexpr const char* kStartFailed = "An error occured starting the Ebbmark service.";
inline constexpr const char* kStopFailed = "An error occured stopping the Ebbmark service.";
inline constexpr const char* kStartTitle = "Start Ebbmark Service";
inline constexpr const char* kStopTitle = "Stop Ebbmark Service";
}  // namespace service_texts

class FrmService : public Window {
 public:
  explicit FrmService(ToolWindowContext ctx);
  ~FrmService() override;

  // Shows the state and follows it while the window is open.
  void Form_Load() override;
  void Form_Unload() override;

  Label lblService{this, "lblService"};
  CommandButton cmdAction{this, "cmdAction"};
  // Takes cmdAction's place while there is no service to start or stop.
  CommandButton cmdOK{this, "cmdOK"};

  // The pointer the view shows over the window while a request runs.
  MousePointer Pointer() const { return pointer_; }

 private:
  void RefreshServiceWindow();
  void cmdAction_Click();
  void SetPointer(MousePointer p);

  ToolWindowContext ctx_;
  MousePointer pointer_ = MousePointer::Default;
  int subscription_ = 0;
  // An answer that arrives after the window is gone only reports a failure.
  std::shared_ptr<FrmService*> self_ = std::make_shared<FrmService*>(this);
};

}  // namespace ebbmark
