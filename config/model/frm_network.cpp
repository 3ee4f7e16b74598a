#include "config/model/frm_network.h"

#include <cctype>

#include "base/mail_sign_in.h"
#include "common/settings.h"
#include "config/model/frm_email.h"

namespace ebbmark {
namespace {

bool IsOff(std::string_view listen) {
  return NutListenAddresses(listen).empty();
}

// Whether a "NUTListen" value lets another computer in: any address but this
// computer's own loopback ones.
bool ReachableFromOutside(std::string_view listen) {
  for (const std::string& address : NutListenAddresses(listen)) {
    if (!address.starts_with("127.") && address != "::1" && address != "localhost") return true;
  }
  return false;
}

}  // namespace

std::string FollowersText(const FollowersAnswer& answer) {
  using Kind = FollowersAnswer::Kind;
  switch (answer.kind) {
    case Kind::Count:
      if (answer.count == 0) return network_texts::kNoFollower;
      if (answer.count == 1) return network_texts::kOneFollower;
      return std::to_string(answer.count) + " systems follow this computer now.";
    case Kind::NotRunning:
      return network_texts::kNotRunning;
    case Kind::Error:
      // The window's settings are not the service's until they are saved.
      if (answer.error == "UNKNOWN-UPS") return network_texts::kOtherDevice;
      return "The server on this computer answered: " + answer.error + ".";
    case Kind::NoAnswer:
      break;
  }
  return network_texts::kNoAnswer;
}

FrmNetwork::FrmNetwork(ToolWindowContext ctx)
    : Window("frmNetwork", network_texts::kTitle, 5430, 4380), ctx_(std::move(ctx)) {
  chkServer.SetGeometry({120, 150, 5055, 255});
  chkServer.SetCaption(network_texts::kServer);
  chkServer.SetValue(CheckBox::Checked);
  chkLocalNetwork.SetGeometry({360, 480, 4815, 255});
  chkLocalNetwork.SetCaption(network_texts::kLocalNetwork);
  chkLocalNetwork.SetToolTip(network_texts::kLocalNetworkTip);
  // The server's settings, in the email window's columns.
  lblPort.SetGeometry({120, 900, 1575, 255});
  lblPort.SetCaption("NUT Port:");
  txtPort.SetGeometry({1740, 870, 795, 285});
  txtPort.SetMaxLength(5);
  txtPort.SetText("3493");
  lblDeviceName.SetGeometry({120, 1290, 1575, 255});
  lblDeviceName.SetCaption("Device Name:");
  txtDeviceName.SetGeometry({1740, 1260, 2055, 285});
  txtDeviceName.SetMaxLength(64);
  txtDeviceName.SetText("ebbmark");
  txtDeviceName.SetToolTip("Other computers name the device NAME@this-computer");
  lblUser.SetGeometry({120, 1680, 1575, 255});
  lblUser.SetCaption("NUT User Name:");
  txtUser.SetGeometry({1740, 1650, 2055, 285});
  txtUser.SetToolTip("The account secondaries sign in with; empty: none may sign in");
  lblPassword.SetGeometry({120, 2070, 1575, 255});
  lblPassword.SetCaption("Password:");
  txtPassword.SetGeometry({1740, 2040, 2055, 285});
  txtPassword.SetPasswordChar('*');
  txtPassword.SetMaxLength(static_cast<int>(kMaxPasswordBytes));
  txtPassword.SetToolTip("Leave empty to keep the saved password");
  lblPasswordState.SetGeometry({1740, 2385, 3435, 255});
  lblHostSync.SetGeometry({120, 2790, 1575, 255});
  lblHostSync.SetCaption("Host sync:");
  txtHostSync.SetGeometry({1740, 2760, 795, 285});
  txtHostSync.SetMaxLength(3);
  txtHostSync.SetText("15");
  txtHostSync.SetToolTip(
      "Before its own shutdown, this computer waits this long at most for the computers that "
      "follow it to sign off");
  lblHostSyncUnit.SetGeometry({2640, 2790, 1335, 255});
  lblHostSyncUnit.SetCaption("seconds");
  // Two rows: the longest answers (a device name the server does not know)
  // run past one.
  lblFollowers.SetGeometry({120, 3240, 5055, 495});
  lblFollowers.SetCaption(network_texts::kAsking);
  lblFollowers.SetToolTip(
      "Computers signed in to this computer's NUT server, asked every few "
      "seconds");

  chkServer.OnClick = [this] { chkServer_Click(); };
}

FrmNetwork::~FrmNetwork() = default;

void FrmNetwork::Form_Load() {
  const SettingsRecord& s = ctx_.settings;
  loaded_listen_ = s.NUTListen;
  loaded_server_ = !IsOff(s.NUTListen);
  loaded_local_network_ = ReachableFromOutside(s.NUTListen);
  chkServer.SetValue(loaded_server_ ? CheckBox::Checked : CheckBox::Unchecked);
  chkLocalNetwork.SetValue(loaded_local_network_ ? CheckBox::Checked : CheckBox::Unchecked);
  chkServer_Click();
  txtPort.SetText(std::to_string(s.NUTPort));
  txtDeviceName.SetText(s.NUTName);
  txtUser.SetText(s.NUTUser);
  txtPassword.SetText("");
  txtHostSync.SetText(std::to_string(s.NUTHostSync));
  ShowPasswordState();

  ask_address_ = FollowersQueryAddress(s.NUTListen);
  ask_port_ = s.NUTPort >= 1 && s.NUTPort <= 65535 ? static_cast<std::uint16_t>(s.NUTPort) : 0;
  ask_device_ = s.NUTName;
  lblFollowers.SetCaption(network_texts::kAsking);
  tmrFollowers_Timer();
  tmrFollowers.SetEnabled(true);
}

void FrmNetwork::chkServer_Click() {
  const bool on = chkServer.Value() == CheckBox::Checked;
  for (Control* c : std::initializer_list<Control*>{
           &chkLocalNetwork, &lblPort, &txtPort, &lblDeviceName, &txtDeviceName, &lblUser, &txtUser,
           &lblPassword, &txtPassword, &lblPasswordState, &lblHostSync, &txtHostSync,
           &lblHostSyncUnit})
    c->SetEnabled(on);
}

void FrmNetwork::ShowPasswordState() {
  const SettingsRecord& s = ctx_.settings;
  const char* state =
      s.NUTPasswordSet ? email_texts::kPasswordSaved : email_texts::kPasswordNotSaved;
  if (s.NUTPasswordChange) {
    state = s.NUTPasswordChange->empty() ? email_texts::kPasswordToRemove
                                         : email_texts::kPasswordToSave;
  }
  lblPasswordState.SetCaption(state);
}

void FrmNetwork::tmrFollowers_Timer() {
  // A question still open a whole round later gets no answer any more.
  if (query_.Busy()) Answered({});
  if (ask_port_ == 0) {
    Answered({});
    return;
  }
  query_.Ask(ask_address_, ask_port_, ask_device_,
             [this](FollowersAnswer answer) { Answered(answer); });
}

void FrmNetwork::Answered(const FollowersAnswer& answer) {
  lblFollowers.SetCaption(FollowersText(answer));
}

void FrmNetwork::Form_Unload() {
  tmrFollowers.SetEnabled(false);
  query_.Cancel();

  SettingsRecord& s = ctx_.settings;
  const bool server = chkServer.Value() == CheckBox::Checked;
  const bool local_network = chkLocalNetwork.Value() == CheckBox::Checked;
  // An address list written by hand stays as it is while the boxes still
  // say what it said.
  if (server != loaded_server_ || local_network != loaded_local_network_) {
    s.NUTListen = !server ? network_texts::kListenOff
                          : (local_network ? network_texts::kListenEverywhere : "");
  }
  // A number that is no number leaves the one from before; one out of range
  // is kept, and Save names it with its range.
  if (const auto port = PortNumber(txtPort.Text())) s.NUTPort = *port;
  if (const auto wait = PortNumber(txtHostSync.Text())) s.NUTHostSync = *wait;

  // A device name or user name no NUT client could send is not kept: the
  // window says so and the one from before stays.
  std::string refused;
  if (IsNutDeviceName(txtDeviceName.Text())) {
    s.NUTName = txtDeviceName.Text();
  } else {
    refused = network_texts::kDeviceBad;
  }
  const std::string& user = txtUser.Text();
  if (const auto problem = CheckUserName(user); problem != SignInProblem::None) {
    refused = SignInProblemText(problem);
  } else if (user.find_first_of(" \t") != std::string::npos) {
    refused = network_texts::kUserBlank;
  } else {
    s.NUTUser = user;
  }
  const std::string& typed = txtPassword.Text();
  if (!typed.empty()) {
    if (const auto problem = CheckPassword(typed); problem != SignInProblem::None) {
      refused = SignInProblemText(problem);
    } else if (typed.find_first_of(" \t\"\\") != std::string::npos) {
      refused = network_texts::kPasswordUnsendable;
    } else {
      s.NUTPasswordChange = typed;
    }
  }
  // Without a user name nobody signs in: a saved password has no use left.
  if (s.NUTUser.empty() && (s.NUTPasswordSet || s.NUTPasswordChange)) {
    s.NUTPasswordChange = s.NUTPasswordSet ? std::optional<std::string>("") : std::nullopt;
  }
  txtPassword.SetText("");
  if (!refused.empty()) {
    refused[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(refused[0])));
    ctx_.dialogs.Show(network_texts::kTitle, refused + ", so it was not kept.", DialogButtons::Ok,
                      DialogIcon::Error);
  }
}

}  // namespace ebbmark
