#include "config/model/relay_address.h"

#include <gtest/gtest.h>

namespace ebbmark {
namespace {

namespace texts = relay_address_texts;

struct Usable {
  const char* typed;
  const char* host;
  std::int32_t port;
};

TEST(RelayAddress, UsableForms) {
  const Usable cases[] = {
      {"192.168.1.20", "192.168.1.20", 8467},
      {"192.168.1.20:9000", "192.168.1.20", 9000},
      {"0.0.0.0:1", "0.0.0.0", 1},
      {"255.255.255.255:65535", "255.255.255.255", 65535},
      {"shed", "shed", 8467},
      {"relay.example.org:8468", "relay.example.org", 8468},
      {"relay.example.org.", "relay.example.org.", 8467},  // fully qualified
      {"r-1.lan", "r-1.lan", 8467},
      {"3com.example", "3com.example", 8467},  // digits first in a label
      {"::1", "::1", 8467},
      {"fe80::1:8467", "fe80::1:8467", 8467},  // all of it is the address
      {"2001:db8::7", "2001:db8::7", 8467},
      {"[2001:db8::7]", "2001:db8::7", 8467},
      {"[2001:db8::7]:8500", "2001:db8::7", 8500},
      {"[::ffff:192.168.1.20]:8467", "::ffff:192.168.1.20", 8467},
      {"  shed:08467\t", "shed", 8467},  // blanks around, a leading zero
  };
  for (const Usable& c : cases) {
    const RelayAddressCheck check = CheckRelayAddress(c.typed, 8467);
    ASSERT_TRUE(check.address.has_value()) << c.typed << ": " << check.why;
    EXPECT_EQ(*check.address, (RelayAddress{c.host, c.port})) << c.typed;
    EXPECT_EQ(check.why, "") << c.typed;
  }
}

struct Refused {
  const char* typed;
  const char* why;
};

TEST(RelayAddress, RefusedFormsSayWhy) {
  const Refused cases[] = {
      {"shed:", texts::kBadPort},
      {"shed:0", texts::kBadPort},
      {"shed:65536", texts::kBadPort},
      {"shed:123456", texts::kBadPort},
      {"shed:-1", texts::kBadPort},
      {"shed:80a", texts::kBadPort},
      {"[::1]:", texts::kBadPort},
      {"[::1]:99999", texts::kBadPort},
      {"192.168.1.300", texts::kBadIpv4},
      {"192.168.1", texts::kBadIpv4},
      {"192.168.1.2.3", texts::kBadIpv4},
      {"192.168..2", texts::kBadIpv4},
      {"0x7f.0.0.1", texts::kBadIpv4},  // no hex: the last label makes it a number
      {"10", texts::kBadIpv4},
      {"shed relay", texts::kBadHost},
      {"-shed", texts::kBadHost},
      {"shed-.lan", texts::kBadHost},
      {"shed..lan", texts::kBadHost},
      {".lan", texts::kBadHost},
      {"sh_ed", texts::kBadHost},
      {"h\xC3\xA9", texts::kBadHost},  // not in the name alphabet
      {"[::1", texts::kBadHost},
      {"[::1]x", texts::kBadHost},
      {"[shed]:8467", texts::kBadHost},
      {"[192.168.1.20]", texts::kBadHost},
      {"fe80::1::2", texts::kBadHost},
      {"2001:db8:0:0:0:0:0:1:8467", texts::kNeedBrackets},
      {"a:b:c", texts::kBadHost},
  };
  for (const Refused& c : cases) {
    const RelayAddressCheck check = CheckRelayAddress(c.typed, 8467);
    EXPECT_FALSE(check.address.has_value()) << c.typed;
    EXPECT_EQ(check.why, c.why) << c.typed;
  }
}

TEST(RelayAddress, NamesUpToTheirLimits) {
  const std::string label63(63, 'a');
  const std::string label64(64, 'a');
  EXPECT_TRUE(CheckRelayAddress(label63 + ".lan", 8467).address);
  EXPECT_EQ(CheckRelayAddress(label64 + ".lan", 8467).why, texts::kBadHost);
  // 253 characters in all, the most a name has.
  std::string name = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  ASSERT_EQ(name.size(), 253u);
  EXPECT_TRUE(CheckRelayAddress(name, 8467).address);
  EXPECT_EQ(CheckRelayAddress(name + "b", 8467).why, texts::kBadHost);
}

TEST(RelayAddress, EmptyIsNotUsableButNothingIsWrongYet) {
  for (const char* typed : {"", "   ", "\t"}) {
    const RelayAddressCheck check = CheckRelayAddress(typed, 8467);
    EXPECT_FALSE(check.address.has_value());
    EXPECT_EQ(check.why, "");
  }
}

TEST(RelayAddress, TextForTheBoxReadsBackToTheSameRelay) {
  EXPECT_EQ(RelayAddressText("192.168.1.20", 8467), "192.168.1.20:8467");
  EXPECT_EQ(RelayAddressText("fe80::1", 9000), "[fe80::1]:9000");
  EXPECT_EQ(RelayAddressText("shed", 0), "shed");  // no usable port: the standard one
  EXPECT_EQ(RelayAddressText("shed", 70000), "shed");
  for (const auto& [host, port] : {std::pair<std::string, std::int32_t>{"10.0.0.5", 1},
                                   {"relay.lan", 65535},
                                   {"2001:db8::7", 8500}}) {
    const auto back = CheckRelayAddress(RelayAddressText(host, port), 8467).address;
    ASSERT_TRUE(back) << host;
    EXPECT_EQ(*back, (RelayAddress{host, port}));
  }
}

}  // namespace
}  // namespace ebbmark
