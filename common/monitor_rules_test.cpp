#include "common/monitor_rules.h"

#include <gtest/gtest.h>

#include <limits>

namespace ebbmark {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr int kAddr = 3;

TimePoint At(hours h, minutes m, seconds s) {
  return sys_days{year{2026} / December / 7} + h + m + s;
}

// A table where the monitored inverter reports `current` and a healthy battery.
StatusTable Table(std::int32_t current, std::int32_t volts = 50, std::int32_t soc = 90) {
  StatusTable t;
  t.MonitoredAddress = kAddr;
  t.InverterCurrent[kAddr] = current;
  t.BatteryVoltage[kAddr] = volts;
  t.AcInput[kAddr] = 120;
  t.BatterySoc = soc;
  return t;
}

SettingsRecord Rules(bool socoii, std::int32_t sdsoc = 59, std::int32_t sdvoltage = 48,
                     std::int32_t sdtimer = 0) {
  SettingsRecord s;
  s.SOCOII = socoii;
  s.SDSOC = sdsoc;
  s.SDVoltage = sdvoltage;
  s.SDTimer = sdtimer;
  return s;
}

TEST(MonitorRulesTest, MonitoredValuesReadZeroOutsideTheTable) {
  StatusTable t = Table(7, 51);
  EXPECT_EQ(MonitoredCurrent(t), 7);
  EXPECT_EQ(MonitoredVoltage(t), 51);
  EXPECT_EQ(MonitoredAcInput(t), 120);
  t.InverterCurrent[10] = 4;
  t.MonitoredAddress = 10;
  EXPECT_EQ(MonitoredCurrent(t), 4);
  for (std::int32_t bad : {-1, 11, std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max()}) {
    t.MonitoredAddress = bad;
    EXPECT_EQ(MonitoredCurrent(t), 0) << bad;
    EXPECT_EQ(MonitoredVoltage(t), 0) << bad;
    EXPECT_EQ(MonitoredAcInput(t), 0) << bad;
  }
}

TEST(MonitorRulesTest, SocIsFreshForFewerThanFiveWholeSeconds) {
  ManualClock clock;
  StatusTable t;
  EXPECT_FALSE(SocIsFresh(t, clock.Now()));  // no battery-monitor record yet
  t.FndcLastSeen = clock.Now();
  EXPECT_TRUE(SocIsFresh(t, clock.Now()));
  clock.Advance(4s);
  EXPECT_TRUE(SocIsFresh(t, clock.Now()));
  clock.Advance(1s);
  EXPECT_FALSE(SocIsFresh(t, clock.Now()));
  // The clock was set back: a record stamped in the future is not trusted.
  t.FndcLastSeen = clock.Now() + 3600s;
  EXPECT_FALSE(SocIsFresh(t, clock.Now()));
}

struct SocCase {
  const char* name;
  std::int32_t soc;
  std::int32_t sdsoc;
  int fndc_age;  // seconds; -1 = no battery-monitor record
  bool socoii;
  std::int32_t current;
  bool expected;
};

TEST(MonitorRulesTest, SocRule) {
  const SocCase cases[] = {
      {"below, not inverting", 59, 60, 3, false, 0, true},
      {"below, inverting", 59, 60, 3, false, 12, true},
      {"only-if-inverting, not inverting", 59, 60, 3, true, 0, false},
      {"only-if-inverting, inverting", 59, 60, 3, true, 12, true},
      {"equal to the level", 60, 60, 3, false, 0, false},
      {"equal to the level, inverting", 60, 60, 3, true, 12, false},
      {"4 s old", 59, 60, 4, false, 0, true},
      {"5 s old", 59, 60, 5, false, 0, false},
      {"5 s old, inverting", 59, 60, 5, true, 12, false},
      {"60 s old", 10, 99, 60, false, 0, false},
      {"no record", 0, 99, -1, false, 0, false},
      {"level 59 (n/a) is off", 40, 59, 1, true, 12, false},
      {"level 59 (n/a) is off, not inverting", 0, 59, 1, false, 0, false},
      {"level 0 is off", 0, 0, 1, false, 0, false},
  };
  for (const auto& c : cases) {
    ManualClock clock;
    StatusTable t = Table(c.current, 50, c.soc);
    if (c.fndc_age >= 0) t.FndcLastSeen = clock.Now() - seconds{c.fndc_age};
    InvertingState st;
    EXPECT_EQ(TriggerReached(st, Rules(c.socoii, c.sdsoc), t, clock.Now()), c.expected) << c.name;
    // Whichever rule decides, the inverting period is followed on the same call.
    EXPECT_EQ(st.InvertingSince.has_value(), c.current > 0) << c.name;
  }
}

TEST(MonitorRulesTest, VoltageRuleHoldsOnlyWhileInverting) {
  struct Case {
    std::int32_t volts, sdvoltage, current;
    bool socoii, expected;
  };
  const Case cases[] = {
      {47, 48, 0, false, false},   // below the level but on mains
      {47, 48, -3, false, false},  // a negative current is not inverting
      {47, 48, 1, false, true},   {47, 48, 1, true, true},  {48, 48, 1, false, false},
      {0, 48, 1, false, true},    {47, 0, 1, false, false},  // level 0 is off
      {8, 9, 1, true, false},                                // level 9 (n/a) is off
      {9, 10, 1, true, true},
  };
  for (const auto& c : cases) {
    ManualClock clock;
    InvertingState st;
    StatusTable t = Table(c.current, c.volts);
    EXPECT_EQ(TriggerReached(st, Rules(c.socoii, 59, c.sdvoltage), t, clock.Now()), c.expected)
        << c.volts << " / " << c.sdvoltage << " at " << c.current << " A";
  }
}

// Ticks once a second from `start` while inverting and gives the first time
// at which the time rule held (or nothing within `limit`).
std::optional<TimePoint> FirstTimeTrigger(TimePoint start, std::int32_t sdtimer, seconds limit) {
  ManualClock clock(start);
  InvertingState st;
  const StatusTable t = Table(10);
  const SettingsRecord s = Rules(false, 59, 9, sdtimer);
  for (; clock.Now().wall <= start + limit; clock.Advance(1s)) {
    if (TriggerReached(st, s, t, clock.Now())) return clock.Now().wall;
  }
  return std::nullopt;
}

TEST(MonitorRulesTest, TimeRuleCountsMinuteBoundariesFromThePeriodStart) {
  EXPECT_EQ(FirstTimeTrigger(At(12h, 0min, 59s), 10, 1h), At(12h, 10min, 0s));
  EXPECT_EQ(FirstTimeTrigger(At(12h, 0min, 0s), 10, 1h), At(12h, 10min, 0s));
  EXPECT_EQ(FirstTimeTrigger(At(23h, 59min, 59s), 1, 1h), At(24h, 0min, 0s));
  EXPECT_EQ(FirstTimeTrigger(At(12h, 0min, 0s), 1440, 25h), At(36h, 0min, 0s));
  EXPECT_EQ(FirstTimeTrigger(At(12h, 0min, 0s), 0, 25h), std::nullopt);
}

// A computer without a real-time clock sets its time from the network during
// an outage: neither the time rule nor the battery monitor's freshness moves.
TEST(MonitorRulesTest, AWallClockStepMovesNoTrigger) {
  for (const seconds step : {seconds{2h}, -seconds{2h}}) {
    ManualClock clock(At(12h, 0min, 30s));
    InvertingState st;
    const SettingsRecord s = Rules(false, 60, 9, 2);
    StatusTable t = Table(10, 50, 40);
    EXPECT_FALSE(TriggerReached(st, s, t, clock.Now()));
    clock.Advance(10s);
    t.FndcLastSeen = clock.Now();  // SOC 40 below 60: fresh for 5 s
    clock.StepWall(step);
    clock.Advance(4s);
    EXPECT_TRUE(SocIsFresh(t, clock.Now())) << step.count();
    clock.Advance(1s);
    EXPECT_FALSE(SocIsFresh(t, clock.Now())) << step.count();
    // Two minute boundaries from 12:00:30 on the period's own count: 12:02:00.
    clock.Advance(1min + 14s);  // 12:01:59 as the period counts it
    EXPECT_FALSE(TriggerReached(st, s, t, clock.Now())) << step.count();
    clock.Advance(1s);
    EXPECT_TRUE(TriggerReached(st, s, t, clock.Now())) << step.count();
  }
}

TEST(MonitorRulesTest, TimeRuleRestartsWithANewPeriod) {
  ManualClock clock(At(12h, 0min, 0s));
  InvertingState st;
  const SettingsRecord s = Rules(false, 59, 9, 10);
  EXPECT_FALSE(TriggerReached(st, s, Table(10), clock.Now()));
  clock.Advance(9min);
  EXPECT_FALSE(TriggerReached(st, s, Table(0), clock.Now()));  // mains back: period ends
  clock.Advance(1min);
  EXPECT_FALSE(TriggerReached(st, s, Table(10), clock.Now()));  // new period at 12:10
  clock.Advance(9min + 59s);
  EXPECT_FALSE(TriggerReached(st, s, Table(10), clock.Now()));
  clock.Advance(1s);
  EXPECT_TRUE(TriggerReached(st, s, Table(10), clock.Now()));
}

TEST(MonitorRulesTest, OnlyIfInvertingBlocksEveryRuleOnMains) {
  ManualClock clock;
  InvertingState st;
  StatusTable t = Table(0, 10, 5);
  t.FndcLastSeen = clock.Now();
  EXPECT_FALSE(TriggerReached(st, Rules(true, 99, 48, 1), t, clock.Now()));
  EXPECT_FALSE(st.InvertingSince.has_value());
}

TEST(MonitorRulesTest, TrackInvertingTakesStartValuesAtTheFirstTickAndDropsAtTheEnd) {
  ManualClock clock(At(12h, 0min, 0s));
  InvertingState st;
  EXPECT_FALSE(TrackInverting(st, Table(0, 52, 95), clock.Now()));
  EXPECT_FALSE(st.InvertingSince.has_value());
  EXPECT_EQ(st.SocAtStart, -1);

  const Stamp start = clock.Now() + 1s;
  clock.Set(start);
  EXPECT_TRUE(TrackInverting(st, Table(20, 52, 95), clock.Now()));
  EXPECT_EQ(st.InvertingSince, start);
  EXPECT_EQ(st.SocAtStart, 95);
  EXPECT_EQ(st.VoltsAtStart, 52);

  clock.Advance(3725s - 1s);
  EXPECT_TRUE(TrackInverting(st, Table(25, 49, 80), clock.Now()));
  EXPECT_EQ(st.InvertingSince, start);  // later ticks keep the start values
  EXPECT_EQ(st.SocAtStart, 95);
  EXPECT_EQ(st.VoltsAtStart, 52);

  clock.Advance(1s);
  EXPECT_FALSE(TrackInverting(st, Table(0, 48, 77), clock.Now()));
  EXPECT_EQ(st.LastDuration, "00d 01:02:05");
  EXPECT_EQ(st.LastSocDrop, 18);
  EXPECT_EQ(st.LastVoltageDrop, 4);
  EXPECT_FALSE(st.InvertingSince.has_value());
  EXPECT_EQ(st.SocAtStart, -1);
  EXPECT_EQ(st.VoltsAtStart, -1);

  // The closed period's figures stay until the next one closes.
  clock.Advance(10s);
  EXPECT_FALSE(TrackInverting(st, Table(0, 40, 10), clock.Now()));
  EXPECT_EQ(st.LastDuration, "00d 01:02:05");
  EXPECT_EQ(st.LastSocDrop, 18);
}

TEST(MonitorRulesTest, StartValuesAreTakenAgainAfterAReload) {
  ManualClock clock;
  InvertingState st;
  ASSERT_TRUE(TrackInverting(st, Table(20, 52, 95), clock.Now()));
  const Stamp start = *st.InvertingSince;
  st.SocAtStart = st.VoltsAtStart = -1;  // what a reload that changes the inverter does
  clock.Advance(1s);
  ASSERT_TRUE(TrackInverting(st, Table(20, 51, 90), clock.Now()));
  EXPECT_EQ(st.InvertingSince, start);
  EXPECT_EQ(st.SocAtStart, 90);
  EXPECT_EQ(st.VoltsAtStart, 51);
}

TEST(MonitorRulesTest, DropsOfAPeriodWithoutStartValuesAreZero) {
  ManualClock clock;
  InvertingState st;
  ASSERT_TRUE(TrackInverting(st, Table(20, 52, 95), clock.Now()));
  st.SocAtStart = st.VoltsAtStart = -1;  // reload, and the period ends on the next tick
  clock.Advance(1s);
  EXPECT_FALSE(TrackInverting(st, Table(0, 48, 77), clock.Now()));
  EXPECT_EQ(st.LastSocDrop, 0);
  EXPECT_EQ(st.LastVoltageDrop, 0);
  EXPECT_EQ(st.LastDuration, "00d 00:00:01");
}

TEST(MonitorRulesTest, DropsSaturateInsteadOfOverflowing) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  ManualClock clock;
  InvertingState st;
  st.InvertingSince = clock.Now();
  st.SocAtStart = kMax;
  st.VoltsAtStart = kMin;
  EXPECT_FALSE(TrackInverting(st, Table(0, 1, -5), clock.Now()));
  EXPECT_EQ(st.LastSocDrop, kMax);
  EXPECT_EQ(st.LastVoltageDrop, kMin);
}

TEST(MonitorRulesTest, FormatDuration) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {0, "00d 00:00:00"},
      {-5, "00d 00:00:00"},
      {std::numeric_limits<double>::quiet_NaN(), "00d 00:00:00"},
      {1, "00d 00:00:01"},
      {59, "00d 00:00:59"},
      {60, "00d 00:01:00"},
      {61, "00d 00:01:01"},
      {3599, "00d 00:59:59"},
      {3600, "00d 01:00:00"},
      {3725, "00d 01:02:05"},
      {86399, "00d 23:59:59"},
      {86400, "00d 24:00:00"},
      {89999, "00d 24:59:59"},
      {90000, "01d 01:00:00"},
      {172800, "02d 00:00:00"},
      {100 * 86400.0 + 3600, "100d 01:00:00"},
      {0.4, "00d 00:00:00"},
      {0.5, "00d 00:00:00"},  // halves go to the even neighbour
      {1.5, "00d 00:00:02"},
      {2.5, "00d 00:00:02"},
      {59.6, "00d 00:01:00"},
      {86399.4, "00d 23:59:59"},
      {86399.5, "00d 24:00:00"},
      {86399.6, "00d 24:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.text) << c.seconds;
  // Absurd inputs still give a well-formed text.
  const std::string huge = FormatDuration(1e300);
  ASSERT_NE(huge.find("d "), std::string::npos);
  EXPECT_EQ(huge.size() - huge.find("d "), 10u) << huge;
}

}  // namespace
}  // namespace ebbmark
