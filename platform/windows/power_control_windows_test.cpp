#include "platform/power_control.h"

#include <gtest/gtest.h>

#include "platform/windows/windows_test_support.h"

namespace ebbmark {
namespace {

// Only the dry run is tried here: the real calls would end the session.
TEST(WindowsPowerControlTest, TheDryRunVariableWritesInsteadOfActing) {
  testing::TempFolder dir;
  const std::string file = dir / "power.jsonl";
  testing::ScopedEnv dry(L"EBBMARK_POWER_DRYRUN", win::Widen(file));
  auto power = MakePowerControl();
  EXPECT_FALSE(power->Perform(PowerKind::Shutdown, true));
  EXPECT_FALSE(power->Perform(PowerKind::Hibernate, false));
  EXPECT_EQ(
      testing::ReadBytes(file),
      "{\"action\":\"shutdown\",\"force\":true}\n{\"action\":\"hibernate\",\"force\":false}\n");
}

TEST(WindowsPowerControlTest, ADryRunFileThatCannotBeWrittenIsAnError) {
  testing::TempFolder dir;
  testing::ScopedEnv dry(L"EBBMARK_POWER_DRYRUN", win::Widen(dir / "no folder\\power.jsonl"));
  EXPECT_TRUE(MakePowerControl()->Perform(PowerKind::Shutdown, false));
}

}  // namespace
}  // namespace ebbmark
