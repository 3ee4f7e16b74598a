#pragma once
// The relay finder: broadcasts a query on every local IPv4 network, lists the
// relays that answer, and makes the one the user double-clicks, or the
// address the user types and selects, the configured relay (TCPHost and
// TCPPort in memory).

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/timer.h"
#include "config/model/controls.h"
#include "config/model/relay_address.h"
#include "config/model/relay_discovery.h"
#include "config/model/tool_windows.h"

namespace ebbmark {

namespace find_servers_texts {
inline constexpr const char* kNoNetwork = "No network found: this computer has no IPv4 address.";
inline constexpr const char* kNoSocket =
    "The search could not start: no network socket is available.";
inline constexpr const char* kSearching = "Searching\xE2\x80\xA6";
inline constexpr const char* kNoAnswer = "No relay answered.";
}  // namespace find_servers_texts

class FrmFindServers : public Window {
 public:
  // Outer heights: without and with the host-name row.
  static constexpr int kShortHeight = 2760;
  static constexpr int kTallHeight = 3135;
  // Relays kept in one opening; later ones are ignored.
  static constexpr std::size_t kMaxEntries = 101;
  // Relays on the local networks answer at once; after this long without
  // an answer the search is over.
  static constexpr std::chrono::milliseconds kSearchWait{3000};

  explicit FrmFindServers(ToolWindowContext ctx);
  ~FrmFindServers() override;

  // Opening: an empty list, a new socket, one query to each local network.
  void Form_Load() override;
  // Closing releases the socket; no answer is listed afterwards.
  void Form_Unload() override;

  ListBox lstServers{this, "lstServers"};
  // "Searching…" while the queries are out, "No relay answered." after.
  Label lblSearch{this, "lblSearch"};
  // Says why nothing can be found; hidden while the search runs.
  Label lblNoNetwork{this, "lblNoNetwork"};
  // A relay that no search reaches (another subnet, a switch that drops
  // broadcasts) is typed in; selecting an entry fills the box too.
  Label lblAddress{this, "lblAddress"};
  TextBox txtAddress{this, "txtAddress"};
  CommandButton cmdSelect{this, "cmdSelect"};
  // Why the typed address cannot be used; hidden while it can.
  Label lblAddressHint{this, "lblAddressHint"};
  Label lblHostName{this, "lblHostName"};
  TextBox txtHostName{this, "txtHostName"};

  // The answers behind the list's entries, in step with it.
  const std::vector<RelayAnswer>& Entries() const { return entries_; }
  // The broadcast addresses queried at the last opening, in order.
  const std::vector<std::string>& Queried() const { return queried_; }

  // The end of the search; public so a test can end it without waiting.
  void tmrSearch_Timer();
  bool Searching() const { return tmrSearch.Enabled(); }

 private:
  void oUDP_DataArrival(const std::string& data, const std::string& sender);
  void lstServers_Click();
  void lstServers_DblClick();
  void txtAddress_Change();
  void cmdSelect_Click();
  void ShowNote(const char* text);
  void ShowHostRow(bool shown);
  void ShowSearch(const char* text);

  ToolWindowContext ctx_;
  Timer tmrSearch{ctx_.io, kSearchWait, [this] { tmrSearch_Timer(); }};
  std::unique_ptr<UdpSocket> oUDP;
  std::vector<RelayAnswer> entries_;
  std::vector<std::string> queried_;
};

}  // namespace ebbmark
