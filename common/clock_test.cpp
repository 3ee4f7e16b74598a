#include "common/clock.h"

#include <gtest/gtest.h>

namespace ebbmark {
namespace {

using std::chrono::seconds;

TEST(ClockTest, MinuteBoundariesCountCalendarMinutesNotElapsedTime) {
  const TimePoint noon{seconds{1'800'000'000 - 1'800'000'000 % 60}};
  EXPECT_EQ(MinuteBoundaries(noon + seconds{59}, noon + seconds{60}), 1);
  EXPECT_EQ(MinuteBoundaries(noon, noon + seconds{59}), 0);
  EXPECT_EQ(MinuteBoundaries(noon + seconds{30}, noon + seconds{630}), 10);
  EXPECT_EQ(AgeSeconds(noon, noon + seconds{59}), 59);
}

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
  ManualClock c;
  const auto t0 = c.Now();
  c.Advance(seconds{5});
  EXPECT_EQ(AgeSeconds(t0, c.Now()), 5);
}

}  // namespace
}  // namespace ebbmark
