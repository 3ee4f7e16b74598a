#include "common/settings.h"

#include <algorithm>
#include <string_view>

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

 private:
  std::string_view text_;
};

// The folder of a file path: everything before its last separator.
std::string FolderOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

bool Between(std::int64_t v, std::int64_t lo, std::int64_t hi) {
  return v >= lo && v <= hi;
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

  record.UDPBPort = r.Int32(
      "UDPBPort", "8466", [](std::int32_t v) { return v != 0; }, 8466);
  record.TCPHost = r.Text("TCPHost");
  record.TCPPort = r.Int32(
      "TCPPort", "8467", [](std::int32_t v) { return v != 0; }, 8467);
  record.MonitoredAddress = r.Int32(
      "InverterAddress", "", [](std::int32_t v) { return Between(v, 0, 9); }, 0);
  {
    const auto v = TextToUInt8(r.Text("ShutdownType", "0"));
    record.ShutdownType = v && *v <= 2 ? *v : 0;
  }
  record.Force = r.Truth("Force", "1");
  record.ExecuteFile = r.Text("ExecuteFile");
  {
    const auto v = TextToInt16(r.Text("ExecuteDelay", "30"));
    record.ExecuteDelay = v && Between(*v, -1, 1800) ? *v : 30;
  }
  record.SDVoltage = r.Int32(
      "SDVoltage", "0", [](std::int32_t v) { return Between(v, 9, 48); }, 9);
  record.SDTimer = r.Int32(
      "SDTimer", "0", [](std::int32_t v) { return Between(v, 0, 1440); }, 0);
  record.SDSOC = r.Int32(
      "SDSOC", "0", [](std::int32_t v) { return Between(v, 59, 99); }, 59);
  record.SOCOII = r.Truth("SOCOII", "1");
  record.SMTPHost = r.Text("SMTPHost");
  record.SMTPPort = r.Int32(
      "SMTPPort", "25", [](std::int32_t v) { return Between(v, 1, 65535); }, 25);
  record.SMTPFrom = r.Text("SMTPFrom");
  record.SMTPTo = r.Text("SMTPTo");
  record.EmailOptions = r.Int32(
      "EmailOptions", "0", [](std::int32_t v) { return Between(v, 0, 3); }, 0);
  record.EmailDelay = r.Int32(
      "EmailDelay", "0", [](std::int32_t v) { return Between(v, 0, 60); }, 0);
  record.SMTPSecurity = r.Int32(
      "SMTPSecurity", "0", [](std::int32_t v) { return Between(v, 0, 2); }, 0);
  record.SMTPUser = r.Text("SMTPUser");
  // The record only learns whether a password is saved, never what it is.
  record.SMTPPasswordSet = fs_.Stamp(JoinPath(FolderOf(path_), kSecretFileName)).has_value();

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
  if (CheckUserName(record.SMTPUser) != SignInProblem::None) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  ReadResult file = fs_.ReadFile(path_, kSettingsFileLimit);
  if (file.status == ReadResult::Status::Error) {
    // Writing now would throw away whatever the file holds besides our keys.
    return file.error ? file.error : std::make_error_code(std::errc::io_error);
  }
  text = file.status == ReadResult::Status::Ok ? std::move(file.data) : "";

  const auto put = [&text](const char* key, const std::string& value) {
    text = WriteProfileString(text, kSettingsSection, key, value);
  };
  const auto truth = [](bool v) { return std::string(v ? "1" : "0"); };

  put("UDPBPort", std::to_string(record.UDPBPort));
  put("TCPHost", record.TCPHost);
  put("TCPPort", std::to_string(record.TCPPort));
  put("InverterAddress", std::to_string(record.MonitoredAddress));
  put("ShutdownType", std::to_string(static_cast<unsigned>(record.ShutdownType)));
  put("Force", truth(record.Force));
  if (!record.ExecuteFile.empty()) {
    put("ExecuteFile", record.ExecuteFile);
    put("ExecuteDelay", std::to_string(static_cast<int>(record.ExecuteDelay)));
  } else if (options.remove_run_file) {
    text = DeleteProfileKey(text, kSettingsSection, "ExecuteFile");
    text = DeleteProfileKey(text, kSettingsSection, "ExecuteDelay");
  }
  put("SDVoltage", std::to_string(record.SDVoltage));
  put("SDTimer", std::to_string(record.SDTimer));
  put("SDSOC", std::to_string(record.SDSOC));
  put("SOCOII", truth(record.SOCOII));
  put("SMTPHost", record.SMTPHost);
  put("SMTPPort", std::to_string(record.SMTPPort));
  put("SMTPFrom", record.SMTPFrom);
  put("SMTPTo", record.SMTPTo);
  put("EmailOptions", std::to_string(record.EmailOptions));
  put("EmailDelay", std::to_string(record.EmailDelay));
  const auto optional = [&](const char* key, const std::string& value, bool is_default) {
    if (!is_default) {
      put(key, value);
    } else {
      text = DeleteProfileKey(text, kSettingsSection, key);
    }
  };
  optional("SMTPSecurity", std::to_string(record.SMTPSecurity), record.SMTPSecurity == 0);
  optional("SMTPUser", record.SMTPUser, record.SMTPUser.empty());
  return {};
}

bool SettingsStore::SettingsChanged(const SettingsRecord& record) const {
  const std::optional<FileStamp> stamp = fs_.Stamp(path_);
  return stamp && stamp != record.SettingsFileTime;
}

}  // namespace ebbmark
