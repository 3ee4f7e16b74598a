#pragma once
// The relay finder: broadcasts a query on every local IPv4 network, lists the
// relays that answer, and makes the one the user double-clicks the
// configured relay (TCPHost and TCPPort in memory).

#include <memory>
#include <string>
#include <vector>

#include "config/model/controls.h"
#include "config/model/relay_discovery.h"
#include "config/model/tool_windows.h"

namespace ebbmark {

namespace find_servers_texts {
inline constexpr const char* kNoNetwork =
    "No network was found: this computer has no IPv4 address.";
inline constexpr const char* kNoSocket =
    "The search could not start: no network socket is available.";
}  // namespace find_servers_texts

class FrmFindServers : public Window {
 public:
  // Outer heights: without and with the host-name row.
  static constexpr int kShortHeight = 1755;
  static constexpr int kTallHeight = 2130;
  // Answers kept in one opening; later ones are ignored.
  static constexpr std::size_t kMaxEntries = 101;

  explicit FrmFindServers(ToolWindowContext ctx);
  ~FrmFindServers() override;

  // Opening: an empty list, a new socket, one query to each local network.
  void Form_Load() override;
  // Closing releases the socket; no answer is listed afterwards.
  void Form_Unload() override;

  ListBox lstServers{this, "lstServers"};
  Label lblHostName{this, "lblHostName"};
  TextBox txtHostName{this, "txtHostName"};
  // Says why nothing can be found; hidden while the search runs.
  Label lblNoNetwork{this, "lblNoNetwork"};

  // The answers behind the list's entries, in step with it.
  const std::vector<RelayAnswer>& Entries() const { return entries_; }
  // The broadcast addresses queried at the last opening, in order.
  const std::vector<std::string>& Queried() const { return queried_; }

 private:
  void oUDP_DataArrival(const std::string& data, const std::string& sender);
  void lstServers_Click();
  void lstServers_DblClick();
  void ShowNote(const char* text);
  void ShowHostRow(bool shown);

  ToolWindowContext ctx_;
  std::unique_ptr<UdpSocket> oUDP;
  std::vector<RelayAnswer> entries_;
  std::vector<std::string> queried_;
  bool note_shown_ = false;
};

}  // namespace ebbmark
