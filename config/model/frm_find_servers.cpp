#include "config/model/frm_find_servers.h"

#include "config/model/network_addresses.h"

namespace ebbmark {

FrmFindServers::FrmFindServers(ToolWindowContext ctx)
    : Window("frmFindServers", "Find Trellan Servers", 4680, kShortHeight), ctx_(std::move(ctx)) {
  lstServers.SetGeometry({60, 60, 4455, 1230});
  lblHostName.SetGeometry({60, 1410, 975, 255});
  lblHostName.SetCaption("Host Name:");
  txtHostName.SetGeometry({1080, 1380, 3435, 315});
  txtHostName.SetLocked(true);
  lblNoNetwork.SetGeometry({60, 1410, 4455, 255});
  lblNoNetwork.SetVisible(false);

  lstServers.OnClick = [this] { lstServers_Click(); };
  lstServers.OnDblClick = [this] { lstServers_DblClick(); };
}

FrmFindServers::~FrmFindServers() {
  if (oUDP) oUDP->OnDataArrival = nullptr;
}

void FrmFindServers::Form_Load() {
  note_shown_ = false;
  lblNoNetwork.SetVisible(false);
  ShowHostRow(false);
  txtHostName.SetText("");
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
}

void FrmFindServers::Form_Unload() {
  if (oUDP) {
    oUDP->OnDataArrival = nullptr;
    oUDP->Close();
    oUDP.reset();
  }
}

void FrmFindServers::ShowHostRow(bool shown) {
  SetSize(Width(), shown ? kTallHeight : kShortHeight);
  // Hidden as well as below the edge: a system whose title bar is thinner
  // than the one the heights were laid out for would show its top.
  lblHostName.SetVisible(shown);
  txtHostName.SetVisible(shown);
}

void FrmFindServers::ShowNote(const char* text) {
  // The note takes the host-name row; no entry can be selected to need it.
  note_shown_ = true;
  lblHostName.SetVisible(false);
  txtHostName.SetVisible(false);
  lblNoNetwork.SetCaption(text);
  lblNoNetwork.SetVisible(true);
  SetSize(Width(), kTallHeight);
}

void FrmFindServers::oUDP_DataArrival(const std::string& data, const std::string& sender) {
  if (entries_.size() >= kMaxEntries) return;
  auto answer = ParseRelayAnswer(data, sender);
  if (!answer) return;
  lstServers.AddItem(answer->entry_text);
  entries_.push_back(std::move(*answer));
}

void FrmFindServers::lstServers_Click() {
  const int i = lstServers.ListIndex();
  if (i >= 0 && static_cast<std::size_t>(i) < entries_.size()) {
    ShowHostRow(true);
    txtHostName.SetText(entries_[static_cast<std::size_t>(i)].host_name);
  } else {
    if (!note_shown_) ShowHostRow(false);
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

}  // namespace ebbmark
