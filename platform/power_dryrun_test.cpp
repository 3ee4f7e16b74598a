#include "platform/power_dryrun.h"

#include <gtest/gtest.h>

#include "tests/support/fake_file_system.h"

namespace ebbmark {
namespace {

TEST(PowerDryRun, AppendsOneJsonLinePerAction) {
  testing::FakeFileSystem fs;
  auto power = MakeDryRunPowerControl(fs, "/run/power.jsonl");
  EXPECT_FALSE(power->Perform(PowerKind::Shutdown, true));
  EXPECT_FALSE(power->Perform(PowerKind::Hibernate, false));
  EXPECT_FALSE(power->Perform(PowerKind::Shutdown, false));
  EXPECT_FALSE(power->Perform(PowerKind::Hibernate, true));
  EXPECT_EQ(fs.files["/run/power.jsonl"],
            "{\"action\":\"shutdown\",\"force\":true}\n"
            "{\"action\":\"hibernate\",\"force\":false}\n"
            "{\"action\":\"shutdown\",\"force\":false}\n"
            "{\"action\":\"hibernate\",\"force\":true}\n");
}

}  // namespace
}  // namespace ebbmark
