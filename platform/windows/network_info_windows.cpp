#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/network_info.h"

namespace ebbmark {
namespace {

class WindowsNetworkInfo final : public NetworkInfo {
 public:
  bool AddressTable(std::vector<IpAddressRow>& rows) override {
    rows.clear();
    // The table can grow between the size query and the read; ask again a
    // few times rather than read past a buffer that became too small.
    ULONG size = 0;
    DWORD result = GetIpAddrTable(nullptr, &size, TRUE);
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
      if (size < sizeof(MIB_IPADDRTABLE)) return false;
      buffer_.assign(size, 0);
      result = GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(buffer_.data()), &size, TRUE);
    }
    if (result != NO_ERROR || buffer_.size() < sizeof(MIB_IPADDRTABLE)) return false;
    const auto* table = reinterpret_cast<const MIB_IPADDRTABLE*>(buffer_.data());
    const std::size_t room =
        (buffer_.size() - offsetof(MIB_IPADDRTABLE, table)) / sizeof(MIB_IPADDRROW);
    const std::size_t count = std::min<std::size_t>(table->dwNumEntries, room);
    for (std::size_t i = 0; i < count; ++i) {
      const MIB_IPADDRROW& row = table->table[i];
      rows.push_back(
          {static_cast<std::uint32_t>(row.dwAddr), static_cast<std::uint32_t>(row.dwMask)});
    }
    return true;
  }

 private:
  std::vector<unsigned char> buffer_;
};

}  // namespace

NetworkInfo& SystemNetworkInfo() {
  static WindowsNetworkInfo info;
  return info;
}

}  // namespace ebbmark
