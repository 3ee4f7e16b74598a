#pragma once
// The network window: whether the service serves its state to other
// computers in the NUT protocol, and to whom, edited in memory; and a live
// line saying how many computers follow this one now.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/timer.h"
#include "config/model/controls.h"
#include "config/model/nut_followers.h"
#include "config/model/tool_windows.h"

namespace ebbmark {

namespace network_texts {
inline constexpr const char* kTitle = "Network";
inline constexpr const char* kServer = "Let other computers follow this battery (NUT server)";
inline constexpr const char* kLocalNetwork = "Listen on the local network";
inline constexpr const char* kLocalNetworkTip =
    "Ticked: every computer that reaches this one on TCP port 3493 (or the port below) may "
    "connect. Clear: only programs on this computer";
// "NUTListen" values the two boxes stand for.
inline constexpr const char* kListenOff = "off";
inline constexpr const char* kListenEverywhere = "0.0.0.0,::";
// The live line.
inline constexpr const char* kAsking = "Asking the server on this computer...";
inline constexpr const char* kNotRunning =
    "Server not running: no other computer follows this one.";
inline constexpr const char* kNoFollower = "No other computer follows this one now.";
inline constexpr const char* kOneFollower = "1 system follows this computer now.";
inline constexpr const char* kNoAnswer = "The server on this computer does not answer.";
// It serves another device name: the one in memory is not saved yet.
inline constexpr const char* kOtherDevice =
    "The server on this computer serves another device name until the settings are saved.";
inline constexpr const char* kDeviceBad =
    "the device name must be 1 to 64 letters, digits, '-', '_' or '.'";
inline constexpr const char* kUserBlank = "the NUT user name may not hold a blank";
// upsmon sends the password unquoted, so a blank splits it and a quote or a
// backslash changes it: no secondary could ever sign in with it.
inline constexpr const char* kPasswordUnsendable =
    "the NUT password may not hold a blank, a quote or a backslash, which upsmon cannot send";
}  // namespace network_texts

// The live line for an answer.
std::string FollowersText(const FollowersAnswer& answer);

class FrmNetwork : public Window {
 public:
  // How often the live line asks the server.
  static constexpr std::chrono::milliseconds kPollInterval{3000};

  explicit FrmNetwork(ToolWindowContext ctx);
  ~FrmNetwork() override;

  // Fills the controls from the settings in memory and starts asking the
  // server on this computer.
  void Form_Load() override;
  // However the window closes: the controls go back into the settings in
  // memory and the asking stops. Nothing is written to the file here.
  void Form_Unload() override;

  CheckBox chkServer{this, "chkServer"};
  CheckBox chkLocalNetwork{this, "chkLocalNetwork"};
  Label lblPort{this, "lblPort"};
  TextBox txtPort{this, "txtPort"};
  Label lblDeviceName{this, "lblDeviceName"};
  TextBox txtDeviceName{this, "txtDeviceName"};
  Label lblUser{this, "lblUser"};
  TextBox txtUser{this, "txtUser"};
  Label lblPassword{this, "lblPassword"};
  // Always opens empty: a saved password is never read back into the window.
  TextBox txtPassword{this, "txtPassword"};
  Label lblPasswordState{this, "lblPasswordState"};
  Label lblHostSync{this, "lblHostSync"};
  TextBox txtHostSync{this, "txtHostSync"};
  Label lblHostSyncUnit{this, "lblHostSyncUnit"};
  Label lblFollowers{this, "lblFollowers"};

  // One round of the live line: shows the last answer (or that none came)
  // and asks again. Public so a test can run it without waiting.
  void tmrFollowers_Timer();

 private:
  void chkServer_Click();
  void ShowPasswordState();
  void Answered(const FollowersAnswer& answer);

  ToolWindowContext ctx_;
  // What "NUTListen" held at opening; kept as it is unless the boxes change.
  std::string loaded_listen_;
  bool loaded_server_ = true;
  bool loaded_local_network_ = false;
  // Where the live line asks: the server as the settings in memory had it
  // when the window opened.
  std::string ask_address_;
  std::uint16_t ask_port_ = 0;
  std::string ask_device_;
  FollowersQuery query_{ctx_.io};
  Timer tmrFollowers{ctx_.io, kPollInterval, [this] { tmrFollowers_Timer(); }};
};

}  // namespace ebbmark
