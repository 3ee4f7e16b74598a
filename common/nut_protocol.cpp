#include "common/nut_protocol.h"

#include <algorithm>
#include <array>

#include "common/monitor_rules.h"

namespace ebbmark::nut {
namespace {

// The variables this system serves, with the type GET TYPE gives and the
// description GET DESC gives. Sorted by name.
struct VariableInfo {
  std::string_view name;
  std::string_view type;
  std::string_view description;
};

constexpr std::array<VariableInfo, 14> kVariables{{
    {"battery.charge", "NUMBER", "Battery state of charge (percent)"},
    {"battery.charge.low", "NUMBER", "State of charge below which the battery is low (percent)"},
    {"battery.temperature", "NUMBER", "Battery temperature (degrees C)"},
    {"battery.voltage", "NUMBER", "Battery voltage (V)"},
    {"battery.voltage.low", "NUMBER",
     "Battery voltage below which the battery is low while inverting (V)"},
    {"device.mfr", "STRING:64", "Device manufacturer"},
    {"device.model", "STRING:64", "Device model"},
    {"device.type", "STRING:16", "Device type"},
    {"driver.name", "STRING:64", "Driver name"},
    {"driver.version", "STRING:64", "Driver version"},
    {"input.voltage", "NUMBER", "AC input voltage (V)"},
    {"output.current", "NUMBER", "Inverter output current (A)"},
    {"ups.mfr", "STRING:64", "UPS manufacturer"},
    {"ups.status", "STRING:32", "UPS status"},
}};

const VariableInfo* FindVariable(std::string_view name) {
  for (const auto& v : kVariables) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

const std::string* FindValue(const Snapshot& snapshot, std::string_view name) {
  for (const auto& [n, value] : snapshot.vars) {
    if (n == name) return &value;
  }
  return nullptr;
}

std::string Upper(std::string_view word) {
  std::string out(word);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string Err(std::string_view word) {
  return "ERR " + std::string(word) + "\n";
}

// Equal texts in a time that depends only on the length of `given`, never on
// where the first difference lies or on the secret's length: a network peer
// must not learn the secret a character at a time from answer times.
bool ConstantTimeEqual(std::string_view given, std::string_view secret) {
  if (secret.empty()) return false;
  unsigned diff = given.size() == secret.size() ? 0u : 1u;
  for (std::size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i]) ^
            static_cast<unsigned char>(secret[i % secret.size()]);
  }
  return diff == 0;
}

std::string Tenths(std::int64_t tenths) {
  if (tenths < 0) return "-" + Tenths(-tenths);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string Description(const ServerConfig& config) {
  return config.description.empty() ? std::string("Unavailable") : config.description;
}

constexpr std::string_view kHelp =
    "Commands: HELP VER NETVER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD PRIMARY MASTER "
    "FSD STARTTLS\n";

}  // namespace

Session::Session(std::string peer_address) : peer_address_(std::move(peer_address)) {}

bool Session::logged_in() const {
  return logged_in_;
}

const std::string& Session::peer_address() const {
  return peer_address_;
}

int Session::failed_tries() const {
  return failed_tries_;
}

Session::Reply Session::Handle(std::string_view line, const Snapshot& snapshot,
                               const ServerConfig& config, std::span<const std::string> logged_in) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto parsed = SplitWords(line);
  if (!parsed) return {Err("INVALID-ARGUMENT")};
  const std::vector<std::string>& w = *parsed;
  if (w.empty()) return {};
  const std::string verb = Upper(w[0]);
  const std::string& device = config.device_name;
  // Whether argument `i` names this system's one device.
  auto is_device = [&](std::size_t i) { return w[i] == device; };

  if (verb == "VER") return {std::string("Ebbmark ") + EBBMARK_VERSION + " NUT server\n"};
  if (verb == "NETVER") return {"1.3\n"};
  if (verb == "HELP") return {std::string(kHelp)};
  if (verb == "STARTTLS") return {Err("FEATURE-NOT-CONFIGURED")};
  if (verb == "LOGOUT") {
    Reply r{"OK Goodbye\n"};
    r.close = true;
    r.login_changed = logged_in_;
    logged_in_ = false;
    return r;
  }

  if (verb == "GET") {
    const std::string sub = w.size() > 1 ? Upper(w[1]) : std::string();
    if (sub == "TRACKING" && w.size() == 2) return {"OFF\n"};
    if ((sub == "NUMLOGINS" || sub == "UPSDESC") && w.size() == 3) {
      if (!is_device(2)) return {Err("UNKNOWN-UPS")};
      if (sub == "NUMLOGINS") {
        return {"NUMLOGINS " + device + " " + std::to_string(logged_in.size()) + "\n"};
      }
      return {"UPSDESC " + device + " " + QuoteValue(Description(config)) + "\n"};
    }
    if ((sub == "VAR" || sub == "TYPE" || sub == "DESC" || sub == "CMDDESC") && w.size() == 4) {
      if (!is_device(2)) return {Err("UNKNOWN-UPS")};
      const std::string& name = w[3];
      if (sub == "CMDDESC") return {Err("CMD-NOT-SUPPORTED")};
      if (sub == "VAR" && snapshot.stale) return {Err("DATA-STALE")};
      // Only names the device has are ever written back: a name a client
      // made up could hold blanks or quotes and break the answer's form.
      const std::string* value = FindValue(snapshot, name);
      if (!value) return {Err("VAR-NOT-SUPPORTED")};
      if (sub == "DESC") {
        return {"DESC " + device + " " + name + " " + QuoteValue(DescribeVariable(name)) + "\n"};
      }
      if (sub == "VAR") return {"VAR " + device + " " + name + " " + QuoteValue(*value) + "\n"};
      const VariableInfo* info = FindVariable(name);
      return {"TYPE " + device + " " + name + " " +
              std::string(info ? info->type : std::string_view("NUMBER")) + "\n"};
    }
    return {Err("INVALID-ARGUMENT")};
  }

  if (verb == "LIST") {
    const std::string sub = w.size() > 1 ? Upper(w[1]) : std::string();
    if (sub == "UPS" && w.size() == 2) {
      return {"BEGIN LIST UPS\nUPS " + device + " " + QuoteValue(Description(config)) +
              "\nEND LIST UPS\n"};
    }
    if ((sub == "VAR" || sub == "RW" || sub == "CMD" || sub == "CLIENT") && w.size() == 3) {
      if (!is_device(2)) return {Err("UNKNOWN-UPS")};
      const std::string head = sub + " " + device;
      std::string text = "BEGIN LIST " + head + "\n";
      if (sub == "VAR") {
        if (snapshot.stale) return {Err("DATA-STALE")};
        for (const auto& [name, value] : snapshot.vars) {
          text += "VAR " + device + " " + name + " " + QuoteValue(value) + "\n";
        }
      } else if (sub == "CLIENT") {
        for (const std::string& address : logged_in)
          text += "CLIENT " + device + " " + address + "\n";
      }
      return {text + "END LIST " + head + "\n"};
    }
    if ((sub == "ENUM" || sub == "RANGE") && w.size() == 4) {
      if (!is_device(2)) return {Err("UNKNOWN-UPS")};
      if (!FindValue(snapshot, w[3])) return {Err("VAR-NOT-SUPPORTED")};
      const std::string head = sub + " " + device + " " + w[3];
      return {"BEGIN LIST " + head + "\nEND LIST " + head + "\n"};
    }
    return {Err("INVALID-ARGUMENT")};
  }

  if (verb == "USERNAME") {
    if (w.size() != 2) return {Err("INVALID-ARGUMENT")};
    if (username_) return {Err("ALREADY-SET-USERNAME")};
    if (w[1].empty()) return {Err("INVALID-USERNAME")};
    username_ = w[1];
    return {"OK\n"};
  }

  if (verb == "PASSWORD" || verb == "LOGIN") {
    std::string_view error;
    if (w.size() != 2) {
      error = "INVALID-ARGUMENT";
    } else if (verb == "PASSWORD") {
      if (password_) {
        error = "ALREADY-SET-PASSWORD";
      } else if (w[1].empty()) {
        error = "INVALID-PASSWORD";
      } else {
        password_ = w[1];
        return {"OK\n"};
      }
    } else if (logged_in_) {
      // Not a failed sign-in: this connection has already signed in.
      return {Err("ALREADY-LOGGED-IN")};
    } else if (!username_) {
      error = "USERNAME-REQUIRED";
    } else if (!password_) {
      error = "PASSWORD-REQUIRED";
    } else if (!is_device(1)) {
      error = "UNKNOWN-UPS";
    } else {
      // Both compared in full, whatever the first one gives, so the answer
      // time does not tell a wrong name from a wrong password.
      const bool user_ok = ConstantTimeEqual(*username_, config.user);
      const bool password_ok = ConstantTimeEqual(*password_, config.password);
      if (user_ok && password_ok) {
        logged_in_ = true;
        Reply r{"OK\n"};
        r.login_changed = true;
        return r;
      }
      error = "ACCESS-DENIED";
    }
    ++failed_tries_;
    Reply r{Err(error)};
    r.auth_failure = true;
    r.close = failed_tries_ >= kMaxFailedTries;
    return r;
  }

  // Ebbmark itself is the primary: no client may claim that role, raise the
  // forced shutdown, change a value or run a command.
  if (verb == "PRIMARY" || verb == "MASTER" || verb == "FSD") {
    if (w.size() != 2) return {Err("INVALID-ARGUMENT")};
    return {Err("ACCESS-DENIED")};
  }
  if (verb == "SET") {
    const std::string sub = w.size() > 1 ? Upper(w[1]) : std::string();
    if (sub == "VAR" && w.size() == 5) {
      if (!is_device(2)) return {Err("UNKNOWN-UPS")};
      if (!FindValue(snapshot, w[3])) return {Err("VAR-NOT-SUPPORTED")};
      return {Err("READONLY")};
    }
    if (sub == "TRACKING" && w.size() == 3) {
      const std::string value = Upper(w[2]);
      if (value != "ON" && value != "OFF") return {Err("INVALID-ARGUMENT")};
      return {Err("FEATURE-NOT-SUPPORTED")};
    }
    return {Err("INVALID-ARGUMENT")};
  }
  if (verb == "INSTCMD") {
    if (w.size() != 3 && w.size() != 4) return {Err("INVALID-ARGUMENT")};
    if (!is_device(1)) return {Err("UNKNOWN-UPS")};
    return {Err("CMD-NOT-SUPPORTED")};
  }
  return {Err("UNKNOWN-COMMAND")};
}

std::optional<std::vector<std::string>> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\') {
        // The next character stands for itself, whatever it is.
        if (++i == line.size()) return std::nullopt;
        word += line[i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      // A quote may also open inside a word: ab"c d" is the one word "abc d".
      if (c == '"') {
        quoted = true;
      } else {
        word += c;
      }
      in_word = true;
    }
  }
  if (quoted) return std::nullopt;
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string QuoteValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '"';
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

Snapshot BuildSnapshot(const SnapshotInputs& in) {
  const StatusTable& t = in.table;
  std::vector<std::pair<std::string, std::string>> vars;
  auto add = [&vars](std::string_view name, std::string value) {
    vars.emplace_back(std::string(name), std::move(value));
  };

  // A value the relay has not given is left out rather than shown as 0: a
  // client would take a 0 % charge for a flat battery.
  if (t.FndcLastSeen) {
    add("battery.charge", std::to_string(t.BatterySoc));
    add("battery.temperature", std::to_string(t.BatteryTemp));
  }
  const std::int32_t a = t.MonitoredAddress;
  if (a >= 0 && a < kStatusSlots && t.InverterLastSeen[static_cast<std::size_t>(a)]) {
    const auto i = static_cast<std::size_t>(a);
    add("battery.voltage", Tenths(t.BatteryVoltageTenths[i]));
    add("input.voltage", std::to_string(t.AcInput[i]));
    add("output.current", std::to_string(t.InverterCurrent[i]));
  }
  // The lowest position of each level is "n/a": that rule is off, so there
  // is no low level to show.
  if (in.sd_soc > kSocTriggerOff) add("battery.charge.low", std::to_string(in.sd_soc));
  if (in.sd_voltage > kVoltageTriggerOff) {
    add("battery.voltage.low", std::to_string(in.sd_voltage));
  }
  add("device.mfr", "Ebbmark");
  add("device.model", "Inverter with battery monitor");
  add("device.type", "ups");
  add("driver.name", "ebbmark");
  add("driver.version", EBBMARK_VERSION);
  add("ups.mfr", "Ebbmark");

  // The status words follow the trigger test's battery rules, so a client
  // that waits for OB LB acts on the levels this computer acts on.
  const bool inverting = MonitoredCurrent(t) > 0;
  // With SOCOII set the trigger test looks at no rule on mains, so a low
  // charge on mains is not LB either: LB means this computer would act.
  const bool soc_low = (inverting || !in.soc_only_if_inverting) && in.sd_soc > kSocTriggerOff &&
                       SocIsFresh(t, in.now) && t.BatterySoc < in.sd_soc;
  const bool voltage_low =
      inverting && in.sd_voltage > kVoltageTriggerOff && MonitoredVoltage(t) < in.sd_voltage;
  std::string status = inverting ? "OB" : "OL";
  if (soc_low || voltage_low) status += " LB";
  if (in.trigger_begun) status += " FSD";
  add("ups.status", std::move(status));

  std::sort(vars.begin(), vars.end());
  return {in.link_error, std::move(vars)};
}

bool LinkInError(const StatusStream& stream, const Stamp& now) {
  // The link stamps LastDataStamp when it first connects, so that stamp alone
  // cannot tell a relay that has never sent a record: the table can.
  const StatusTable& t = stream.Table;
  const bool heard =
      t.FndcLastSeen || std::any_of(t.InverterLastSeen.begin(), t.InverterLastSeen.end(),
                                    [](const OptTime& seen) { return seen.has_value(); });
  if (!heard || !stream.LastDataStamp) return true;
  return AgeSeconds(*stream.LastDataStamp, now) >= 30;
}

std::string_view DescribeVariable(std::string_view name) {
  const VariableInfo* info = FindVariable(name);
  return info ? info->description : std::string_view("Description unavailable");
}

}  // namespace ebbmark::nut
