#pragma once
// The NUT network protocol (version 1.3) as this system serves it: one
// connection's command table and the device snapshot it answers from. Pure
// code: no sockets and no clock, so the transport feeds it lines and sends
// back what it returns, and tests and the fuzzer drive it as text.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "common/settings.h"
#include "common/status_stream.h"

namespace ebbmark::nut {

// What the server shows; rebuilt each tick, sent on when changed.
struct Snapshot {
  // The relay link is in its error state: GET VAR and LIST VAR answer ERR DATA-STALE.
  bool stale = true;
  // NUT name -> value, sorted by name, ups.status included.
  std::vector<std::pair<std::string, std::string>> vars;
  bool operator==(const Snapshot&) const = default;
};

// From the settings.
struct ServerConfig {
  std::string device_name = "ebbmark";  // NUTName
  std::string description;              // LIST UPS / GET UPSDESC text
  std::string user;                     // NUTUser; empty: LOGIN refused
  std::string password;                 // nut.secret; empty: LOGIN refused
};

// One connection's state.
class Session {
 public:
  // Failed PASSWORD/LOGIN tries after which the connection is closed.
  static constexpr int kMaxFailedTries = 5;

  explicit Session(std::string peer_address);

  struct Reply {
    std::string text;            // the whole answer, every line ending in "\n" (may be empty)
    bool close = false;          // LOGOUT, or 5th failed sign-in: close after sending text
    bool auth_failure = false;   // this line was a failed PASSWORD/LOGIN (for the record)
    bool login_changed = false;  // logged_in() changed with this line
  };

  // One line without its LF (a trailing CR is dropped). `logged_in` = peer
  // addresses of the sessions logged in now (LIST CLIENT, GET NUMLOGINS).
  Reply Handle(std::string_view line, const Snapshot& snapshot, const ServerConfig& config,
               std::span<const std::string> logged_in);

  bool logged_in() const;
  const std::string& peer_address() const;
  int failed_tries() const;

 private:
  std::string peer_address_;
  std::optional<std::string> username_;
  std::optional<std::string> password_;
  bool logged_in_ = false;
  int failed_tries_ = 0;
};

// Words of a command line: blanks separate, double quotes group, and inside
// quotes \" and \\ escape. Empty when the line cannot be read (unterminated
// quote ...).
std::optional<std::vector<std::string>> SplitWords(std::string_view line);

// "..." with \" and \\ escaped.
std::string QuoteValue(std::string_view value);

// The service's state on one tick, as the snapshot needs it.
struct SnapshotInputs {
  StatusTable table;  // the relay stream's table
  Stamp now;          // the tick's moment: judges the battery monitor's freshness
  // The relay link is in its error state: no known line for 30 seconds, or
  // never connected (LinkInError).
  bool link_error = true;
  // A trigger sequence has begun since the service started (latched by the service).
  bool trigger_begun = false;
  std::int32_t sd_soc = kSocTriggerOff;          // SDSOC; kSocTriggerOff is "n/a"
  std::int32_t sd_voltage = kVoltageTriggerOff;  // SDVoltage; kVoltageTriggerOff is "n/a"
  bool soc_only_if_inverting = true;             // SOCOII
};

Snapshot BuildSnapshot(const SnapshotInputs& in);

// The relay link's error state, as the server shows it: no record accepted
// since the service started, or no line of a known kind for 30 seconds.
bool LinkInError(const StatusStream& stream, const Stamp& now);

// The description GET DESC gives for a variable this system serves;
// "Description unavailable" for any other name.
std::string_view DescribeVariable(std::string_view name);

}  // namespace ebbmark::nut
