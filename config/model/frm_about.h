#pragma once
// The about window: the program's name, its version, a short text, and a
// button that opens the README shipped with the program.

#include "config/model/controls.h"
#include "config/model/tool_windows.h"

namespace ebbmark {

namespace about_texts {
inline constexpr const char* kDescription =
    "Ebbmark keeps this computer safe on a battery-backed inverter installation. "
    "It watches the installation through a Trellan relay and, before the battery runs "
    "out, runs your file, shuts the computer down or hibernates it, and tells you by email.";
inline constexpr const char* kReadmeErrorTitle = "Error opening README";
}  // namespace about_texts

class FrmAbout : public Window {
 public:
  explicit FrmAbout(ToolWindowContext ctx);

  Image imgIcon{this, "imgIcon"};
  Label lblTitle{this, "lblTitle"};
  Label lblVersion{this, "lblVersion"};
  Label lblDescription{this, "lblDescription"};
  CommandButton cmdReadme{this, "cmdReadme"};
  CommandButton cmdOK{this, "cmdOK"};

 private:
  void cmdReadme_Click();

  ToolWindowContext ctx_;
};

}  // namespace ebbmark
