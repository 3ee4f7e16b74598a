#include "base/clock.h"

#include <gtest/gtest.h>

namespace ebbmark {
namespace {

using std::chrono::seconds;

TEST(ClockTest, MinuteBoundariesCountCalendarMinutesNotElapsedTime) {
  const Stamp noon{TimePoint{seconds{1'800'000'000 - 1'800'000'000 % 60}}, seconds{7}};
  EXPECT_EQ(MinuteBoundaries(noon + seconds{59}, noon + seconds{60}), 1);
  EXPECT_EQ(MinuteBoundaries(noon, noon + seconds{59}), 0);
  EXPECT_EQ(MinuteBoundaries(noon + seconds{30}, noon + seconds{630}), 10);
  EXPECT_EQ(AgeSeconds(noon, noon + seconds{59}), 59);
}

TEST(ClockTest, AWallClockStepMovesNoAgeAndNoMinuteCount) {
  for (const seconds step : {seconds{7200}, seconds{-7200}}) {
    ManualClock c;
    c.Set(TimePoint{seconds{1'800'000'000 - 1'800'000'000 % 60 + 30}});  // hh:mm:30
    const Stamp start = c.Now();
    c.Advance(seconds{20});
    c.StepWall(step);
    c.Advance(seconds{20});  // hh:(mm+1):10 as the period counts it
    EXPECT_EQ(AgeSeconds(start, c.Now()), 40) << step.count();
    EXPECT_EQ(MinuteBoundaries(start, c.Now()), 1) << step.count();
    EXPECT_EQ(c.Now().wall - start.wall, seconds{40} + step) << "display time follows the step";
  }
}

}  // namespace
}  // namespace ebbmark
