#include "service/relay_link.h"

namespace ebbmark {

bool IsGreeting(const std::string& chunk) {
  if (chunk.size() < 7 || chunk.compare(0, 7, "Trellan") != 0) return false;
  if (chunk.size() < 3 || chunk.compare(chunk.size() - 3, 3, ")\r\n") != 0) return false;
  const auto open = chunk.find('(');
  if (open == std::string::npos) return false;
  return chunk.size() - open - 1 == 13;
}

RelayLink::RelayLink(const Clock& clock, TcpClient& tcp, StatusStream& stream, EventLog& log,
                     const SettingsRecord& settings)
    : clock_(clock), tcp_(tcp), stream_(stream), log_(log), settings_(settings) {
  tcp_.OnConnected = [this] {
    ConnectRefusedLogged = false;
    connect_started_.reset();
    connected_at_ = clock_.Now();
  };
  tcp_.OnClose = [this] { Close(); };
  tcp_.OnData = [this](const std::string& chunk) { OnData(chunk); };
  tcp_.OnError = [this](int number, const std::string&) { OnError(number); };
}

void RelayLink::OnData(const std::string& chunk) {
  if (!GreetingChecked) {
    GreetingChecked = true;
    if (IsGreeting(chunk)) return;
  }
  if (!chunk.empty()) stream_.Append(chunk);
}

void RelayLink::OnError(int number) {
  connect_started_.reset();
  if (number == kErrConnectionRefused && !ConnectRefusedLogged) {
    log_.WriteEventLog(kEventError, 109,
                       "Could not connect to TCP host " + settings_.TCPHost + " on port " +
                           std::to_string(settings_.TCPPort) +
                           ".\r\n\r\nPlease check to make sure the host is operational and "
                           "there is no\r\nhardware or software firewall in place between the "
                           "Trellan host\r\nand this machine.");
    ConnectRefusedLogged = true;
  }
}

void RelayLink::Close() {
  tcp_.Close();
  connect_started_.reset();
  connected_at_.reset();
}

bool RelayLink::Upkeep() {
  const Stamp now = clock_.Now();
  auto& stamp = stream_.LastDataStamp;

  // Quiet-link check: the notices count from the last line of a known kind.
  if (stamp) {
    const auto age = AgeSeconds(*stamp, now);
    if (age >= 5) {
      if (age < 30 && !LinkLostWarned) {
        LinkLostWarned = true;
        log_.WriteEventLog(
            kEventWarning, 110,
            "Lost TCP connection to host " + settings_.TCPHost + "! Attempting reconnection.");
      } else if (age >= 30 && !LinkLostReported) {
        LinkLostReported = true;
        log_.WriteEventLog(kEventError, 109,
                           "Could not establish TCP connection to host " + settings_.TCPHost +
                               "! Will keep trying.");
        if (SendLinkDownNotice) SendLinkDownNotice();
      }
      // A fresh connection may not have had its first line yet: closing it
      // now would keep a relay that answers a little slowly down for good.
      const bool fresh = connected_at_ && AgeSeconds(*connected_at_, now) < kFreshConnectionGrace;
      if (tcp_.State() == kSockConnected && !fresh) {
        Close();
        return false;
      }
    }
  } else {
    LinkLostWarned = false;
    LinkLostReported = false;
  }

  const int state = tcp_.State();
  if (state == kSockError) {
    Close();
    return false;
  }
  // The system may wait minutes for an unanswered connect; give up sooner.
  if (connect_started_ && state != kSockClosed && state != kSockConnected &&
      AgeSeconds(*connect_started_, now) >= kConnectTimeout) {
    Close();
    return false;
  }
  if (!settings_.TCPHost.empty() && settings_.TCPPort > 0 && state == kSockClosed) {
    if (!stamp) stamp = now;
    Close();
    connect_started_ = now;
    connected_at_.reset();
    tcp_.Connect(settings_.TCPHost, settings_.TCPPort);
  }
  return true;
}

}  // namespace ebbmark
