#pragma once
// The settings record both programs hold, and the settings file behind it
// (section "EbbmarkSvc" of Ebbmark.ini).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/settings_names.h"
#include "platform/file_system.h"

namespace ebbmark {

// The lowest value of each battery trigger means "n/a": that rule is off.
inline constexpr std::int32_t kSocTriggerOff = 59;
inline constexpr std::int32_t kVoltageTriggerOff = 9;

struct SettingsRecord {
  std::int32_t UDPBPort = 8466;
  std::string TCPHost;
  std::int32_t TCPPort = 8467;
  std::int32_t MonitoredAddress = 0;  // key "InverterAddress"
  std::uint8_t ShutdownType = 0;
  bool Force = true;
  std::string ExecuteFile;
  std::int16_t ExecuteDelay = 30;
  std::int32_t SDVoltage = 9;
  std::int32_t SDTimer = 0;
  std::int32_t SDSOC = 59;
  bool SOCOII = true;
  std::string SMTPHost;
  std::int32_t SMTPPort = 25;
  std::string SMTPFrom;
  std::string SMTPTo;
  std::int32_t EmailOptions = 0;
  std::int32_t EmailDelay = 0;
  // Optional keys; absent, mail goes out as it always did.
  std::int32_t SMTPSecurity = 0;  // a MailSecurity value, 0..2
  std::string SMTPUser;           // empty: no sign-in
  // Not keys of the file: the password lives in smtp.secret beside it.
  // Whether that file exists (the window shows only this) ...
  bool SMTPPasswordSet = false;
  // ... and a change typed in the email window that the next save writes
  // there: nothing when unchanged, an empty text to remove the password.
  std::optional<std::string> SMTPPasswordChange;
  // The NUT server; each key is written only when it differs from its
  // default, so a file without them stays as it was.
  std::string NUTListen;  // empty: this computer only; see NutListenAddresses
  std::int32_t NUTPort = 3493;
  std::string NUTName = "ebbmark";  // a NutDeviceName
  std::string NUTUser;              // empty: LOGIN refused
  std::int32_t NUTHostSync = 15;    // seconds the power action waits for secondaries
  // As for mail: whether nut.secret exists, and a change the next save writes.
  bool NUTPasswordSet = false;
  std::optional<std::string> NUTPasswordChange;
  // Stamp of the file at the last load that could read it; empty until then.
  std::optional<FileStamp> SettingsFileTime;
};

struct SaveOptions {
  // The user cleared the run file: delete the "ExecuteFile" and
  // "ExecuteDelay" keys instead of leaving them as they are.
  bool remove_run_file = false;
};

class SettingsStore {
 public:
  SettingsStore(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // Fills every field from the file (defaults and fallbacks for anything
  // missing or out of range) and records the file's stamp when it can be read.
  void LoadSettings(SettingsRecord& record) const;

  // As LoadSettings, for a program that must never lose the settings in
  // force to a bad file: when the file exists but cannot be read (too large,
  // not a regular file, no permission), `record` keeps every setting, only
  // its stamp moves on (so the same file is not looked at again until it
  // changes), and the reason is returned. A missing file gives the defaults.
  std::optional<std::string> LoadSettingsOrKeep(SettingsRecord& record) const;

  // Writes every key, keeping all other content of the file, and replaces the
  // file atomically. Returns the failure (folder missing, read-only ...); the
  // record is never changed. "SMTPSecurity", "SMTPUser" and the "NUT..." keys
  // are written only when they differ from their defaults (and removed
  // otherwise), so a file without them stays as it was. A user name holding
  // CR, LF or NUL, or a NUTName that is no NutDeviceName, is refused
  // (invalid_argument) and nothing is written.
  std::error_code SaveSettings(const SettingsRecord& record, SaveOptions options = {}) const;

  // The text SaveSettings would write, in `text`, without writing it; the
  // read failure when the file cannot be read.
  std::error_code SettingsText(const SettingsRecord& record, SaveOptions options,
                               std::string& text) const;

  // True when the file's stamp can be read and differs from the one recorded
  // at the last load.
  bool SettingsChanged(const SettingsRecord& record) const;

 private:
  // Fills `record` from the file's text, as it was when it had `stamp`.
  void Parse(const std::string& text, const std::optional<FileStamp>& stamp,
             SettingsRecord& record) const;

  FileSystem& fs_;
  std::string path_;
};

// Why `value` may not be saved as `setting`, naming the label the user sees
// and the range: "Port" in the email window must be between 1 and 65535
// (it is 70000). Empty when it may.
std::string RangeProblem(const SettingName& setting, std::int64_t value);

// The first number of `record` outside its setting's range, as
// RangeProblem says it (or a NUTName that may not be saved, named the same
// way); empty when every one may be saved. Saves refuse such a record and
// write nothing.
std::string OutOfRangeSetting(const SettingsRecord& record);

// The addresses the NUT server listens on for a NUTListen value: empty, the
// loopback addresses ("127.0.0.1", "::1"); "off" (any case), none; else the
// comma-separated items, without blanks, each once, empty items dropped
// (nothing left: the loopback addresses again). The items are
// not checked here: an item that is no address of this computer is the
// server's to report.
std::vector<std::string> NutListenAddresses(std::string_view setting);

// Whether `name` may be the NUT device name: 1 to 64 letters, digits, "-",
// "_" or ".", as clients put it in "name@host" and in commands without
// quoting. A load takes "ebbmark" for anything else, a save refuses it.
bool IsNutDeviceName(std::string_view name);

// The folder of Ebbmark.ini and the templates: EBBMARK_HOME when set; else the
// program's folder on Windows; on Linux the program's folder when it holds
// Ebbmark.ini, else /etc/ebbmark.
std::string SettingsFolder(FileSystem& fs, const std::string& program_folder);

// The rule behind SettingsFolder with its inputs given: `home` is the value of
// EBBMARK_HOME (empty when unset), `windows` whether this is a Windows build.
std::string ChooseSettingsFolder(FileSystem& fs, const std::string& program_folder,
                                 const std::string& home, bool windows);

}  // namespace ebbmark
