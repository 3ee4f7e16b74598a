#include "config/model/network_addresses.h"

#include <gtest/gtest.h>

#include "config/model/relay_discovery.h"
#include "tests/support/network_fakes.h"

namespace ebbmark {
namespace {

using testing::FakeNetworkInfo;
using testing::Ipv4;

TEST(NetworkAddresses, AddressTextReadsNetworkByteOrder) {
  EXPECT_EQ(AddressText(Ipv4(192, 168, 1, 20)), "192.168.1.20");
  EXPECT_EQ(AddressText(Ipv4(0, 0, 0, 0)), "0.0.0.0");
  EXPECT_EQ(AddressText(Ipv4(255, 255, 255, 255)), "255.255.255.255");
  EXPECT_EQ(AddressText(Ipv4(10, 0, 200, 1)), "10.0.200.1");
}

TEST(NetworkAddresses, BroadcastAddress) {
  struct Case {
    const char* address;
    const char* mask;
    const char* broadcast;
  };
  const Case cases[] = {
      {"192.168.1.20", "255.255.255.0", "192.168.1.255"},
      {"10.1.2.3", "255.0.0.0", "10.255.255.255"},
      {"172.16.5.9", "255.255.240.0", "172.16.15.255"},
      {"192.168.1.20", "255.255.255.255", "192.168.1.20"},
      {"192.168.1.20", "0.0.0.0", "255.255.255.255"},
      {"", "255.255.255.0", ""},
      // Text that is not four dotted numbers has no broadcast address.
      {"192.168.1", "255.255.255.0", ""},
      {"192.168.1.20", "255.255.255", ""},
      {"192.168.1.256", "255.255.255.0", ""},
      {"192.168..20", "255.255.255.0", ""},
      {"192.168.1.20.", "255.255.255.0", ""},
      {"a.b.c.d", "255.255.255.0", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BroadcastAddress(c.address, c.mask), c.broadcast) << c.address << " / " << c.mask;
  }
}

TEST(NetworkAddresses, LocalAddressesLeaveOutLoopback) {
  FakeNetworkInfo info;
  info.Add(Ipv4(10, 0, 0, 5), Ipv4(255, 0, 0, 0));
  info.Add(Ipv4(127, 0, 0, 1), Ipv4(255, 0, 0, 0));
  info.Add(Ipv4(127, 0, 1, 1), Ipv4(255, 0, 0, 0));
  info.Add(Ipv4(192, 168, 1, 20), Ipv4(255, 255, 255, 0));
  std::vector<LocalAddress> found{{"stale", "", ""}};
  ASSERT_TRUE(GetLocalAddresses(info, found));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].address, "10.0.0.5");
  EXPECT_EQ(found[0].mask, "255.0.0.0");
  EXPECT_EQ(found[0].broadcast, "10.255.255.255");
  EXPECT_EQ(found[1].address, "192.168.1.20");
  EXPECT_EQ(found[1].broadcast, "192.168.1.255");
}

TEST(NetworkAddresses, NoNetworkBesidesLoopbackOrNoTable) {
  FakeNetworkInfo info;
  std::vector<LocalAddress> found;
  EXPECT_FALSE(GetLocalAddresses(info, found));
  info.Add(Ipv4(127, 0, 0, 1), Ipv4(255, 0, 0, 0));
  EXPECT_FALSE(GetLocalAddresses(info, found));
  EXPECT_TRUE(found.empty());
  info.Add(Ipv4(192, 168, 1, 20), Ipv4(255, 255, 255, 0));
  info.readable = false;
  EXPECT_FALSE(GetLocalAddresses(info, found));
  EXPECT_TRUE(found.empty());
}

TEST(NetworkAddresses, OneQueryPerNetwork) {
  const std::vector<LocalAddress> addresses = {
      {"192.168.1.20", "255.255.255.0", "192.168.1.255"},
      {"10.0.0.5", "255.0.0.0", "10.255.255.255"},
      {"192.168.1.21", "255.255.255.0", "192.168.1.255"},
      {"bad", "", ""},
  };
  EXPECT_EQ(DistinctBroadcasts(addresses),
            (std::vector<std::string>{"192.168.1.255", "10.255.255.255"}));
}

TEST(RelayAnswers, EntryTextAndPluralRule) {
  struct Case {
    const char* datagram;
    const char* entry;  // nullptr: ignored
  };
  const Case cases[] = {
      {"\nTCP,relay1,8467,2,0,1\r", "192.168.1.20\t2 Inverters, 1 FNDC"},
      {"\nTCP,relay1,8467,1,0,1\r", "192.168.1.20\t1 Inverter, 1 FNDC"},
      {"\nTCP,relay1,8467,0,0,0\r", "192.168.1.20\t0 Inverters, 0 FNDC"},
      {"\nTCP,relay1,8467,0.5,0,2\r", "192.168.1.20\t0 Inverters, 2 FNDC"},
      {"\nTCP,relay1,8467,2.5,0,2\r", "192.168.1.20\t2 Inverters, 2 FNDC"},
      {"\nTCP,relay1,8467,-1,0,1\r", "192.168.1.20\t0 Inverters, 1 FNDC"},
      {"\nTCP,relay1,8467, 1 ,0,1\r", "192.168.1.20\t1 Inverter, 1 FNDC"},
      {"\nTCP,relay1,8467,many,0,1\r", "192.168.1.20\t0 Inverters, 1 FNDC"},
      // The battery-monitor count is shown exactly as received.
      {"\nTCP,relay1,8467,3,0, 02x\r", "192.168.1.20\t3 Inverters,  02x FNDC"},
      {"\nTCPX,relay1,8467,3,0,1,extra,fields\r", "192.168.1.20\t3 Inverters, 1 FNDC"},
      // Framing and field count.
      {"TCP,relay1,8467,2,0,1\r", nullptr},
      {"\nTCP,relay1,8467,2,0,1", nullptr},
      {"\nTCP,relay1,8467,2,0,1\r\n", nullptr},
      {"\nUDP,relay1,8467,2,0,1\r", nullptr},
      {"\ntcp,relay1,8467,2,0,1\r", nullptr},
      {"\nTCP,relay1,8467,2,0\r", nullptr},
      {"\nTCP\r", nullptr},
      {"\nTCP", nullptr},
      {"\nTC", nullptr},
      {"", nullptr},
      // Plain decimal digits only: no sign, fraction, exponent or radix prefix.
      {"\nTCP,relay1,8467,1e1,0,1\r", "192.168.1.20\t1 Inverter, 1 FNDC"},
      {"\nTCP,relay1,8467,&H2,0,1\r", "192.168.1.20\t0 Inverters, 1 FNDC"},
      {"\nTCP,relay1,8467,1e999,0,1\r", "192.168.1.20\t1 Inverter, 1 FNDC"},
      {"\nTCP,relay1,8467,2d1,0,1\r", "192.168.1.20\t2 Inverters, 1 FNDC"},
      // Counts and ports beyond any number of their kind.
      {"\nTCP,relay1,8467,1${400},0,1\r", nullptr},
      {"\nTCP,relay1,99999999999,2,0,1\r", nullptr},
  };
  for (const auto& c : cases) {
    std::string datagram = c.datagram;
    if (const auto at = datagram.find("${400}"); at != std::string::npos)
      datagram.replace(at, 6, std::string(400, '9'));
    const auto answer = ParseRelayAnswer(datagram, "192.168.1.20");
    if (c.entry == nullptr) {
      EXPECT_FALSE(answer) << ::testing::PrintToString(std::string(c.datagram));
    } else {
      ASSERT_TRUE(answer) << ::testing::PrintToString(std::string(c.datagram));
      EXPECT_EQ(answer->entry_text, c.entry);
    }
  }
}

TEST(RelayAnswers, HostPortAndAddress) {
  auto a = ParseRelayAnswer("\nTCP,shed-relay,8470,2,0,1\r", "10.0.0.7");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->host_name, "shed-relay");
  EXPECT_EQ(a->address, "10.0.0.7");
  EXPECT_EQ(a->port, 8470);
  // A port is its leading decimal digits; a field without them gives 0.
  EXPECT_EQ(ParseRelayAnswer("\nTCP,r,8467.5,2,0,1\r", "10.0.0.7")->port, 8467);
  EXPECT_EQ(ParseRelayAnswer("\nTCP,r,-8467,2,0,1\r", "10.0.0.7")->port, 0);
  EXPECT_EQ(ParseRelayAnswer("\nTCP,r, 80x,2,0,1\r", "10.0.0.7")->port, 80);
  EXPECT_EQ(ParseRelayAnswer("\nTCP,r,none,2,0,1\r", "10.0.0.7")->port, 0);
  EXPECT_EQ(ParseRelayAnswer("\nTCP,,8467,2,0,1\r", "10.0.0.7")->host_name, "");
  // No exponent or radix prefix in a port either.
  EXPECT_EQ(ParseRelayAnswer("\nTCP,r,8e3,2,0,1\r", "10.0.0.7")->port, 8);
  EXPECT_EQ(ParseRelayAnswer("\nTCP,r,&H1F90,2,0,1\r", "10.0.0.7")->port, 0);
}

TEST(RelayAnswers, BytesAreLatin1Characters) {
  // A name as a relay sends it, one byte a character; a UTF-8
  // reading would turn the lone bytes into replacement characters.
  const auto a = ParseRelayAnswer("\nTCP,Sch\xF6n\xE9-\xFF\x80,8467,2,0,\xB2\r", "10.0.0.7");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->host_name, "Sch\u00f6n\u00e9-\u00ff\u0080");
  EXPECT_EQ(a->entry_text, "10.0.0.7\t2 Inverters, \u00b2 FNDC");
  EXPECT_EQ(Latin1ToUtf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(RelayAnswers, PlainNumber) {
  EXPECT_EQ(PlainNumber(0), "0");
  EXPECT_EQ(PlainNumber(-0.0), "0");
  EXPECT_EQ(PlainNumber(12), "12");
  EXPECT_EQ(PlainNumber(-3), "-3");
  EXPECT_EQ(PlainNumber(2.25), "2.25");
  EXPECT_EQ(PlainNumber(1e20), "100000000000000000000");
}

}  // namespace
}  // namespace ebbmark
