#include "common/settings.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/mail_sign_in.h"
#include "common/numeric_text.h"
#include "common/profile_file.h"

namespace ebbmark {
namespace {

// A value as the load uses it: without NULs, up to a lone CR (where a save
// would end it too, so the service acts on what the window saves), then
// without blanks at either end.
std::string CleanValue(std::string value) {
  value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
  value.erase(std::min(value.find('\r'), value.size()));
  const auto first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = value.find_last_not_of(" \t");
  return value.substr(first, last - first + 1);
}

// The table's keys as the profile functions take them (each a literal, so
// its text ends in a NUL).
const char* Key(const SettingName& setting) {
  return setting.key.data();
}

std::int32_t DefaultNumber(const SettingName& setting) {
  return TextToInt32(std::string(setting.default_value)).value_or(0);
}

// Every key the store reads and writes, checked against the table when this
// file compiles.
constexpr const SettingName& kUDPBPort = Setting("UDPBPort");
constexpr const SettingName& kTCPHost = Setting("TCPHost");
constexpr const SettingName& kTCPPort = Setting("TCPPort");
constexpr const SettingName& kInverterAddress = Setting("InverterAddress");
constexpr const SettingName& kShutdownType = Setting("ShutdownType");
constexpr const SettingName& kForce = Setting("Force");
constexpr const SettingName& kExecuteFile = Setting("ExecuteFile");
constexpr const SettingName& kExecuteDelay = Setting("ExecuteDelay");
constexpr const SettingName& kSDVoltage = Setting("SDVoltage");
constexpr const SettingName& kSDTimer = Setting("SDTimer");
constexpr const SettingName& kSDSOC = Setting("SDSOC");
constexpr const SettingName& kSOCOII = Setting("SOCOII");
constexpr const SettingName& kSMTPHost = Setting("SMTPHost");
constexpr const SettingName& kSMTPPort = Setting("SMTPPort");
constexpr const SettingName& kSMTPFrom = Setting("SMTPFrom");
constexpr const SettingName& kSMTPTo = Setting("SMTPTo");
constexpr const SettingName& kEmailOptions = Setting("EmailOptions");
constexpr const SettingName& kEmailDelay = Setting("EmailDelay");
constexpr const SettingName& kSMTPSecurity = Setting("SMTPSecurity");
constexpr const SettingName& kSMTPUser = Setting("SMTPUser");
constexpr const SettingName& kNUTListen = Setting("NUTListen");
constexpr const SettingName& kNUTPort = Setting("NUTPort");
constexpr const SettingName& kNUTName = Setting("NUTName");
constexpr const SettingName& kNUTUser = Setting("NUTUser");
constexpr const SettingName& kNUTHostSync = Setting("NUTHostSync");

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::string Text(const char* key, const char* default_value = "") const {
    return CleanValue(GetProfileString(text_, kSettingsSection, key, default_value));
  }

  bool Truth(const char* key, const char* default_value) const {
    return TextToTruth(Text(key, default_value));
  }

  // A 32-bit number; a value that does not fit 32 bits or fails `ok` takes the fallback.
  template <class Check>
  std::int32_t Int32(const char* key, const char* default_value, Check ok,
                     std::int32_t fallback) const {
    const auto v = TextToInt32(Text(key, default_value));
    return v && ok(*v) ? *v : fallback;
  }

  // A number of the table: anything outside its range takes its default,
  // and so does an absent or empty value (0 would be in range for some).
  std::int32_t Number(const SettingName& setting) const {
    if (Text(Key(setting)).empty()) return DefaultNumber(setting);
    return Int32(
        Key(setting), "", [&](std::int32_t v) { return InRange(setting, v); },
        DefaultNumber(setting));
  }

 private:
  std::string_view text_;
};

// The folder of a file path: everything before its last separator.
std::string FolderOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

}  // namespace

void SettingsStore::LoadSettings(SettingsRecord& record) const {
  // The stamp is taken before the content: a replacement in between then
  // shows up as a change at the next check instead of going unnoticed.
  const std::optional<FileStamp> stamp = fs_.Stamp(path_);
  ReadResult file = fs_.ReadFile(path_, kSettingsFileLimit);
  // A file that cannot be read is treated as missing: every key takes its default.
  Parse(file.status == ReadResult::Status::Ok ? file.data : std::string(), stamp, record);
}

std::optional<std::string> SettingsStore::LoadSettingsOrKeep(SettingsRecord& record) const {
  const std::optional<FileStamp> stamp = fs_.Stamp(path_);
  ReadResult file = fs_.ReadFile(path_, kSettingsFileLimit);
  if (file.status == ReadResult::Status::Error) {
    if (stamp) record.SettingsFileTime = stamp;
    return file.error ? file.error.message() : std::string("it could not be read");
  }
  Parse(file.status == ReadResult::Status::Ok ? file.data : std::string(), stamp, record);
  return std::nullopt;
}

void SettingsStore::Parse(const std::string& text, const std::optional<FileStamp>& stamp,
                          SettingsRecord& record) const {
  const Reader r(text);

  // The relay's ports keep any value but 0, as files of older versions
  // may hold; a save refuses what is outside their range.
  const auto nonzero = [&r](const SettingName& port) {
    return r.Int32(
        Key(port), port.default_value.data(), [](std::int32_t v) { return v != 0; },
        DefaultNumber(port));
  };
  record.UDPBPort = nonzero(kUDPBPort);
  record.TCPHost = r.Text(Key(kTCPHost));
  record.TCPPort = nonzero(kTCPPort);
  record.MonitoredAddress = r.Number(kInverterAddress);
  {
    const auto v = TextToUInt8(r.Text(Key(kShutdownType), "0"));
    record.ShutdownType = v && InRange(kShutdownType, *v) ? *v : 0;
  }
  record.Force = r.Truth(Key(kForce), "1");
  record.ExecuteFile = r.Text(Key(kExecuteFile));
  {
    const auto v = TextToInt16(r.Text(Key(kExecuteDelay), "30"));
    record.ExecuteDelay = v && InRange(kExecuteDelay, *v)
                              ? *v
                              : static_cast<std::int16_t>(DefaultNumber(kExecuteDelay));
  }
  record.SDVoltage = r.Number(kSDVoltage);
  record.SDTimer = r.Number(kSDTimer);
  record.SDSOC = r.Number(kSDSOC);
  record.SOCOII = r.Truth(Key(kSOCOII), "1");
  record.SMTPHost = r.Text(Key(kSMTPHost));
  record.SMTPPort = r.Number(kSMTPPort);
  record.SMTPFrom = r.Text(Key(kSMTPFrom));
  record.SMTPTo = r.Text(Key(kSMTPTo));
  record.EmailOptions = r.Number(kEmailOptions);
  record.EmailDelay = r.Number(kEmailDelay);
  record.SMTPSecurity = r.Number(kSMTPSecurity);
  record.SMTPUser = r.Text(Key(kSMTPUser));
  // The record only learns whether a password is saved, never what it is.
  record.SMTPPasswordSet = fs_.Stamp(JoinPath(FolderOf(path_), kSecretFileName)).has_value();
  record.NUTListen = r.Text(Key(kNUTListen));
  record.NUTPort = r.Number(kNUTPort);
  record.NUTName = r.Text(Key(kNUTName));
  if (!IsNutDeviceName(record.NUTName)) record.NUTName = std::string(kNUTName.default_value);
  record.NUTUser = r.Text(Key(kNUTUser));
  // A name the server could not compare with a client's one-line command
  // is no name: LOGIN stays refused, as with no user at all.
  if (CheckUserName(record.NUTUser) != SignInProblem::None) record.NUTUser.clear();
  record.NUTHostSync = r.Number(kNUTHostSync);
  record.NUTPasswordSet = fs_.Stamp(JoinPath(FolderOf(path_), kNutSecretFileName)).has_value();

  // A run file that no longer exists (or is hidden, or is a folder) is
  // dropped, so the service never announces or tries to start it.
  if (!record.ExecuteFile.empty() &&
      (!fs_.PatternMatches(record.ExecuteFile) || fs_.IsFolder(record.ExecuteFile))) {
    record.ExecuteFile.clear();
  }

  if (stamp) record.SettingsFileTime = stamp;
}

std::error_code SettingsStore::SaveSettings(const SettingsRecord& record,
                                            SaveOptions options) const {
  std::string text;
  if (const auto error = SettingsText(record, options, text)) return error;
  return fs_.ReplaceFile(path_, text);
}

std::error_code SettingsStore::SettingsText(const SettingsRecord& record, SaveOptions options,
                                            std::string& text) const {
  if (CheckUserName(record.SMTPUser) != SignInProblem::None ||
      CheckUserName(record.NUTUser) != SignInProblem::None || !IsNutDeviceName(record.NUTName)) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  ReadResult file = fs_.ReadFile(path_, kSettingsFileLimit);
  if (file.status == ReadResult::Status::Error) {
    // Writing now would throw away whatever the file holds besides our keys.
    return file.error ? file.error : std::make_error_code(std::errc::io_error);
  }
  text = file.status == ReadResult::Status::Ok ? std::move(file.data) : "";

  const auto put = [&text](const SettingName& key, const std::string& value) {
    text = WriteProfileString(text, kSettingsSection, Key(key), value);
  };
  const auto truth = [](bool v) { return std::string(v ? "1" : "0"); };

  put(kUDPBPort, std::to_string(record.UDPBPort));
  put(kTCPHost, record.TCPHost);
  put(kTCPPort, std::to_string(record.TCPPort));
  put(kInverterAddress, std::to_string(record.MonitoredAddress));
  put(kShutdownType, std::to_string(static_cast<unsigned>(record.ShutdownType)));
  put(kForce, truth(record.Force));
  if (!record.ExecuteFile.empty()) {
    put(kExecuteFile, record.ExecuteFile);
    put(kExecuteDelay, std::to_string(static_cast<int>(record.ExecuteDelay)));
  } else if (options.remove_run_file) {
    text = DeleteProfileKey(text, kSettingsSection, Key(kExecuteFile));
    text = DeleteProfileKey(text, kSettingsSection, Key(kExecuteDelay));
  }
  put(kSDVoltage, std::to_string(record.SDVoltage));
  put(kSDTimer, std::to_string(record.SDTimer));
  put(kSDSOC, std::to_string(record.SDSOC));
  put(kSOCOII, truth(record.SOCOII));
  put(kSMTPHost, record.SMTPHost);
  put(kSMTPPort, std::to_string(record.SMTPPort));
  put(kSMTPFrom, record.SMTPFrom);
  put(kSMTPTo, record.SMTPTo);
  put(kEmailOptions, std::to_string(record.EmailOptions));
  put(kEmailDelay, std::to_string(record.EmailDelay));
  const auto optional = [&](const SettingName& key, const std::string& value, bool is_default) {
    if (!is_default) {
      put(key, value);
    } else {
      text = DeleteProfileKey(text, kSettingsSection, Key(key));
    }
  };
  optional(kSMTPSecurity, std::to_string(record.SMTPSecurity), record.SMTPSecurity == 0);
  optional(kSMTPUser, record.SMTPUser, record.SMTPUser.empty());
  optional(kNUTListen, record.NUTListen, record.NUTListen.empty());
  optional(kNUTPort, std::to_string(record.NUTPort), record.NUTPort == DefaultNumber(kNUTPort));
  optional(kNUTName, record.NUTName, record.NUTName == kNUTName.default_value);
  optional(kNUTUser, record.NUTUser, record.NUTUser.empty());
  optional(kNUTHostSync, std::to_string(record.NUTHostSync),
           record.NUTHostSync == DefaultNumber(kNUTHostSync));
  return {};
}

std::string RangeProblem(const SettingName& setting, std::int64_t value) {
  if (InRange(setting, value)) return {};
  std::string where;
  switch (setting.place) {
    case SettingPlace::Main:
      break;
    case SettingPlace::Email:
      where = " in the email window";
      break;
    case SettingPlace::Finder:
      where = " of the relay";
      break;
    case SettingPlace::Network:
      where = " in the network window";
      break;
  }
  return "\"" + std::string(setting.label) + "\"" + where + " must be between " +
         std::to_string(setting.min) + " and " + std::to_string(setting.max) + " (it is " +
         std::to_string(value) + ")";
}

std::string OutOfRangeSetting(const SettingsRecord& r) {
  const std::pair<const SettingName&, std::int64_t> numbers[] = {
      {kUDPBPort, r.UDPBPort},
      {kTCPPort, r.TCPPort},
      {kInverterAddress, r.MonitoredAddress},
      {kShutdownType, r.ShutdownType},
      {kExecuteDelay, r.ExecuteDelay},
      {kSDVoltage, r.SDVoltage},
      {kSDTimer, r.SDTimer},
      {kSDSOC, r.SDSOC},
      {kSMTPPort, r.SMTPPort},
      {kEmailOptions, r.EmailOptions},
      {kEmailDelay, r.EmailDelay},
      {kSMTPSecurity, r.SMTPSecurity},
      {kNUTPort, r.NUTPort},
      {kNUTHostSync, r.NUTHostSync},
  };
  for (const auto& [setting, value] : numbers) {
    // The run file's wait is written only with a run file.
    if (&setting == &kExecuteDelay && r.ExecuteFile.empty()) continue;
    if (auto problem = RangeProblem(setting, value); !problem.empty()) return problem;
  }
  if (!IsNutDeviceName(r.NUTName)) {
    return "\"" + std::string(kNUTName.label) +
           "\" in the network window may hold only letters, digits, \"-\", \"_\" and \".\", "
           "up to 64 of them";
  }
  return {};
}

std::vector<std::string> NutListenAddresses(std::string_view setting) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const auto trim = [&](std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
  };
  setting = trim(setting);
  if (setting.empty()) return {"127.0.0.1", "::1"};
  std::string lower(setting);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (lower == "off") return {};
  std::vector<std::string> out;
  while (!setting.empty()) {
    const auto comma = setting.find(',');
    const std::string_view item = trim(setting.substr(0, comma));
    if (!item.empty() && std::find(out.begin(), out.end(), item) == out.end())
      out.emplace_back(item);
    setting.remove_prefix(comma == std::string_view::npos ? setting.size() : comma + 1);
  }
  // Nothing but commas falls back to the default, as any unreadable value does.
  if (out.empty()) return {"127.0.0.1", "::1"};
  return out;
}

bool IsNutDeviceName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

bool SettingsStore::SettingsChanged(const SettingsRecord& record) const {
  const std::optional<FileStamp> stamp = fs_.Stamp(path_);
  return stamp && stamp != record.SettingsFileTime;
}

}  // namespace ebbmark
