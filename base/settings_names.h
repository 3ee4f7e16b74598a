#pragma once
// The one table of settings names. The settings store reads and writes
// these keys, the privileged settings writer accepts exactly these, and the
// window checks values against their ranges and names them by the labels
// the user sees. A new setting is one line here (and one field of the
// record); a new secret file is one line of kSecretFiles.

#include <cstdint>
#include <string_view>

#include "base/mail_sign_in.h"

namespace ebbmark {

// Where the settings live: the file's name in the settings folder, and its
// one section.
inline constexpr const char* kSettingsFileName = "Ebbmark.ini";
inline constexpr const char* kSettingsSection = "EbbmarkSvc";

enum class SettingKind { Text, Number, Truth };

// The window whose box or choice holds a setting.
enum class SettingPlace { Main, Email, Finder, Network };

struct SettingName {
  std::string_view key;
  SettingKind kind;
  // What the window calls it, for messages about its value, and where.
  std::string_view label;
  SettingPlace place;
  // Numbers: the values a save may write (a load takes the default for
  // anything else).
  std::int64_t min = 0;
  std::int64_t max = 0;
  std::string_view default_value = {};
};

namespace settings_table {
using enum SettingKind;
using enum SettingPlace;

inline constexpr SettingName kSettingNames[] = {
    {"UDPBPort", Number, "Discovery Port", Finder, 1, 65535, "8466"},
    {"TCPHost", Text, "Network Host", Main},
    {"TCPPort", Number, "Relay Port", Finder, 1, 65535, "8467"},
    {"InverterAddress", Number, "Inverter Address", Main, 0, 9, "0"},
    {"ShutdownType", Number, "Action Type", Main, 0, 2, "0"},
    {"Force", Truth, "Force", Main, 0, 1, "1"},
    {"ExecuteFile", Text, "Run file", Main},
    {"ExecuteDelay", Number, "Wait", Main, -1, 1800, "30"},
    {"SDVoltage", Number, "Battery Voltage", Main, 9, 48, "9"},
    {"SDTimer", Number, "Timer", Main, 0, 1440, "0"},
    {"SDSOC", Number, "Battery SOC", Main, 59, 99, "59"},
    {"SOCOII", Truth, "O.I.I.", Main, 0, 1, "1"},
    {"SMTPHost", Text, "SMTP Server", Email},
    {"SMTPPort", Number, "Port", Email, 1, 65535, "25"},
    {"SMTPFrom", Text, "From Address", Email},
    {"SMTPTo", Text, "To Address", Email},
    {"EmailOptions", Number, "Email events", Email, 0, 3, "0"},
    {"EmailDelay", Number, "Email delay", Email, 0, 60, "0"},
    {"SMTPSecurity", Number, "Security", Email, 0, 2, "0"},
    {"SMTPUser", Text, "User Name", Email},
    // The NUT server. NUTListen absent or empty: this computer only
    // ("127.0.0.1,::1"); "0.0.0.0" or "::" every interface; "off" no server.
    {"NUTListen", Text, "Listen on", Network},
    {"NUTPort", Number, "NUT Port", Network, 1, 65535, "3493"},
    {"NUTName", Text, "Device Name", Network, 0, 0, "ebbmark"},
    {"NUTUser", Text, "NUT User Name", Network},
    {"NUTHostSync", Number, "Host sync", Network, 0, 600, "15"},
};
}  // namespace settings_table
using settings_table::kSettingNames;

constexpr bool InRange(const SettingName& setting, std::int64_t value) {
  return value >= setting.min && value <= setting.max;
}

// The entry of `key` (compared exactly). Used in a constant expression, a
// key missing from the table does not compile.
constexpr const SettingName& Setting(std::string_view key) {
  for (const SettingName& s : kSettingNames)
    if (s.key == key) return s;
  throw "not a settings key";  // never reached for a key of the table
}

// Files of the settings folder that hold one secret each, readable only by
// the service's account and administrators. `kind` is the privileged
// writer's word for it.
struct SecretName {
  std::string_view kind;
  std::string_view file_name;
};

// The password secondaries sign in to the NUT server with.
inline constexpr const char* kNutSecretFileName = "nut.secret";

inline constexpr SecretName kSecretFiles[] = {
    {"secret", kSecretFileName},         // the mail password
    {"nut-secret", kNutSecretFileName},  // the NUT server's password
};

}  // namespace ebbmark
