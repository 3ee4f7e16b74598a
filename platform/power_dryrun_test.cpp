#include "platform/power_dryrun.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/fake_file_system.h"

namespace ebbmark {
namespace {

TEST(PowerDryRun, AppendsOneStampedJsonLinePerAction) {
  testing::FakeFileSystem fs;
  ManualClock clock(TimePoint{std::chrono::seconds{1'796'622'322}});
  auto power = MakeDryRunPowerControl(fs, clock, "/run/power.jsonl");
  EXPECT_FALSE(power->Perform(PowerKind::Shutdown, true));
  EXPECT_FALSE(power->Perform(PowerKind::Hibernate, false));
  clock.Advance(std::chrono::seconds{3});
  EXPECT_FALSE(power->Perform(PowerKind::Shutdown, false));
  EXPECT_FALSE(power->Perform(PowerKind::Hibernate, true));
  EXPECT_EQ(fs.files["/run/power.jsonl"],
            "{\"action\":\"shutdown\",\"force\":true,\"time\":\"2026-12-07T05:45:22Z\"}\n"
            "{\"action\":\"hibernate\",\"force\":false,\"time\":\"2026-12-07T05:45:22Z\"}\n"
            "{\"action\":\"shutdown\",\"force\":false,\"time\":\"2026-12-07T05:45:25Z\"}\n"
            "{\"action\":\"hibernate\",\"force\":true,\"time\":\"2026-12-07T05:45:25Z\"}\n");
}

TEST(PowerDryRun, RefusesWhatTheListNamesAndStillWritesItsLine) {
  const struct {
    const char* list;
    bool hibernate, shutdown, forced;
  } cases[] = {
      {"", false, false, false},
      {"hibernate", true, false, false},
      {"hibernate,shutdown", true, true, false},
      {"shutdown,forced-shutdown", false, true, true},
      {"Hibernate, shutdown,reboot", false, false, false},  // exact words only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    testing::FakeFileSystem fs;
    ManualClock clock;
    auto power = MakeDryRunPowerControl(fs, clock, "/p", ParseDryRunRefusals(c.list));
    const PowerRefusal h = power->Perform(PowerKind::Hibernate, false);
    const PowerRefusal hf = power->Perform(PowerKind::Hibernate, true);
    const PowerRefusal s = power->Perform(PowerKind::Shutdown, false);
    const PowerRefusal sf = power->Perform(PowerKind::Shutdown, true);
    EXPECT_EQ(static_cast<bool>(h), c.hibernate);
    EXPECT_EQ(static_cast<bool>(hf), c.hibernate);
    EXPECT_EQ(static_cast<bool>(s), c.shutdown);
    EXPECT_EQ(static_cast<bool>(sf), c.forced);
    if (h) {
      EXPECT_NE(h.Text().find("EBBMARK_POWER_DRYRUN_REFUSE"), std::string::npos);
    }
    const std::string& text = fs.files["/p"];
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_EQ(text.find("\"refused\":true") != std::string::npos,
              c.hibernate || c.shutdown || c.forced);
  }
}

}  // namespace
}  // namespace ebbmark
