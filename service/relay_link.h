#pragma once
// The service's link to the relay: drops the greeting, feeds the status
// stream, watches for a quiet link, reports refusals and outages, and
// reconnects without end.

#include <functional>
#include <string>

#include "base/clock.h"
#include "common/settings.h"
#include "common/status_stream.h"
#include "common/tcp_client.h"
#include "platform/event_log.h"

namespace ebbmark {

// A first chunk that is exactly the relay's greeting line: "Trellan" ... "("
// then ten characters, ")" and CR LF.
bool IsGreeting(const std::string& chunk);

class RelayLink {
 public:
  // A fresh connection gets this long to deliver its first line before the
  // quiet-link rule may close it.
  static constexpr std::int64_t kFreshConnectionGrace = 5;
  // A connect that has not completed by then is closed and tried again.
  static constexpr std::int64_t kConnectTimeout = 10;

  RelayLink(const Clock& clock, TcpClient& tcp, StatusStream& stream, EventLog& log,
            const SettingsRecord& settings);

  // The link-down email notice, given with the 30-second error record.
  std::function<void()> SendLinkDownNotice;

  // One upkeep pass of the monitoring tick. False when it ended the tick.
  bool Upkeep();

  // Closes the socket, ignoring errors.
  void Close();

  bool GreetingChecked = false;
  bool ConnectRefusedLogged = false;
  bool LinkLostWarned = false;
  bool LinkLostReported = false;

 private:
  void OnData(const std::string& chunk);
  void OnError(int number);

  const Clock& clock_;
  TcpClient& tcp_;
  StatusStream& stream_;
  EventLog& log_;
  const SettingsRecord& settings_;
  OptTime connect_started_;  // the attempt in progress
  OptTime connected_at_;     // the connection in progress
};

}  // namespace ebbmark
