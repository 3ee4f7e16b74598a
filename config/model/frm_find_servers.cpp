#include "config/model/frm_find_servers.h"

#include <algorithm>

#include "config/model/network_addresses.h"

namespace ebbmark {

FrmFindServers::FrmFindServers(ToolWindowContext ctx)
    : Window("frmFindServers", "Find Trellan Servers", 4680, kShortHeight), ctx_(std::move(ctx)) {
  lstServers.SetGeometry({60, 60, 4455, 1230});
  lblSearch.SetGeometry({60, 1350, 4455, 255});
  lblSearch.SetVisible(false);
  lblNoNetwork.SetGeometry({60, 1350, 4455, 255});
  lblNoNetwork.SetVisible(false);
  lblAddress.SetGeometry({60, 1710, 975, 255});
  lblAddress.SetCaption("Address:");
  txtAddress.SetGeometry({1080, 1680, 2295, 315});
  txtAddress.SetToolTip("A host name or an IP address, with :port when it is not 8467");
  cmdSelect.SetGeometry({3480, 1665, 1035, 345});
  cmdSelect.SetCaption("Select");
  cmdSelect.SetDefault(true);
  cmdSelect.SetEnabled(false);
  lblAddressHint.SetGeometry({60, 2040, 4455, 255});
  lblAddressHint.SetVisible(false);
  lblHostName.SetGeometry({60, 2400, 975, 255});
  lblHostName.SetCaption("Host Name:");
  txtHostName.SetGeometry({1080, 2370, 3435, 315});
  txtHostName.SetLocked(true);

  lstServers.OnClick = [this] { lstServers_Click(); };
  lstServers.OnDblClick = [this] { lstServers_DblClick(); };
  txtAddress.OnChange = [this] { txtAddress_Change(); };
  cmdSelect.OnClick = [this] { cmdSelect_Click(); };
}

FrmFindServers::~FrmFindServers() {
  if (oUDP) oUDP->OnDataArrival = nullptr;
}

void FrmFindServers::Form_Load() {
  lblNoNetwork.SetVisible(false);
  ShowSearch(nullptr);
  ShowHostRow(false);
  txtHostName.SetText("");
  // The relay configured now, to keep or to edit.
  const SettingsRecord& s = ctx_.settings;
  txtAddress.SetText(s.TCPHost.empty() ? std::string() : RelayAddressText(s.TCPHost, s.TCPPort));
  txtAddress_Change();
  lstServers.Clear();
  entries_.clear();
  queried_.clear();
  oUDP.reset();

  std::vector<LocalAddress> addresses;
  if (!GetLocalAddresses(ctx_.network, addresses)) {
    ShowNote(find_servers_texts::kNoNetwork);
    return;
  }
  const std::vector<std::string> broadcasts = DistinctBroadcasts(addresses);

  oUDP = ctx_.make_udp_socket ? ctx_.make_udp_socket() : MakeUdpSocket(ctx_.io);
  if (!oUDP || !oUDP->Bind()) {
    oUDP.reset();
    ShowNote(find_servers_texts::kNoSocket);
    return;
  }
  oUDP->OnDataArrival = [this](const std::string& data, const std::string& sender) {
    oUDP_DataArrival(data, sender);
  };

  // The queries go out without waiting; the loop delivers the answers
  // afterwards, listed in order of arrival for as long as the window is open.
  const std::string query(kRelayQuery);
  for (const std::string& broadcast : broadcasts) {
    queried_.push_back(broadcast);
    oUDP->SendTo(broadcast, ctx_.settings.UDPBPort, query);
  }
  ShowSearch(find_servers_texts::kSearching);
  tmrSearch.SetEnabled(true);
}

void FrmFindServers::Form_Unload() {
  tmrSearch.SetEnabled(false);
  if (oUDP) {
    oUDP->OnDataArrival = nullptr;
    oUDP->Close();
    oUDP.reset();
  }
}

void FrmFindServers::tmrSearch_Timer() {
  tmrSearch.SetEnabled(false);
  // Answers still count after this; the list says what was found.
  ShowSearch(entries_.empty() ? find_servers_texts::kNoAnswer : nullptr);
}

void FrmFindServers::ShowSearch(const char* text) {
  if (text != nullptr) lblSearch.SetCaption(text);
  lblSearch.SetVisible(text != nullptr);
}

void FrmFindServers::ShowHostRow(bool shown) {
  SetSize(Width(), shown ? kTallHeight : kShortHeight);
  // Hidden as well as below the edge: a system whose title bar is thinner
  // than the one the heights were laid out for would show its top.
  lblHostName.SetVisible(shown);
  txtHostName.SetVisible(shown);
}

void FrmFindServers::ShowNote(const char* text) {
  // The note takes the search's row: no search runs to need it.
  ShowSearch(nullptr);
  lblNoNetwork.SetCaption(text);
  lblNoNetwork.SetVisible(true);
}

void FrmFindServers::oUDP_DataArrival(const std::string& data, const std::string& sender) {
  if (entries_.size() >= kMaxEntries) return;
  auto answer = ParseRelayAnswer(data, sender);
  if (!answer) return;
  // A relay that hears the queries to several local networks answers each
  // of them: it is listed once, with its first answer.
  const bool known = std::any_of(entries_.begin(), entries_.end(), [&](const RelayAnswer& e) {
    return e.address == answer->address && e.port == answer->port;
  });
  if (known) return;
  lstServers.AddItem(answer->entry_text);
  entries_.push_back(std::move(*answer));
  if (!Searching()) ShowSearch(nullptr);  // a late answer ends "No relay answered."
}

void FrmFindServers::lstServers_Click() {
  const int i = lstServers.ListIndex();
  if (i >= 0 && static_cast<std::size_t>(i) < entries_.size()) {
    const RelayAnswer& entry = entries_[static_cast<std::size_t>(i)];
    ShowHostRow(true);
    txtHostName.SetText(entry.host_name);
    txtAddress.SetText(RelayAddressText(entry.address, entry.port));
  } else {
    ShowHostRow(false);
    txtHostName.SetText("");
  }
}

void FrmFindServers::lstServers_DblClick() {
  const int i = lstServers.ListIndex();
  if (i < 0 || static_cast<std::size_t>(i) >= entries_.size()) return;
  const RelayAnswer& chosen = entries_[static_cast<std::size_t>(i)];
  // The address the answer came from, not the name the relay gives itself:
  // the name may not resolve on this computer.
  ctx_.settings.TCPHost = chosen.address;
  ctx_.settings.TCPPort = chosen.port;
  Close();
}

void FrmFindServers::txtAddress_Change() {
  const RelayAddressCheck check = CheckRelayAddress(txtAddress.Text(), SettingsRecord{}.TCPPort);
  cmdSelect.SetEnabled(check.address.has_value());
  lblAddressHint.SetCaption(check.why);
  lblAddressHint.SetVisible(!check.why.empty());
}

void FrmFindServers::cmdSelect_Click() {
  const RelayAddressCheck check = CheckRelayAddress(txtAddress.Text(), SettingsRecord{}.TCPPort);
  if (!check.address) return;
  ctx_.settings.TCPHost = check.address->host;
  ctx_.settings.TCPPort = check.address->port;
  Close();
}

}  // namespace ebbmark
