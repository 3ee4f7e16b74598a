#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

#include "platform/network_info.h"

namespace ebbmark {
namespace {

class PosixNetworkInfo final : public NetworkInfo {
 public:
  bool AddressTable(std::vector<IpAddressRow>& rows) override {
    rows.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      // An interface that is down cannot carry a broadcast, and one without a
      // mask has no network to broadcast to.
      if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr) continue;
      if (i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) continue;
      const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      const auto* mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
      rows.push_back({address->sin_addr.s_addr, mask->sin_addr.s_addr});
    }
    freeifaddrs(list);
    // The finder queries networks in ascending address order, as the Windows
    // table gives them.
    std::stable_sort(rows.begin(), rows.end(), [](const IpAddressRow& a, const IpAddressRow& b) {
      return ntohl(a.address) < ntohl(b.address);
    });
    return true;
  }
};

}  // namespace

NetworkInfo& SystemNetworkInfo() {
  static PosixNetworkInfo info;
  return info;
}

}  // namespace ebbmark
