#pragma once
// The messages between the service and ebbmark-nut over their two pipes:
// one line each, words separated by single blanks, every byte outside
// printable ASCII (and "%" itself) written as %XX. The service tells the
// helper where to listen, the sign-in and each new snapshot; the helper
// answers with the secondaries signed in now and the records to write.
// The service trusts nothing it reads here: the helper is the process that
// talks to the network.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/nut_protocol.h"
#include "platform/event_log.h"
#include "service/nut/nut_server.h"

namespace ebbmark::nut {

// The longest line either side accepts; a longer one ends the exchange.
inline constexpr std::size_t kMaxHelperLine = 256 * 1024;
// What the service takes from one helper message.
inline constexpr std::size_t kMaxHelperRecordText = 1024;
inline constexpr std::size_t kMaxLoginsListed = 256;

// Service -> helper.
std::string ListenMessage(const ListenConfig& listen);
std::string ConfigMessage(const ServerConfig& config);
std::string SnapshotMessage(const Snapshot& snapshot);

// Helper -> service.
std::string LoginsMessage(const std::vector<std::string>& addresses);
std::string RecordMessage(EventType type, int id, std::string_view text);

// One message read back (without its line end).
struct HelperMessage {
  enum class Kind { Listen, Config, Snapshot, Logins, Record };
  Kind kind;
  ListenConfig listen;
  ServerConfig config;
  Snapshot snapshot;
  std::vector<std::string> logins;
  EventType record_type = kEventInformation;
  int record_id = 0;
  std::string record_text;
};

// Nothing when the line is no message of this exchange, or breaks its
// bounds (a record of another type or identifier, a text too long, too many
// addresses).
std::optional<HelperMessage> ParseHelperMessage(std::string_view line);

}  // namespace ebbmark::nut
