#include "config/model/frm_ebbmark.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include <asio/post.hpp>

#include "base/mail_sign_in.h"
#include "common/notices.h"

namespace ebbmark {

using std::chrono::milliseconds;

namespace {

const Colour kGreen = Colour::FromRgb(128, 255, 128);
const Colour kRed = Colour::FromRgb(255, 128, 128);

constexpr int kFrameTextHeight = 285;
constexpr int kComboHeight = 315;
constexpr int kRowHeight = 255;
// The hibernation warning: two rows of text, and what the window grows by
// while it shows.
constexpr int kWarningHeight = 480;
constexpr int kWarningShift = 540;

// The standard Wait entries and the ExecuteDelay each stands for.
struct StandardDelay {
  const char* text;
  int delay;
};
constexpr std::array<StandardDelay, 6> kStandardDelays{{
    {"End", 0},
    {"30s", 30},
    {"1 min", 60},
    {"3 min", 180},
    {"5 min", 300},
    {"10 min", 600},
}};

constexpr std::array<const char*, 3> kShutdownTypes{
    "Do nothing",
    "Shutdown (attempt power off)",
    "Hibernate (if enabled in OS)",
};

// The folder of a file path: everything before its last separator.
std::string FolderOfPath(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

// Whole number at the front of a text; 0 when there is none.
int LeadingInt(const std::string& s) {
  return std::atoi(s.c_str());
}

// The fifteen settings the unsaved-changes check compares.
// Refused for want of rights, which an administrator's helper can give.
bool IsDenied(const std::error_code& error) {
  return error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
}

bool SameCompared(const SettingsRecord& a, const SettingsRecord& b) {
  return a.TCPHost == b.TCPHost && a.TCPPort == b.TCPPort && a.ExecuteDelay == b.ExecuteDelay &&
         a.ExecuteFile == b.ExecuteFile && a.ShutdownType == b.ShutdownType && a.Force == b.Force &&
         a.SDVoltage == b.SDVoltage && a.SDTimer == b.SDTimer && a.SDSOC == b.SDSOC &&
         a.SMTPHost == b.SMTPHost && a.SMTPPort == b.SMTPPort && a.SMTPFrom == b.SMTPFrom &&
         a.SMTPTo == b.SMTPTo && a.EmailOptions == b.EmailOptions && a.SOCOII == b.SOCOII &&
         // and the sign-in, whose password counts as changed while one waits to be saved
         a.SMTPSecurity == b.SMTPSecurity && a.SMTPUser == b.SMTPUser &&
         a.SMTPPasswordChange.has_value() == b.SMTPPasswordChange.has_value() &&
         // the network window's
         a.NUTListen == b.NUTListen && a.NUTPort == b.NUTPort && a.NUTName == b.NUTName &&
         a.NUTUser == b.NUTUser && a.NUTHostSync == b.NUTHostSync &&
         a.NUTPasswordChange.has_value() == b.NUTPasswordChange.has_value();
}

// A password waits to be written to one of the password files.
bool PasswordWaits(const SettingsRecord& s) {
  return s.SMTPPasswordChange.has_value() || s.NUTPasswordChange.has_value();
}

}  // namespace

FrmEbbmark::FrmEbbmark(ConfigContext ctx)
    : Window("frmEbbmark", "Ebbmark", 5250, 6900),
      tmrConnection(ctx.io, milliseconds{100}, [this] { tmrConnection_Timer(); }),
      tmrUpdateDisplay(ctx.io, milliseconds{1000}, [this] { tmrUpdateDisplay_Timer(); }),
      Stream(ctx.clock),
      ctx_(std::move(ctx)),
      store_(ctx_.fs, ctx_.settings_path) {
  Layout();
  Wire();
  service_subscription_ = ctx_.service.Subscribe([this] { ServiceStateChanged(); });
}

FrmEbbmark::~FrmEbbmark() {
  ctx_.service.Unsubscribe(service_subscription_);
  ctx_.tcp.OnConnected = nullptr;
  ctx_.tcp.OnData = nullptr;
  ctx_.tcp.OnClose = nullptr;
  ctx_.tcp.OnError = nullptr;
}

// ------------------------------------------------------------------ layout

void FrmEbbmark::Layout() {
  oToolbar.SetGeometry({0, 0, 5160, 810});
  oToolbar.SetImageList("ilCommon32");
  oToolbar.AddButton({"Save", "Save", "Save the settings", "save", false});
  oToolbar.AddButton(
      {"Service", "Service", "Show or change the service's state", "service", false});
  oToolbar.AddButton({"Email", "Email", "Email settings and test message", "email", false});
  oToolbar.AddButton({"Trellan", "Trellan", "Find a Trellan relay", "trellan", true});
  oToolbar.AddButton(
      {"Network", "Network", "Let other computers follow this battery", "network", false});

  // Communications: the link, and whether an inverter and a battery monitor
  // are heard. Each "No" picture lies over its "Yes" picture.
  fraNetwork.SetCaption("Communications");
  fraNetwork.SetGeometry({120, 870, 2415, 2640});
  lblTrellanHost.SetCaption("Network Host:");
  lblTrellanHost.SetGeometry({120, 240, 2175, kRowHeight});
  txtTrellanHost.SetGeometry({120, 510, 2175, kFrameTextHeight});
  txtTrellanHost.SetFontName("Terminal");
  txtTrellanHost.SetLocked(true);
  const auto picture = [](Image& img, const char* role, Rect r, bool visible) {
    img.SetPicture(role);
    img.SetGeometry(r);
    img.SetVisible(visible);
  };
  picture(imgNotConnected, "not_connected", {120, 900, 480, 480}, true);
  picture(imgConnected, "connected", {120, 900, 480, 480}, false);
  picture(imgQuestion, "question", {720, 900, 480, 480}, true);
  picture(imgBattery1, "battery", {720, 900, 480, 480}, false);
  picture(imgShutdown, "shutdown", {1320, 900, 480, 480}, true);
  picture(imgShutdown2, "shutdown_active", {1320, 900, 480, 480}, false);
  picture(imgHibernate, "hibernate_active", {1320, 900, 480, 480}, false);
  lblInverterDetected.SetCaption("Inverter Detected ");
  lblInverterDetected.SetGeometry({720, 1620, 1575, kRowHeight});
  picture(imgInverterYes, "yes", {120, 1500, 480, 480}, true);
  picture(imgInverterNo, "no", {120, 1500, 480, 480}, true);
  lblFNDCDetected.SetCaption("Battery Monitor Detected ");
  // Two rows, centred on its pictures and inside the frame's border.
  lblFNDCDetected.SetGeometry({720, 2070, 1575, 420});
  picture(imgFNDCYes, "yes", {120, 2040, 480, 480}, true);
  picture(imgFNDCNo, "no", {120, 2040, 480, 480}, true);

  // System Status: the monitored inverter's values and the battery monitor's.
  fraDetails.SetCaption("System Status");
  fraDetails.SetGeometry({2640, 870, 2415, 2640});
  lblInverterAddress.SetCaption("Inverter Address:");
  lblInverterAddress.SetGeometry({120, 300, 2175, kRowHeight});
  lblACInput.SetCaption("AC Input:");
  lblACInput.SetGeometry({120, 600, 2175, kRowHeight});
  lblInverterCurrent.SetCaption("Inverter Current:");
  lblInverterCurrent.SetGeometry({120, 900, 2175, kRowHeight});
  lblBatteryVoltage.SetCaption("Battery Voltage:");
  lblBatteryVoltage.SetGeometry({120, 1200, 2175, kRowHeight});
  fraBatteryMonitor.SetCaption("Battery Monitor Details");
  fraBatteryMonitor.SetGeometry({60, 1560, 2295, 960});
  fraBatteryMonitor.SetVisible(false);
  lblFNDCStateOfCharge.SetCaption("Battery Charge: ");
  lblFNDCStateOfCharge.SetGeometry({120, 300, 2055, kRowHeight});
  lblFNDCBattTemp.SetCaption("Batt Temp: ");
  lblFNDCBattTemp.SetGeometry({120, 600, 2055, kRowHeight});

  // Settings.
  fraSettings.SetCaption("Settings");
  fraSettings.SetGeometry({120, 3600, 4935, 2175});
  lblExecute.SetCaption("Run file:");
  lblExecute.SetGeometry({120, 240, 615, kRowHeight});
  // The box leaves room for the chooser's button; a path scrolls in it.
  txtExecute.SetGeometry({840, 240, 1560, kFrameTextHeight});
  cmdBrowse.SetCaption(ebbmark_texts::kBrowse);
  cmdBrowse.SetGeometry({2445, 225, 855, kComboHeight});
  cmdBrowse.SetToolTip("Choose the run file");
  cmdBrowse.SetVisible(false);
  lblRunDelay.SetCaption("Wait:");
  lblRunDelay.SetGeometry({3360, 240, 495, kRowHeight});
  cboRunDelay.SetGeometry({3840, 240, 855, kComboHeight});
  cboRunDelay.SetListStyle(ComboBox::Style::DropDownList);
  // A wait means something only with a run file, and the box starts empty.
  cboRunDelay.SetEnabled(false);
  lblShutdownType.SetCaption("Action Type:");
  // Clear of the drop-down beside it, also at a high DPI.
  lblShutdownType.SetGeometry({120, 600, 900, kRowHeight});
  cboShutdownType.SetGeometry({1080, 600, 2775, kComboHeight});
  cboShutdownType.SetListStyle(ComboBox::Style::DropDownList);
  chkForce.SetCaption("Force");
  chkForce.SetGeometry({3960, 600, 735, kRowHeight});
  chkForce.SetValue(CheckBox::Checked);
  chkForce.SetToolTip("Send FORCE flag with OS shutdown command");
  lblHibernateWarning.SetCaption(ebbmark_texts::kCannotHibernate);
  lblHibernateWarning.SetGeometry({120, 960, 4695, kWarningHeight});
  lblHibernateWarning.SetVisible(false);
  lblOptBattVoltage.SetCaption("Battery Voltage:");
  lblOptBattVoltage.SetGeometry({120, 960, 1335, kRowHeight});
  txtOptBattVoltage.SetGeometry({1560, 960, 615, kFrameTextHeight});
  txtOptBattVoltage.SetText("n/a");
  txtOptBattVoltage.SetLocked(true);
  hsbOptBattVoltage.SetGeometry({2280, 960, 2415, kRowHeight});
  hsbOptBattVoltage.SetRange(9, 48);
  hsbOptBattVoltage.SetLargeChange(1);
  lblOptTimer.SetCaption("Timer:");
  lblOptTimer.SetGeometry({120, 1320, 495, kRowHeight});
  // Wide enough for the longest duration, "23 hrs 59 mins", lined up with
  // the run-file box above it.
  txtOptTimer.SetGeometry({840, 1320, 1335, kFrameTextHeight});
  txtOptTimer.SetText("n/a");
  txtOptTimer.SetLocked(true);
  hsbOpsTimer.SetGeometry({2280, 1320, 2415, kRowHeight});
  hsbOpsTimer.SetRange(0, 1440);
  hsbOpsTimer.SetLargeChange(15);
  lblOptBatterySOC.SetCaption("Battery SOC:");
  lblOptBatterySOC.SetGeometry({120, 1680, 975, kRowHeight});
  lblOptBatterySOC.SetToolTip(
      "Initiate shutdown sequence if battery state of charge is at or below this percentage.");
  txtOptSOC.SetGeometry({1560, 1680, 615, kFrameTextHeight});
  txtOptSOC.SetText("n/a");
  txtOptSOC.SetLocked(true);
  hsbOptSOC.SetGeometry({2280, 1680, 1575, kRowHeight});
  hsbOptSOC.SetRange(59, 99);
  hsbOptSOC.SetLargeChange(5);
  chkOII.SetCaption("  O.I.I.");
  chkOII.SetGeometry({3960, 1680, 735, kRowHeight});
  chkOII.SetValue(CheckBox::Checked);
  chkOII.SetToolTip("Only take action if SOC is below trigger level AND inverter is inverting.");

  oStatusBar.SetGeometry({0, 5880, 5160, 315});
  oStatusBar.SetImageList("ilCommon16");
  oStatusBar.AddPanel({"Service: ", 0, 2400});
  oStatusBar.AddPanel({ebbmark_texts::kNotConnected, 0, 0});

  // The prefixes of the value labels.
  cap_inverter_address_ = lblInverterAddress.Caption();
  cap_ac_input_ = lblACInput.Caption();
  cap_inverter_current_ = lblInverterCurrent.Caption();
  cap_battery_voltage_ = lblBatteryVoltage.Caption();
  cap_soc_ = lblFNDCStateOfCharge.Caption();
  cap_temp_ = lblFNDCBattTemp.Caption();
}

void FrmEbbmark::Wire() {
  oToolbar.OnButtonClick = [this](const ToolbarButton& b) { ToolbarClick(b); };
  cboShutdownType.OnClick = [this] { cboShutdownType_Click(); };
  cboRunDelay.OnClick = [this] { cboRunDelay_Click(); };
  chkForce.OnClick = [this] { chkForce_Click(); };
  chkOII.OnClick = [this] { chkOII_Click(); };
  // Dragging and letting go store the same way; only a finished change is
  // checked against the live values.
  hsbOptBattVoltage.OnScroll = [this] { ShowBattVoltage(); };
  hsbOptBattVoltage.OnChange = [this] { hsbOptBattVoltage_Change(); };
  hsbOpsTimer.OnScroll = [this] { ShowTimer(); };
  hsbOpsTimer.OnChange = [this] { hsbOpsTimer_Change(); };
  hsbOptSOC.OnScroll = [this] { ShowSOC(); };
  hsbOptSOC.OnChange = [this] { hsbOptSOC_Change(); };
  txtExecute.OnChange = [this] { txtExecute_Change(); };
  cmdBrowse.OnClick = [this] { cmdBrowse_Click(); };
  txtExecute.OnLostFocus = [this] {
    WarnIfNotExecutable();
    UpdateSaveButton();
  };

  mnuLoadSettings.OnClick = [this] { mnuLoadSettings_Click(); };
  mnuSaveSettings.OnClick = [this] { SaveCommand(); };
  mnuNetwork.OnClick = [this] { OpenNetworkWindow(); };
  mnuExit.OnClick = [this] {
    if (QueryUnload()) AppStop();
  };
  mnuOnlineHelp.OnClick = [this] { OnlineHelp(); };
  mnuAbout.OnClick = [this] {
    if (open_about) open_about(*this);
  };

  ctx_.tcp.OnConnected = [this] { oTCP_Connect(); };
  ctx_.tcp.OnData = [this](const std::string& chunk) { oTCP_DataArrival(chunk); };
  ctx_.tcp.OnClose = [this] { oTCP_Close(); };
  // A failed link stays in the error state; the next connection tick
  // closes and reopens it. Nothing is shown.
  ctx_.tcp.OnError = [](int, const std::string&) {};
}

// ------------------------------------------------------------------ start-up

void FrmEbbmark::Form_Load() {
  if (ctx_.instance.AnotherInstanceRunning()) {
    AppStop();
    return;
  }

  cboShutdownType.Clear();
  for (const char* t : kShutdownTypes) cboShutdownType.AddItem(t);
  cboShutdownType.SetListIndex(0);
  cboRunDelay.Clear();
  for (const auto& d : kStandardDelays) cboRunDelay.AddItem(d.text);
  cboRunDelay.SetListIndex(0);

  Stream.Table.MonitoredAddress = -1;

  Show();

  // The service manager answers in its own time: the settings are loaded
  // (or the user told why not) once it has.
  if (ctx_.service.State() == ServiceState::Unknown)
    awaiting_service_state_ = true;
  else
    LoadForService();

  tmrConnection.SetEnabled(true);
}

void FrmEbbmark::LoadForService() {
  const bool unreachable = ServiceUnknown();
  if (ctx_.service.Installed() || unreachable) {
    if (unreachable) {
      // The service may well be installed: its settings are shown and can
      // be saved, only starting and stopping it must wait.
      ctx_.dialogs.Show("Ebbmark Service",
                        "Could not ask the service manager whether the Ebbmark service is "
                        "installed: " +
                            ctx_.service.UnreachableReason() + ". The settings are loaded from " +
                            ctx_.settings_path +
                            " and can be saved; the service cannot be started or stopped from "
                            "here.",
                        DialogButtons::Ok, DialogIcon::Warning);
    }
    FillSettingsControls();
    // Writes the loaded and corrected values back, creating the file with
    // its defaults on a first start.
    SyncMonitoredAddress();
    store_.SaveSettings(ctx_.settings);
    oToolbar.SetButtonEnabled(1, true);
    oToolbar.SetButtonEnabled(2, true);
    oToolbar.SetButtonEnabled(3, true);
    UpdateServiceButtons();
    // Loading stopped the link; it starts again at once with the loaded
    // relay (start-up may have been waiting for the service manager).
    tmrConnection.SetInterval(milliseconds{100});
    tmrConnection.SetEnabled(true);
  } else {
    ctx_.dialogs.Show("Ebbmark Service",
                      "The Ebbmark service is not installed! You will not be able to save changes.",
                      DialogButtons::Ok, DialogIcon::Information);
  }
}

bool FrmEbbmark::ServiceUnknown() const {
  return ctx_.service.State() == ServiceState::Unreachable;
}

void FrmEbbmark::ServiceStateChanged() {
  if (stopping_) return;
  if (awaiting_service_state_ && ctx_.service.State() != ServiceState::Unknown) {
    awaiting_service_state_ = false;
    LoadForService();
  }
  UpdateStatusBar();
}

void FrmEbbmark::Form_Unload() {
  AppStop();
}

void FrmEbbmark::FillSettingsControls() {
  ResetLiveDisplay(Triggers::Reset);
  store_.LoadSettings(ctx_.settings);
  settings_loaded_ = true;
  file_address_ = ctx_.settings.MonitoredAddress;
  Stream.Table.MonitoredAddress = ctx_.settings.MonitoredAddress;
  last_saved_ = ctx_.settings;

  // Each control's own handling carries the value back into the record and
  // updates what depends on it.
  filling_ = true;
  const SettingsRecord loaded = ctx_.settings;
  cboShutdownType.SetListIndex(loaded.ShutdownType);
  chkForce.SetValue(loaded.Force ? CheckBox::Checked : CheckBox::Unchecked);
  txtExecute.SetText(loaded.ExecuteFile);

  const int delay = loaded.ExecuteDelay;
  int select = -1;
  for (std::size_t i = 0; i < kStandardDelays.size(); ++i)
    if (kStandardDelays[i].delay == delay) select = static_cast<int>(i);
  if (select >= 0) {
    // The standard entries keep their places behind any inserted earlier.
    const std::string text = kStandardDelays[static_cast<std::size_t>(select)].text;
    for (int i = 0; i < cboRunDelay.ListCount(); ++i)
      if (cboRunDelay.List(i) == text) select = i;
    cboRunDelay.SetListIndex(select);
  } else {
    const auto entry = RunDelayEntryFor(delay);
    cboRunDelay.AddItem(entry.text, entry.position);
    cboRunDelay.SetListIndex(entry.position);
  }

  hsbOptBattVoltage.SetValue(loaded.SDVoltage);
  hsbOpsTimer.SetValue(loaded.SDTimer);
  hsbOptSOC.SetValue(loaded.SDSOC);
  chkOII.SetValue(loaded.SOCOII ? CheckBox::Checked : CheckBox::Unchecked);
  filling_ = false;
  run_file_cleared_ = false;
  UpdateServiceButtons();
}

FrmEbbmark::RunDelayEntry FrmEbbmark::RunDelayEntryFor(int d) {
  for (const auto& s : kStandardDelays)
    if (s.delay == d) return {};
  int position;
  if (d < 30)
    position = 0;
  else if (d < 60)
    position = 1;
  else if (d < 180)
    position = 2;
  else if (d < 300)
    position = 3;
  else if (d < 600)
    position = 4;
  else
    position = 5;
  // Below a minute, and any delay that is not a whole number of minutes,
  // is shown in seconds so the entry stands for the stored value exactly.
  if (d < 60 || d % 60 != 0) return {std::to_string(d) + "s", position};
  return {std::to_string(d / 60) + " min", position};
}

std::optional<int> FrmEbbmark::RunDelayValue(const std::string& entry) {
  if (entry.empty()) return std::nullopt;
  for (const auto& s : kStandardDelays)
    if (entry == s.text) return s.delay;
  if (entry.back() == 's') return LeadingInt(entry);
  return LeadingInt(entry.substr(0, entry.find(' '))) * 60;
}

std::string FrmEbbmark::ConvertMinutes(double minutes_in) {
  auto minutes = static_cast<long long>(minutes_in);
  long long hours = 0;
  if (minutes > 59) {
    hours = minutes / 60;
    minutes %= 60;
  }
  std::string text;
  if (hours > 0) {
    text = std::to_string(hours);
    if (hours >= 2)
      text += minutes > 0 ? " hrs" : " hours";
    else
      text += minutes > 0 ? " hr" : " hour";
  }
  if (minutes > 0) {
    if (hours == 0)
      text = std::to_string(minutes);
    else
      text += " " + std::to_string(minutes);
    if (minutes == 1)
      text += hours == 0 ? " minute" : " min";
    else
      text += hours == 0 ? " minutes" : " mins";
  }
  return text;
}

// ------------------------------------------------------------------ settings controls

void FrmEbbmark::cboShutdownType_Click() {
  const int index = cboShutdownType.ListIndex();
  if (index < 0) return;
  ctx_.settings.ShutdownType = static_cast<std::uint8_t>(index);
  // Forcing means nothing when no action is taken; the tick is kept.
  chkForce.SetEnabled(index != 0);
  // Asked afresh each time: hibernation can be switched on or off while
  // the window is open.
  if (index == 2) AskHibernation();
  UpdateHibernateWarning();
  UpdateSaveButton();
}

void FrmEbbmark::AskHibernation() {
  if (hibernation_ == nullptr || asking_hibernation_) return;
  asking_hibernation_ = true;
  hibernation_->Ask([this, alive = std::weak_ptr<int>(alive_)](HibernateSupport answer) {
    if (alive.expired()) return;
    asking_hibernation_ = false;
    hibernate_support_ = answer;
    UpdateHibernateWarning();
  });
}

void FrmEbbmark::UpdateHibernateWarning() {
  // A computer that could not be asked is not warned about: the warning
  // would be a guess.
  const bool shown =
      cboShutdownType.ListIndex() == 2 && hibernate_support_ == HibernateSupport::Unable;
  if (lblHibernateWarning.Visible() == shown) return;
  const int shift = shown ? kWarningShift : -kWarningShift;
  for (Control* c : std::initializer_list<Control*>{
           &lblOptBattVoltage, &txtOptBattVoltage, &hsbOptBattVoltage, &lblOptTimer, &txtOptTimer,
           &hsbOpsTimer, &lblOptBatterySOC, &txtOptSOC, &hsbOptSOC, &chkOII}) {
    Rect r = c->Geometry();
    r.top += shift;
    c->SetGeometry(r);
  }
  Rect frame = fraSettings.Geometry();
  frame.height += shift;
  fraSettings.SetGeometry(frame);
  Rect bar = oStatusBar.Geometry();
  bar.top += shift;
  oStatusBar.SetGeometry(bar);
  SetSize(Width(), Height() + shift);
  lblHibernateWarning.SetVisible(shown);
}

void FrmEbbmark::cboRunDelay_Click() {
  if (const auto value = RunDelayValue(cboRunDelay.Text()))
    ctx_.settings.ExecuteDelay = static_cast<std::int16_t>(*value);
  UpdateSaveButton();
}

void FrmEbbmark::chkForce_Click() {
  ctx_.settings.Force = chkForce.Value() == CheckBox::Checked;
  UpdateSaveButton();
}

void FrmEbbmark::chkOII_Click() {
  ctx_.settings.SOCOII = chkOII.Value() == CheckBox::Checked;
  UpdateSaveButton();
}

void FrmEbbmark::ShowBattVoltage() {
  const int v = hsbOptBattVoltage.Value();
  ctx_.settings.SDVoltage = v;
  txtOptBattVoltage.SetText(v == hsbOptBattVoltage.Min() ? "n/a" : std::to_string(v) + "v");
  UpdateSaveButton();
}

void FrmEbbmark::hsbOptBattVoltage_Change() {
  ShowBattVoltage();
  UpdateValidationColours();
}

void FrmEbbmark::ShowTimer() {
  const int v = hsbOpsTimer.Value();
  ctx_.settings.SDTimer = v;
  txtOptTimer.SetText(v == 0 ? "n/a" : v == 1 ? "1 minute" : ConvertMinutes(v));
  UpdateSaveButton();
}

void FrmEbbmark::hsbOpsTimer_Change() {
  ShowTimer();
}

void FrmEbbmark::ShowSOC() {
  const int v = hsbOptSOC.Value();
  ctx_.settings.SDSOC = v;
  txtOptSOC.SetText(v == hsbOptSOC.Min() ? "n/a" : std::to_string(v) + "%");
  UpdateSaveButton();
}

void FrmEbbmark::hsbOptSOC_Change() {
  ShowSOC();
  UpdateValidationColours();
}

void FrmEbbmark::txtExecute_Change() {
  // Emptying the box is how the user removes the run file; a box emptied
  // by a load only shows that the file holds none (or none that exists).
  if (txtExecute.Text().empty() && !filling_) {
    ctx_.settings.ExecuteFile.clear();
    run_file_cleared_ = true;
  }
  UpdateValidationColours();
}

void FrmEbbmark::UseFileChooser(FileChooser* chooser) {
  chooser_ = chooser;
  cmdBrowse.SetVisible(chooser != nullptr);
}

void FrmEbbmark::cmdBrowse_Click() {
  if (chooser_ == nullptr) return;
  const auto chosen = chooser_->ChooseFile(ebbmark_texts::kChooseRunFile, txtExecute.Text());
  if (!chosen || chosen->empty()) return;
  // As if typed and left: the box checks it, the settings take it, and a
  // file the service would refuse to start is warned about at once.
  txtExecute.SetText(*chosen);
  WarnIfNotExecutable();
  UpdateSaveButton();
}

void FrmEbbmark::WarnIfNotExecutable() {
  // Said once per file chosen: the service would refuse it at the worst
  // moment, and nothing else would tell the user before then.
  const std::string& path = txtExecute.Text();
  if (txtExecute.BackColour() != kGreen || path == warned_run_file_) return;
  if (ctx_.fs.IsExecutable(path)) return;
  warned_run_file_ = path;
  ctx_.dialogs.Show("Run File",
                    "The run file " + path +
                        " is not executable. The service will not start it: make it executable "
                        "(chmod +x) or choose a program.",
                    DialogButtons::Ok, DialogIcon::Warning);
}

void FrmEbbmark::UpdateSaveButton() {
  if (!oToolbar.ButtonEnabled(2)) return;
  const bool differ = !SameCompared(ctx_.settings, last_saved_);
  if (differ != oToolbar.ButtonEnabled(1)) oToolbar.SetButtonEnabled(1, differ);
}

void FrmEbbmark::SyncMonitoredAddress() {
  // While no inverter is shown, the file keeps the address it holds.
  const std::int32_t shown = Stream.Table.MonitoredAddress;
  ctx_.settings.MonitoredAddress = shown >= 0 ? shown : file_address_;
}

void FrmEbbmark::SaveAndRemember(std::function<void(std::error_code)> finished) {
  SyncMonitoredAddress();
  SaveOptions options;
  options.remove_run_file = run_file_cleared_ && ctx_.settings.ExecuteFile.empty();
  // What this save writes: the controls stay live meanwhile, and whatever
  // the user changes while polkit asks is compared against this.
  auto written = std::make_shared<SettingsRecord>(ctx_.settings);
  auto error = store_.SaveSettings(*written, options);
  // A desktop user reads the administrator's settings file but may not
  // replace it: the helper asks for the password and writes the same text.
  if (IsDenied(error) && privileged_writer_) {
    std::string text;
    error = store_.SettingsText(*written, options, text);
    if (!error) {
      SetSaving(true);
      privileged_writer_->Replace(
          ProtectedFile::Settings, ctx_.settings_path, text,
          [this, alive = std::weak_ptr<int>(alive_), written, finished](std::error_code e) {
            if (alive.expired() || stopping_) return;
            SettingsWritten(e, *written, finished);
          });
      return;
    }
  }
  SettingsWritten(error, *written, std::move(finished));
}

void FrmEbbmark::SettingsWritten(std::error_code error, const SettingsRecord& written,
                                 std::function<void(std::error_code)> finished) {
  if (error) {
    SetSaving(false);
    finished(error);
    return;
  }
  file_address_ = written.MonitoredAddress;
  if (ctx_.settings.ExecuteFile.empty() == written.ExecuteFile.empty()) run_file_cleared_ = false;
  last_saved_ = written;
  // A password that could not be written still waits: Save stays offered.
  last_saved_.SMTPPasswordChange.reset();
  last_saved_.NUTPasswordChange.reset();
  // One password file after the other: the administrator's helper asks once
  // for each that the user may not write.
  SavePasswordChange(kMailSecret, written.SMTPPasswordChange, [this, finished, written] {
    SavePasswordChange(kNutSecret, written.NUTPasswordChange, [this, finished] {
      SetSaving(false);
      finished({});
    });
  });
}

const FrmEbbmark::SecretField FrmEbbmark::kMailSecret{kSecretFileName,
                                                      &SettingsRecord::SMTPPasswordChange,
                                                      &SettingsRecord::SMTPPasswordSet, "email"};
const FrmEbbmark::SecretField FrmEbbmark::kNutSecret{
    kNutSecretFileName, &SettingsRecord::NUTPasswordChange, &SettingsRecord::NUTPasswordSet, "NUT"};

void FrmEbbmark::SavePasswordChange(const SecretField& field, std::optional<std::string> change,
                                    std::function<void()> finished) {
  if (!change) {
    finished();
    return;
  }
  const std::string path = JoinPath(FolderOfPath(ctx_.settings_path), std::string(field.file_name));
  std::error_code error = std::make_error_code(std::errc::operation_not_supported);
  if (ctx_.secrets != nullptr) {
    error = change->empty() ? ctx_.secrets->Remove(path) : ctx_.secrets->Write(path, *change);
  }
  // As with the settings: only root may write the password file, so a
  // desktop user's save goes through the administrator's helper (an empty
  // password removes the file there too), in the same save.
  if (IsDenied(error) && privileged_writer_) {
    SetSaving(true);
    privileged_writer_->Replace(ProtectedFile::Secret, path, *change,
                                [this, alive = std::weak_ptr<int>(alive_), &field, path, change,
                                 finished](std::error_code e) {
                                  if (alive.expired() || stopping_) return;
                                  PasswordWritten(field, e, path, *change);
                                  finished();
                                });
    return;
  }
  PasswordWritten(field, error, path, *change);
  finished();
}

void FrmEbbmark::PasswordWritten(const SecretField& field, std::error_code error,
                                 const std::string& path, const std::string& change) {
  SettingsRecord& s = ctx_.settings;
  if (error) {
    // The settings file is written; the password stays waiting for the next
    // save, which Save keeps offering.
    ctx_.dialogs.Show("Save Settings",
                      std::string("The ") + field.what + " password could not be saved to " + path +
                          ": " + error.message() +
                          ". Only an administrator can change it; see the README.",
                      DialogButtons::Ok, DialogIcon::Error);
    return;
  }
  s.*field.set = !change.empty();
  // A password typed again while this one was being written waits for the
  // next save.
  if (s.*field.change == change) (s.*field.change).reset();
}

void FrmEbbmark::SetSaving(bool saving) {
  if (saving_ == saving) return;
  saving_ = saving;
  mnuSaveSettings.SetEnabled(!saving);
  mnuLoadSettings.SetEnabled(!saving);
  if (saving) {
    if (oToolbar.ButtonEnabled(1)) oToolbar.SetButtonEnabled(1, false);
  } else {
    UpdateSaveButton();
  }
}

bool FrmEbbmark::Form_QueryUnload() {
  if (!saving_) return true;
  // Ending now would leave the user not knowing whether the file was
  // written; the helper goes on either way.
  return ctx_.dialogs.Show("Save Settings",
                           "The settings are still being saved: the administrator's password has "
                           "not been given yet. Close Ebbmark anyway?",
                           DialogButtons::YesNo, DialogIcon::Question) == DialogAnswer::Yes;
}

void FrmEbbmark::SaveCommand() {
  if (saving_) return;
  const auto report_failure = [this](const std::error_code& error) {
    ctx_.dialogs.Show(
        "Save Settings",
        "The settings could not be saved to " + ctx_.settings_path + ": " + error.message() + ".",
        DialogButtons::Ok, DialogIcon::Error);
  };
  // Save goes off after a command; `offer_unsaved` offers it again for
  // changes not written (a refused or failed save leaves them all unsaved,
  // and the user may have changed more while the helper waited).
  const auto done = [this](bool offer_unsaved) {
    if (saving_) return;
    if (oToolbar.ButtonEnabled(1)) oToolbar.SetButtonEnabled(1, false);
    if (offer_unsaved || PasswordWaits(ctx_.settings)) UpdateSaveButton();
  };

  bool refused = false;
  SyncMonitoredAddress();
  if (UnusableAddressSetting(ctx_.settings) == nullptr) {
    // The service will drop a recipient the length limit cuts; the user
    // hears it now, as the service's record will say.
    for (const auto& text : DroppedRecipientWarnings(ctx_.settings.SMTPTo, false))
      ctx_.dialogs.Show("Save Settings", text, DialogButtons::Ok, DialogIcon::Warning);
  }
  if (const char* setting = UnusableAddressSetting(ctx_.settings)) {
    // The service would refuse to send anything with it; better to say so now.
    ctx_.dialogs.Show("Save Settings",
                      std::string("The settings have not been saved, because the \"") +
                          std::string(Setting(setting).label) +
                          "\" of the email window is not a usable email address: use "
                          "name@domain or "
                          "Name <name@domain>, separate several recipients with commas, and "
                          "leave out control characters.",
                      DialogButtons::Ok, DialogIcon::Warning);
    refused = true;
  } else if (const std::string range = OutOfRangeSetting(ctx_.settings); !range.empty()) {
    // The next load would not read it back: nothing is written.
    ctx_.dialogs.Show("Save Settings", "The settings have not been saved, because " + range + ".",
                      DialogButtons::Ok, DialogIcon::Warning);
    refused = true;
  } else if (!ctx_.service.Installed() && !ServiceUnknown()) {
    ctx_.dialogs.Show("Save Settings",
                      "The settings have not been saved, because the Ebbmark service is not "
                      "installed. Please see the README for instructions.",
                      DialogButtons::Ok, DialogIcon::Warning);
  } else if (!settings_loaded_) {
    // The service was installed after this window started: the record holds
    // defaults, and writing them would wipe the file's settings.
    ctx_.dialogs.Show("Save Settings",
                      "The settings have not been saved, because they were not loaded when the "
                      "program started. Please choose File, Settings, Load settings first.",
                      DialogButtons::Ok, DialogIcon::Warning);
  } else if (ctx_.service.Running()) {
    const auto answer = ctx_.dialogs.Show(
        "Start service",
        "The service is currently running. Your settings will take effect immediately. Are you "
        "sure you want to save?",
        DialogButtons::YesNo, DialogIcon::Question);
    if (answer == DialogAnswer::Yes) {
      SaveAndRemember([this, report_failure, done](std::error_code error) {
        if (error) {
          report_failure(error);
        } else {
          ctx_.dialogs.Show("Save Settings", "Settings saved!", DialogButtons::Ok,
                            DialogIcon::None);
        }
        done(true);
      });
      return;
    }
  } else {
    SaveAndRemember([this, report_failure, done](std::error_code error) {
      if (error) {
        report_failure(error);
        done(true);
        return;
      }
      // Without an answer from the service manager there is nothing to start.
      if (ServiceUnknown()) {
        ctx_.dialogs.Show("Save Settings", "Settings saved!", DialogButtons::Ok, DialogIcon::None);
        done(true);
        return;
      }
      const auto answer = ctx_.dialogs.Show(
          "Save Settings",
          "Settings saved!\r\n\r\nWould you like to start the Ebbmark service now?",
          DialogButtons::YesNo, DialogIcon::Question);
      if (answer == DialogAnswer::Yes) {
        // The service manager may ask for a password first; the window
        // carries on meanwhile and hears the answer later.
        Dialogs& dialogs = ctx_.dialogs;
        ctx_.service.Start([&dialogs, alive = std::weak_ptr<int>(alive_)](bool ok) {
          if (ok || alive.expired()) return;
          dialogs.Show("Start Ebbmark Service", "An error occured starting the Ebbmark service.",
                       DialogButtons::Ok, DialogIcon::Warning);
        });
      }
      done(true);
    });
    return;
  }
  done(refused);
}

void FrmEbbmark::OnlineHelp() {
  if (!ctx_.shell.Open(ctx_.help_path)) {
    ctx_.dialogs.Show("Error opening default browser",
                      "Could not open default browser. Please contact support for assistance.",
                      DialogButtons::Ok, DialogIcon::Warning);
  }
}

void FrmEbbmark::ToolbarClick(const ToolbarButton& button) {
  if (button.key == "Save") {
    SaveCommand();
  } else if (button.key == "Service") {
    if (open_service_window) open_service_window(*this);
  } else if (button.key == "Email") {
    if (open_email_window) open_email_window(*this);
    UpdateSaveButton();
  } else if (button.key == "Trellan") {
    ShowRelayFinder();
  } else if (button.key == "Network") {
    OpenNetworkWindow();
  }
}

void FrmEbbmark::OpenNetworkWindow() {
  if (open_network_window) open_network_window(*this);
  UpdateSaveButton();
}

void FrmEbbmark::mnuLoadSettings_Click() {
  ResetLiveDisplay(Triggers::Reset);
  FillSettingsControls();
  tmrConnection.SetInterval(milliseconds{100});
  tmrConnection.SetEnabled(true);
}

// ------------------------------------------------------------------ live display

void FrmEbbmark::tmrConnection_Timer() {
  const auto& s = ctx_.settings;
  if (s.TCPHost.empty()) {
    tmrConnection.SetInterval(milliseconds{1000});
    txtTrellanHost.SetFontName("Terminal");
    const std::string b = ebbmark_texts::kNotConfigured;
    const std::string& shown = txtTrellanHost.Text();
    if (shown == b + "- ")
      txtTrellanHost.SetText(b + "\\ ");
    else if (shown == b + "\\ ")
      txtTrellanHost.SetText(b + "| ");
    else if (shown == b + "| ")
      txtTrellanHost.SetText(b + "/ ");
    else
      txtTrellanHost.SetText(b + "- ");
    return;
  }

  tmrConnection.SetInterval(milliseconds{10000});
  if (txtTrellanHost.Text() != s.TCPHost) txtTrellanHost.SetText(s.TCPHost);

  const int state = ctx_.tcp.State();
  if (state == kSockConnected) {
    imgConnected.SetVisible(true);
    // A link that brings no recognised line for a whole minute is closed;
    // the next tick opens it again.
    if (Stream.LastDataStamp &&
        AgeSeconds(*Stream.LastDataStamp, ctx_.clock.Now()) >= kSilenceSeconds) {
      ctx_.tcp.Close();
      return;
    }
  }
  if (s.TCPPort != 0 && (state == kSockClosed || state == kSockError)) {
    imgConnected.SetVisible(false);
    // No event of the old connection arrives after the close, so the new
    // connection can be started at once.
    ctx_.tcp.Close();
    ctx_.tcp.Connect(s.TCPHost, s.TCPPort);
    tmrUpdateDisplay.SetEnabled(true);
  }
}

void FrmEbbmark::oTCP_Connect() {
  imgConnected.SetVisible(true);
}

void FrmEbbmark::oTCP_DataArrival(const std::string& chunk) {
  if (!GreetingChecked) {
    GreetingChecked = true;
    const bool greeting = chunk.size() >= 7 && chunk.compare(0, 7, "Trellan") == 0 &&
                          chunk.size() >= 2 && chunk.compare(chunk.size() - 2, 2, "\r\n") == 0;
    if (greeting) return;
  }
  if (!chunk.empty()) Stream.Append(chunk);
}

void FrmEbbmark::oTCP_Close() {
  GreetingChecked = false;
  Stream.LastDataStamp.reset();
  ctx_.tcp.Close();
}

void FrmEbbmark::UpdateDisplay() {
  UpdateValidationColours();
  UpdateStatusBar();
  if (!Stream.LastDataStamp) return;

  auto& t = Stream.Table;
  const Stamp now = ctx_.clock.Now();
  for (int a = 0; a < kStatusSlots; ++a) {
    const auto& seen = t.InverterLastSeen[static_cast<std::size_t>(a)];
    if (seen && AgeSeconds(*seen, now) >= 10 && t.MonitoredAddress == a) t.MonitoredAddress = -1;
  }

  if (t.MonitoredAddress < 0) {
    imgInverterNo.SetVisible(true);
  } else {
    const auto a = static_cast<std::size_t>(t.MonitoredAddress);
    imgInverterNo.SetVisible(false);
    imgBattery1.SetVisible(t.InverterCurrent[a] > 0);
    if (TriggerReached(Inverting, ctx_.settings, t, now)) {
      // The action's picture blinks once a second; "Do nothing" shows the
      // hibernate picture, as any action but a shutdown does.
      if (cboShutdownType.ListIndex() == 1) {
        imgShutdown2.SetVisible(!imgShutdown2.Visible());
        imgHibernate.SetVisible(false);
      } else {
        imgHibernate.SetVisible(!imgHibernate.Visible());
        imgShutdown2.SetVisible(false);
      }
    } else {
      imgShutdown2.SetVisible(false);
      imgHibernate.SetVisible(false);
    }
    lblInverterAddress.SetCaption(cap_inverter_address_ + " " + std::to_string(a));
    lblACInput.SetCaption(cap_ac_input_ + " " + std::to_string(t.AcInput[a]) + "v AC");
    lblInverterCurrent.SetCaption(cap_inverter_current_ + " " +
                                  std::to_string(t.InverterCurrent[a]) + " A");
    lblBatteryVoltage.SetCaption(cap_battery_voltage_ + " " + std::to_string(t.BatteryVoltage[a]) +
                                 "v");
  }

  if (SocIsFresh(t, now)) {
    imgFNDCNo.SetVisible(false);
    fraBatteryMonitor.SetVisible(true);
    hsbOptSOC.SetEnabled(true);
    txtOptSOC.SetEnabled(true);
    chkOII.SetEnabled(true);
    lblFNDCStateOfCharge.SetCaption(cap_soc_ + " " + std::to_string(t.BatterySoc) + "%");
    if (t.BatteryTemp != 99) {
      const auto f = static_cast<long long>(std::lround(t.BatteryTemp * 9.0 / 5.0 + 32.0));
      lblFNDCBattTemp.SetCaption(cap_temp_ + " " + std::to_string(t.BatteryTemp) + "C/" +
                                 std::to_string(f) + "F");
    } else {
      lblFNDCBattTemp.SetCaption(cap_temp_ + " No RTS");
    }
  } else {
    imgFNDCNo.SetVisible(true);
    fraBatteryMonitor.SetVisible(false);
    // The SOC trigger cannot be judged without a battery monitor, but the
    // setting is the user's: it is kept, only the controls are locked.
    hsbOptSOC.SetEnabled(false);
    txtOptSOC.SetEnabled(false);
    chkOII.SetEnabled(false);
  }
}

void FrmEbbmark::UpdateStatusBar() {
  // A relay that accepts and never speaks is told apart from one whose
  // last record time is shown.
  oStatusBar.SetPanelText(2, !imgConnected.Visible() ? std::string(ebbmark_texts::kNotConnected)
                             : Stream.LastDataStamp  ? FormatLocalStamp(Stream.LastDataStamp->wall)
                                                    : std::string(ebbmark_texts::kConnectedNoData));
  const auto panel1 = [this](const char* text, int image) {
    if (oStatusBar.Panel(1).text == text) return;
    oStatusBar.SetPanelText(1, text);
    oStatusBar.SetPanelImage(1, image);
  };
  switch (ctx_.service.State()) {
    case ServiceState::Unknown:
      break;
    case ServiceState::NotInstalled:
      panel1(ebbmark_texts::kServiceNotInstalled, kImageNotInstalled);
      break;
    case ServiceState::Unreachable:
      panel1(ebbmark_texts::kServiceUnreachable, kImageNotInstalled);
      break;
    case ServiceState::Running:
      panel1(ebbmark_texts::kServiceRunning, kImageRunning);
      break;
    case ServiceState::Starting:
      panel1(ebbmark_texts::kServiceStarting, kImageStopped);
      break;
    case ServiceState::Stopping:
      panel1(ebbmark_texts::kServiceStopping, kImageRunning);
      break;
    case ServiceState::Stopped:
      panel1(ebbmark_texts::kServiceStopped, kImageStopped);
      break;
  }
  UpdateServiceButtons();
}

void FrmEbbmark::UpdateServiceButtons() {
  // The service window is useful whenever there is a service; the email
  // window edits settings, so it also needs settings loaded from the file
  // (after "Load settings" as much as at start-up).
  const bool installed = ctx_.service.Installed();
  if (oToolbar.ButtonEnabled(2) != installed) oToolbar.SetButtonEnabled(2, installed);
  // Without the service manager's answer the settings are still the
  // user's to edit.
  const bool email = (installed || ServiceUnknown()) && settings_loaded_;
  if (oToolbar.ButtonEnabled(3) != email) oToolbar.SetButtonEnabled(3, email);
  // The network window edits settings just as the email window does.
  if (oToolbar.ButtonEnabled(5) != email) oToolbar.SetButtonEnabled(5, email);
  if (mnuNetwork.Enabled() != email) mnuNetwork.SetEnabled(email);
}

void FrmEbbmark::UpdateValidationColours() {
  if (!initial_execute_) initial_execute_ = txtExecute.BackColour();
  const std::string& path = txtExecute.Text();
  if (path.empty()) {
    txtExecute.SetBackColour(*initial_execute_);
  } else if (path.size() > 3 && path.back() != '\\' && path.back() != '/') {
    if (ctx_.fs.PatternMatches(path)) {
      txtExecute.SetBackColour(kGreen);
      ctx_.settings.ExecuteFile = path;
    } else {
      txtExecute.SetBackColour(kRed);
    }
  } else {
    txtExecute.SetBackColour(kRed);
  }
  const Colour c = txtExecute.BackColour();
  cboRunDelay.SetEnabled(c != *initial_execute_ && c != kRed);

  const auto& t = Stream.Table;
  if (!Stream.LastDataStamp || t.MonitoredAddress == -1) return;

  if (!initial_voltage_) initial_voltage_ = txtOptBattVoltage.BackColour();
  if (txtOptBattVoltage.Text() != "n/a") {
    txtOptBattVoltage.SetBackColour(ctx_.settings.SDVoltage <= MonitoredVoltage(t) ? kGreen : kRed);
  } else {
    txtOptBattVoltage.SetBackColour(*initial_voltage_);
  }
  if (!initial_soc_) initial_soc_ = txtOptSOC.BackColour();
  if (txtOptSOC.Text() != "n/a") {
    txtOptSOC.SetBackColour(ctx_.settings.SDSOC <= t.BatterySoc ? kGreen : kRed);
  } else {
    txtOptSOC.SetBackColour(*initial_soc_);
  }
}

void FrmEbbmark::ResetLiveDisplay(Triggers triggers) {
  tmrConnection.SetEnabled(false);
  tmrUpdateDisplay.SetEnabled(false);
  ctx_.tcp.Close();

  imgFNDCNo.SetVisible(true);
  imgInverterNo.SetVisible(true);
  imgConnected.SetVisible(false);
  fraBatteryMonitor.SetVisible(false);
  oStatusBar.SetPanelText(2, ebbmark_texts::kNotConnected);
  txtTrellanHost.SetText("");
  lblACInput.SetCaption(cap_ac_input_);
  lblInverterCurrent.SetCaption(cap_inverter_current_);
  lblBatteryVoltage.SetCaption(cap_battery_voltage_);
  lblFNDCStateOfCharge.SetCaption(cap_soc_);
  lblFNDCBattTemp.SetCaption(cap_temp_);

  auto& t = Stream.Table;
  t.MonitoredAddress = -1;
  t.BatterySoc = 0;
  t.BatteryTemp = 0;
  Stream.LastDataStamp.reset();
  Inverting = InvertingState{};
  t.MonitoredAddressChanged = false;
  GreetingChecked = false;

  if (triggers == Triggers::Reset) {
    hsbOptBattVoltage.SetValue(hsbOptBattVoltage.Min());
    hsbOpsTimer.SetValue(hsbOpsTimer.Min());
    hsbOptSOC.SetValue(hsbOptSOC.Min());
  }
  SetCaption("Ebbmark");
  for (int a = 0; a < kStatusSlots; ++a) {
    const auto i = static_cast<std::size_t>(a);
    t.InverterLastSeen[i].reset();
    t.AcInput[i] = 0;
    t.InverterCurrent[i] = 0;
    t.BatteryVoltage[i] = 0;
    t.BatteryVoltageTenths[i] = 0;
  }
  t.FndcLastSeen.reset();
}

void FrmEbbmark::ShowRelayFinder() {
  // Looking for a relay is no reason to lose the trigger levels shown.
  ResetLiveDisplay(Triggers::Keep);
  if (open_finder) open_finder(*this);
  if (!ctx_.settings.TCPHost.empty() && ctx_.settings.TCPPort != 0) UpdateSaveButton();
  tmrConnection.SetInterval(milliseconds{100});
  tmrConnection.SetEnabled(true);
}

void FrmEbbmark::AppStop() {
  if (stopping_) return;
  stopping_ = true;
  tmrConnection.SetEnabled(false);
  tmrUpdateDisplay.SetEnabled(false);
  ctx_.tcp.Close();
  // Handlers already queued run before the program ends.
  asio::post(ctx_.io, [end = ctx_.end_program] {
    if (end) end();
  });
}

}  // namespace ebbmark
