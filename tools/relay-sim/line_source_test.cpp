#include "tools/relay-sim/line_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ebbmark::sim {
namespace {

Scenario Parsed(const std::string& text) {
  Scenario s;
  EXPECT_EQ(s.ParseText(text, "test.txt"), "");
  EXPECT_EQ(s.Finish(), "");
  return s;
}

std::string Field(const std::string& line, int index) {
  std::size_t from = 0;
  for (int i = 0; i < index; ++i) from = line.find(',', from) + 1;
  return line.substr(from, line.find(',', from) - from);
}

TEST(RelaySimLineSource, OneLinePerDeviceInDeclaredOrder) {
  Scenario s = Parsed("inverters 3 1\nfndc b a\n");
  LineSource source(s, 1, false);
  auto lines = source.Lines(0);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0][0], '3');
  EXPECT_EQ(lines[1][0], '1');
  EXPECT_EQ(lines[2][0], 'b');
  EXPECT_EQ(lines[3][0], 'a');
}

TEST(RelaySimLineSource, SameSeedSameStreamAndJitterStaysNearTheValue) {
  const char* text =
      "inverters 0 1\nat 0 inverter 0 current 10 battery 26.0\nat 0 inverter 1 current 0\n"
      "jitter current 2\njitter battery 0.3\njitter soc 3\n";
  Scenario s = Parsed(text);
  LineSource a(s, 7, false), b(s, 7, false), c(s, 8, false);
  std::vector<std::string> from_a, from_b, from_c;
  for (int t = 0; t < 50; ++t) {
    for (auto& l : a.Lines(t)) from_a.push_back(l);
    for (auto& l : b.Lines(t)) from_b.push_back(l);
    for (auto& l : c.Lines(t)) from_c.push_back(l);
  }
  EXPECT_EQ(from_a, from_b);
  EXPECT_NE(from_a, from_c);

  bool varied = false;
  for (const std::string& l : from_a) {
    if (l[0] == '0') {
      int current = std::stoi(Field(l, 1));
      int battery = std::stoi(Field(l, 10));
      EXPECT_GE(current, 8);
      EXPECT_LE(current, 12);
      EXPECT_GE(battery, 257);
      EXPECT_LE(battery, 263);
      varied = varied || current != 10;
    } else if (l[0] == '1') {
      // Noise never turns "no current" into inverting.
      EXPECT_EQ(Field(l, 1), "00") << l;
    }
  }
  EXPECT_TRUE(varied);
}

TEST(RelaySimLineSource, LoopingRestartsTheScenario) {
  Scenario s = Parsed("length 20\nramp 0 10 fndc soc 90 80\n");
  LineSource looping(s, 1, true), once(s, 1, false);
  EXPECT_EQ(looping.ScenarioTime(25), 5);
  EXPECT_EQ(looping.ScenarioTime(40), 0);
  EXPECT_EQ(once.ScenarioTime(25), 25);
}

TEST(RelaySimLineSource, GarbageHasTheSizeAndANul) {
  Scenario s = Parsed("");
  LineSource source(s, 3, false);
  for (int n : {1, 2, 500}) {
    std::string junk = source.Garbage(n);
    EXPECT_EQ(junk.size(), static_cast<std::size_t>(n));
    EXPECT_NE(junk.find('\0'), std::string::npos);
  }
}

TEST(RelaySimLineSource, SplitPointsCutInsideTheLine) {
  Scenario s = Parsed("");
  LineSource source(s, 3, false);
  for (std::size_t len : {2u, 3u, 48u}) {
    for (int i = 0; i < 50; ++i) {
      auto cuts = source.SplitPoints(len);
      ASSERT_GE(cuts.size(), 1u);
      ASSERT_LE(cuts.size(), 2u);
      for (std::size_t k = 0; k < cuts.size(); ++k) {
        EXPECT_GT(cuts[k], k == 0 ? 0u : cuts[k - 1]);
        EXPECT_LT(cuts[k], len);
      }
    }
  }
}

}  // namespace
}  // namespace ebbmark::sim
