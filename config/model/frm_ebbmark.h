#pragma once
// The configuration program's main window: the settings it edits and saves,
// its toolbar and menus, and the live status of the installation read from a
// relay link of its own.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include <asio/io_context.hpp>

#include "base/clock.h"
#include "base/timer.h"
#include "common/monitor_rules.h"
#include "common/settings.h"
#include "common/status_stream.h"
#include "common/tcp_client.h"
#include "config/model/controls.h"
#include "config/model/seams.h"
#include "platform/dialogs.h"
#include "platform/file_system.h"
#include "platform/hibernation.h"
#include "platform/privileged_writer.h"
#include "platform/secret_store.h"
#include "platform/service_control.h"
#include "platform/service_watch.h"

namespace ebbmark {

// What the main window works with. Everything is owned by the caller and
// outlives the window.
struct ConfigContext {
  asio::io_context& io;
  const Clock& clock;
  FileSystem& fs;
  std::string settings_path;  // the full path of Ebbmark.ini
  // The one settings record of the program; the other windows change it in
  // place and the main window's save writes it.
  SettingsRecord& settings;
  // The monitoring service's state, followed without waiting for it.
  ServiceWatch& service;
  Dialogs& dialogs;
  Shell& shell;
  TcpClient& tcp;  // the window's own relay link
  InstanceCheck& instance;
  std::string help_path;  // the help page shipped beside the program
  // Ends the program; called once, after the link has been closed and the
  // handlers already queued have run.
  std::function<void()> end_program;
  // Where a save puts the mail password (smtp.secret beside the settings
  // file); without a store a typed password cannot be saved.
  SecretStore* secrets = nullptr;
};

// The texts the window shows and asks; tests compare against them.
namespace ebbmark_texts {
inline constexpr const char* kNotConfigured = "Trellan not configured...";
inline constexpr const char* kNotConnected = "Not Connected";
// The relay accepted the link but no status line has come yet.
inline constexpr const char* kConnectedNoData = "Connected, no data yet";
inline constexpr const char* kCannotHibernate =
    "This computer cannot hibernate: the service will shut it down instead.";
inline constexpr const char* kServiceRunning = "Service: Running ";
inline constexpr const char* kServiceStopped = "Service: Stopped ";
inline constexpr const char* kServiceStarting = "Service: Starting ";
inline constexpr const char* kServiceStopping = "Service: Stopping ";
inline constexpr const char* kServiceNotInstalled = "Service: Not Installed ";
inline constexpr const char* kServiceUnreachable = "Service: Unknown ";
inline constexpr const char* kBrowse = "Browse…";
inline constexpr const char* kChooseRunFile = "Choose the run file";
}  // namespace ebbmark_texts

class FrmEbbmark : public Window {
 public:
  // Pictures of the status bar's image list ilCommon16.
  static constexpr int kImageRunning = 3;
  static constexpr int kImageNotInstalled = 4;
  static constexpr int kImageStopped = 13;
  // A link that has brought no recognised line for this long is closed and
  // opened again.
  static constexpr std::int64_t kSilenceSeconds = 60;

  explicit FrmEbbmark(ConfigContext ctx);
  ~FrmEbbmark() override;

  // The other windows, shown modally over this one. The finder may change
  // TCPHost and TCPPort of the settings record; the email window the mail
  // settings.
  std::function<void(Window& owner)> open_service_window;
  std::function<void(Window& owner)> open_email_window;
  // The network window: the NUT server's settings.
  std::function<void(Window& owner)> open_network_window;
  std::function<void(Window& owner)> open_finder;
  std::function<void(Window& owner)> open_about;

  // Where Save turns when the settings file may not be written by this
  // user: the administrator's helper (nullptr: nowhere, the save fails).
  // Only the user's Save asks for it, never the start-up write-back.
  void UsePrivilegedWriter(PrivilegedWriter* writer) { privileged_writer_ = writer; }
  // Asked whenever "Hibernate" is chosen, so a computer that cannot
  // hibernate is warned about (nullptr: never asked, never warned).
  void UseHibernationCheck(HibernationCheck* check) { hibernation_ = check; }
  // The platform's file chooser behind "Browse…" (nullptr: the button is
  // hidden and the run file is typed).
  void UseFileChooser(FileChooser* chooser);

  // Start-up: lays out the window, loads the settings when the service is
  // installed, and starts the link supervision. The program calls it once.
  void Form_Load() override;
  // The user closes the window: the program ends.
  void Form_Unload() override;
  // Closing while a save waits for the administrator's password asks first.
  bool Form_QueryUnload() override;
  // A save is on its way through the administrator's helper.
  bool Saving() const { return saving_; }

  // One refresh of everything shown; tmrUpdateDisplay runs it every second.
  void UpdateDisplay();
  // Closes the link and ends the program.
  void AppStop();

  // Minutes 2 to 1440 as the timer row shows them ("1 hr 15 mins").
  static std::string ConvertMinutes(double minutes);
  // The cboRunDelay entry and its position for a loaded ExecuteDelay that is
  // not a standard entry's value. Empty text for a standard value.
  struct RunDelayEntry {
    std::string text;
    int position = -1;
  };
  static RunDelayEntry RunDelayEntryFor(int delay);
  // The ExecuteDelay a cboRunDelay entry stands for; nullopt for an empty text.
  static std::optional<int> RunDelayValue(const std::string& entry);

  // ------------------------------------------------------------ controls
  Toolbar oToolbar{this, "oToolbar"};

  Frame fraNetwork{this, "fraNetwork"};
  Label lblTrellanHost{this, "lblTrellanHost", &fraNetwork};
  TextBox txtTrellanHost{this, "txtTrellanHost", &fraNetwork};
  Image imgShutdown{this, "imgShutdown", &fraNetwork};
  Image imgShutdown2{this, "imgShutdown2", &fraNetwork};
  Image imgHibernate{this, "imgHibernate", &fraNetwork};
  Image imgQuestion{this, "imgQuestion", &fraNetwork};
  Image imgBattery1{this, "imgBattery1", &fraNetwork};
  Image imgNotConnected{this, "imgNotConnected", &fraNetwork};
  Image imgConnected{this, "imgConnected", &fraNetwork};
  Label lblInverterDetected{this, "lblInverterDetected", &fraNetwork};
  Image imgInverterYes{this, "imgInverterYes", &fraNetwork};
  Image imgInverterNo{this, "imgInverterNo", &fraNetwork};
  Label lblFNDCDetected{this, "lblFNDCDetected", &fraNetwork};
  Image imgFNDCYes{this, "imgFNDCYes", &fraNetwork};
  Image imgFNDCNo{this, "imgFNDCNo", &fraNetwork};

  Frame fraDetails{this, "fraDetails"};
  Label lblInverterAddress{this, "lblInverterAddress", &fraDetails};
  Label lblACInput{this, "lblACInput", &fraDetails};
  Label lblInverterCurrent{this, "lblInverterCurrent", &fraDetails};
  Label lblBatteryVoltage{this, "lblBatteryVoltage", &fraDetails};
  Frame fraBatteryMonitor{this, "fraBatteryMonitor", &fraDetails};
  Label lblFNDCStateOfCharge{this, "lblFNDCStateOfCharge", &fraBatteryMonitor};
  Label lblFNDCBattTemp{this, "lblFNDCBattTemp", &fraBatteryMonitor};

  Frame fraSettings{this, "fraSettings"};
  Label lblExecute{this, "lblExecute", &fraSettings};
  TextBox txtExecute{this, "txtExecute", &fraSettings};
  CommandButton cmdBrowse{this, "cmdBrowse", &fraSettings};
  Label lblRunDelay{this, "lblRunDelay", &fraSettings};
  ComboBox cboRunDelay{this, "cboRunDelay", &fraSettings};
  Label lblShutdownType{this, "lblShutdownType", &fraSettings};
  ComboBox cboShutdownType{this, "cboShutdownType", &fraSettings};
  CheckBox chkForce{this, "chkForce", &fraSettings};
  // Under the action type while hibernation is chosen and cannot happen;
  // the rows below make room for it.
  Label lblHibernateWarning{this, "lblHibernateWarning", &fraSettings};
  Label lblOptBattVoltage{this, "lblOptBattVoltage", &fraSettings};
  TextBox txtOptBattVoltage{this, "txtOptBattVoltage", &fraSettings};
  ScrollBar hsbOptBattVoltage{this, "hsbOptBattVoltage", &fraSettings};
  Label lblOptTimer{this, "lblOptTimer", &fraSettings};
  TextBox txtOptTimer{this, "txtOptTimer", &fraSettings};
  ScrollBar hsbOpsTimer{this, "hsbOpsTimer", &fraSettings};
  Label lblOptBatterySOC{this, "lblOptBatterySOC", &fraSettings};
  TextBox txtOptSOC{this, "txtOptSOC", &fraSettings};
  ScrollBar hsbOptSOC{this, "hsbOptSOC", &fraSettings};
  CheckBox chkOII{this, "chkOII", &fraSettings};

  StatusBar oStatusBar{this, "oStatusBar"};

  MenuEntry mnuFile{this, "mnuFile", "File"};
  MenuEntry mnuSettings{this, "mnuSettings", "Settings", &mnuFile};
  MenuEntry mnuLoadSettings{this, "mnuLoadSettings", "Load settings", &mnuSettings};
  MenuEntry mnuSaveSettings{this, "mnuSaveSettings", "Save settings", &mnuSettings};
  MenuEntry mnuNetwork{this, "mnuNetwork", "Network", &mnuFile};
  MenuEntry mnuSeparator1{this, "mnuSeparator1", "-", &mnuFile};
  MenuEntry mnuExit{this, "mnuExit", "Exit", &mnuFile};
  MenuEntry mnuHelp{this, "mnuHelp", "Help"};
  MenuEntry mnuOnlineHelp{this, "mnuOnlineHelp", "Online Help", &mnuHelp};
  MenuEntry mnuAbout{this, "mnuAbout", "About", &mnuHelp};

  Timer tmrConnection;
  Timer tmrUpdateDisplay;

  // ------------------------------------------------------------ live values
  // The window's own copy of the status stream and the inverting period.
  StatusStream Stream;
  InvertingState Inverting;
  bool GreetingChecked = false;

  // Timer handlers, public so a test can tick them directly.
  void tmrConnection_Timer();
  void tmrUpdateDisplay_Timer() { UpdateDisplay(); }

  SettingsRecord& Settings() { return ctx_.settings; }
  // The fifteen compared settings as the last load or save left them.
  const SettingsRecord& LastSavedSettings() const { return last_saved_; }

 private:
  void Layout();
  void Wire();

  // Settings side.
  void FillSettingsControls();
  void UpdateSaveButton();
  // Writes the settings (through the administrator's helper when this user
  // may not), then the waiting password; `finished` runs once with the
  // settings file's outcome, on the loop, perhaps before this returns.
  void SaveAndRemember(std::function<void(std::error_code)> finished);
  void SettingsWritten(std::error_code error, const SettingsRecord& written,
                       std::function<void(std::error_code)> finished);
  // One of the password files a save writes: its name beside the settings
  // file, the record's fields for it, and what the user calls it.
  struct SecretField {
    std::string_view file_name;
    std::optional<std::string> SettingsRecord::*change;
    bool SettingsRecord::*set;
    const char* what;
  };
  static const SecretField kMailSecret;
  static const SecretField kNutSecret;
  // Writes or removes the password `change` of `field`; says so when it
  // cannot, and leaves it waiting. `finished` runs once either way.
  void SavePasswordChange(const SecretField& field, std::optional<std::string> change,
                          std::function<void()> finished);
  void PasswordWritten(const SecretField& field, std::error_code error, const std::string& path,
                       const std::string& change);
  // A save waits for the administrator's helper: Save is off meanwhile.
  void SetSaving(bool saving);
  // The service manager could not be asked (not the same as "not installed").
  bool ServiceUnknown() const;
  void WarnIfNotExecutable();
  std::string warned_run_file_;
  void SaveCommand();
  void SyncMonitoredAddress();
  void OnlineHelp();
  void ToolbarClick(const ToolbarButton& button);
  void OpenNetworkWindow();
  void mnuLoadSettings_Click();

  void cboShutdownType_Click();
  void AskHibernation();
  void UpdateHibernateWarning();
  void cboRunDelay_Click();
  void chkForce_Click();
  void chkOII_Click();
  void hsbOptBattVoltage_Change();
  void hsbOpsTimer_Change();
  void hsbOptSOC_Change();
  void ShowBattVoltage();
  void ShowTimer();
  void ShowSOC();
  void txtExecute_Change();
  void cmdBrowse_Click();

  // Service side.
  void ServiceStateChanged();
  // What start-up does once the service's state is known: loads the
  // settings when it is installed, or says that it is not.
  void LoadForService();
  void UpdateServiceButtons();

  // Live side.
  enum class Triggers { Reset, Keep };
  void ResetLiveDisplay(Triggers triggers);
  void UpdateStatusBar();
  void UpdateValidationColours();
  void ShowRelayFinder();
  void oTCP_Connect();
  void oTCP_DataArrival(const std::string& chunk);
  void oTCP_Close();

  ConfigContext ctx_;
  SettingsStore store_;
  PrivilegedWriter* privileged_writer_ = nullptr;
  HibernationCheck* hibernation_ = nullptr;
  FileChooser* chooser_ = nullptr;
  HibernateSupport hibernate_support_ = HibernateSupport::Unknown;
  bool asking_hibernation_ = false;
  SettingsRecord last_saved_;
  // The inverter address the file holds: written back while no inverter is
  // shown, so a save never stores "none".
  std::int32_t file_address_ = 0;
  // Settings came from the file in this run; a save before that would
  // overwrite the file with values it never held.
  bool settings_loaded_ = false;
  // The user emptied the run-file box since the last load: the next save
  // removes the run file from the settings file.
  bool run_file_cleared_ = false;
  bool filling_ = false;
  bool stopping_ = false;
  bool saving_ = false;
  // Start-up waits for the service manager's first answer.
  bool awaiting_service_state_ = false;
  int service_subscription_ = 0;
  // Answers that arrive after the window is gone are dropped.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);

  // Design captions of the value labels, the prefix of every value shown.
  std::string cap_inverter_address_, cap_ac_input_, cap_inverter_current_, cap_battery_voltage_,
      cap_soc_, cap_temp_;
  // Back colours of the validated boxes before any validation.
  std::optional<Colour> initial_execute_, initial_voltage_, initial_soc_;
};

}  // namespace ebbmark
