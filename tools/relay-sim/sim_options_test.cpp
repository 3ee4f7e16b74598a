#include "tools/relay-sim/sim_options.h"

#include <gtest/gtest.h>

namespace ebbmark::sim {
namespace {

TEST(RelaySimOptions, DefaultsAndFlags) {
  ParsedOptions d = ParseOptions({});
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.options.server.host, "127.0.0.1");
  EXPECT_EQ(d.options.server.port, 8467);
  EXPECT_EQ(d.options.server.udp_port, 8466);
  EXPECT_TRUE(d.options.server.udp);
  EXPECT_TRUE(d.options.server.greeting);

  ParsedOptions p =
      ParseOptions({"--port", "0", "--udp-port=0", "--udp-any", "--name", "relay1", "--seed", "42",
                    "--loop", "--duration", "5", "--verbose", "--scenario", "x.txt"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.server.port, 0);
  EXPECT_EQ(p.options.server.udp_port, 0);
  EXPECT_EQ(p.options.server.udp_host, "0.0.0.0");
  EXPECT_EQ(p.options.server.name, "relay1");
  EXPECT_EQ(p.options.server.seed, 42u);
  EXPECT_TRUE(p.options.server.loop);
  EXPECT_EQ(p.options.server.duration, 5);
  EXPECT_TRUE(p.options.server.verbose);
  EXPECT_EQ(p.options.scenario_file, "x.txt");
}

TEST(RelaySimOptions, BadFlagsAreRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "70000"}, {"--port"},         {"--udp-port", "x"}, {"--duration", "0"},
      {"--seed", "-1"},    {"--loop=yes"},     {"--frobnicate"},    {"--host", ""},
      {"--event"},         {"--scenario", ""},
  };
  for (const auto& args : bad) {
    EXPECT_NE(ParseOptions(args).error, "") << args[0];
  }
}

TEST(RelaySimOptions, ValueFlagsOverrideTheFileAtSecondZero) {
  ParsedOptions p = ParseOptions({"--scenario", "f.txt", "--inverters", "0,2", "--soc", "61",
                                  "--current", "7", "-e", "at 10 fndc soc 50"});
  ASSERT_EQ(p.error, "");
  Scenario s;
  ASSERT_EQ(
      BuildScenario(p.options, "inverters 0\nat 0 fndc soc 90\nat 0 inverter 0 current 1\n", s),
      "");
  EXPECT_EQ(s.Inverters(), (std::vector<int>{0, 2}));
  EXPECT_EQ(s.FndcAt('a', 0).soc, 61);
  EXPECT_EQ(s.FndcAt('a', 10).soc, 50);
  EXPECT_EQ(s.InverterAt(0, 0).current, 7);
  EXPECT_EQ(s.InverterAt(2, 0).current, 7);
}

TEST(RelaySimOptions, ScenarioErrorsNameTheFileLineOrFlag) {
  ParsedOptions p = ParseOptions({"--scenario", "f.txt"});
  Scenario s1;
  EXPECT_EQ(BuildScenario(p.options, "inverters 0\nat 1 fault nothing\n", s1).rfind("f.txt:2: ", 0),
            0u);

  ParsedOptions q = ParseOptions({"--soc", "101"});
  Scenario s2;
  EXPECT_EQ(BuildScenario(q.options, "", s2).rfind("--soc: ", 0), 0u);
}

}  // namespace
}  // namespace ebbmark::sim
