#include "tools/relay-sim/status_lines.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace ebbmark::sim {
namespace {

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string f;
  while (std::getline(in, f, ',')) fields.push_back(f);
  return fields;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Checks a line the way a receiver does, independently of the formatter.
bool ChecksumHolds(const std::string& line) {
  auto f = Fields(line);
  int sum = 0;
  std::size_t count = f.size();
  if (count == 14 && f[0].size() == 1 && f[0][0] >= '0' && f[0][0] <= '9') {
    for (std::size_t i = 0; i < 13; ++i) {
      if (!AllDigits(f[i])) return false;
      for (char c : f[i]) sum += c - '0';
    }
    return AllDigits(f[13]) && std::stoi(f[13]) == sum;
  }
  if (count == 12 && f[0].size() == 1 && f[0][0] >= 'a' && f[0][0] <= 'j') {
    sum = f[0][0] - 48;
    for (std::size_t i = 1; i < 11; ++i) {
      if (!AllDigits(f[i])) return false;
      for (char c : f[i]) sum += c - '0';
    }
    return AllDigits(f[11]) && std::stoi(f[11]) == sum;
  }
  return false;
}

TEST(RelaySimLines, InverterLinesMatchTheControllerFormat) {
  struct Case {
    InverterReading in;
    const char* want;
  };
  const Case cases[] = {
      {{0, 1, 120, 2, 264, false}, "0,01,00,00,120,120,00,02,000,02,264,000,000,23"},
      // Double: AC halved and current doubled on the wire, bit 0 of the flags.
      {{0, 1, 240, 2, 264, true}, "0,02,00,00,120,120,00,02,000,02,264,001,000,25"},
      {{7, 12, 0, 92, 231, false}, "7,12,00,00,000,120,00,92,000,02,231,000,000,32"},
      // Values beyond a field's width are clamped, never written as more
      // digits or a sign.
      {{9, 150, 1200, 2, -5, false}, "9,99,00,00,999,120,00,02,000,02,000,000,000,61"},
  };
  for (const Case& c : cases) {
    std::string line = FormatInverterLine(c.in);
    EXPECT_EQ(line, c.want);
    EXPECT_TRUE(ChecksumHolds(line)) << line;
  }
}

TEST(RelaySimLines, FndcLinesMatchTheControllerFormat) {
  EXPECT_EQ(FormatFndcLine({'a', 85, 25}), "a,00,00,00,00,00,00,85,00,00,35,70");
  EXPECT_EQ(FormatFndcLine({'j', 85, 25}), "j,00,00,00,00,00,00,85,00,00,35,79");
  EXPECT_EQ(FormatFndcLine({'c', 100, -10}), "c,00,00,00,00,00,00,100,00,00,00,52");
  EXPECT_EQ(FormatFndcLine({'b', 7, 95}), "b,00,00,00,00,00,00,07,00,00,99,75");
  for (char letter = 'a'; letter <= 'j'; ++letter) {
    for (int soc : {0, 9, 55, 100}) {
      std::string line = FormatFndcLine({letter, soc, 31});
      EXPECT_TRUE(ChecksumHolds(line)) << line;
    }
  }
}

TEST(RelaySimLines, FramingIsLfLineCr) {
  EXPECT_EQ(FrameLine("a,1"), "\na,1\r");
}

TEST(RelaySimLines, GreetingHasTheFormTheServiceDrops) {
  const std::string g = FormatGreeting();
  EXPECT_EQ(g.rfind("Trellan", 0), 0u);
  const auto open = g.find('(');
  ASSERT_NE(open, std::string::npos);
  EXPECT_EQ(g.size() - open - 1, 13u);  // ten characters, ")" and CR LF
  EXPECT_EQ(g.substr(g.size() - 3), ")\r\n");
}

TEST(RelaySimLines, DiscoveryAnswer) {
  EXPECT_EQ(FormatDiscoveryAnswer("relay1", 8467, 2, 1), "\nTCP,relay1,8467,2,0,1\r");
  EXPECT_EQ(FormatDiscoveryAnswer("box", 0, 0, 0), "\nTCP,box,0,0,0,0\r");
  // A name with separators must not shift the port into another field.
  EXPECT_EQ(FormatDiscoveryAnswer("a,b\r\nc", 9000, 1, 0), "\nTCP,a-b--c,9000,1,0,0\r");
}

}  // namespace
}  // namespace ebbmark::sim
