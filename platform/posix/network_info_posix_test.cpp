#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "platform/network_info.h"

namespace ebbmark {
namespace {

TEST(NetworkInfoPosix, TableHoldsLoopbackInAscendingOrder) {
  std::vector<IpAddressRow> rows{{1, 2}};
  ASSERT_TRUE(SystemNetworkInfo().AddressTable(rows));
  bool loopback = false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    loopback = loopback || rows[i].address == htonl(INADDR_LOOPBACK);
    if (i > 0) {
      EXPECT_LE(ntohl(rows[i - 1].address), ntohl(rows[i].address));
    }
  }
  EXPECT_TRUE(loopback) << "an active loopback interface was expected";
}

}  // namespace
}  // namespace ebbmark
