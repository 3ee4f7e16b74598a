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
  testing::ScopedEnv refuse(L"EBBMARK_POWER_DRYRUN_REFUSE", L"hibernate");
  auto power = MakePowerControl();
  EXPECT_FALSE(power->Perform(PowerKind::Shutdown, true));
  EXPECT_TRUE(power->Perform(PowerKind::Hibernate, false)) << "refused, as the switch asks";
  const std::string text = testing::ReadBytes(file).value_or("");
  EXPECT_EQ(text.rfind("{\"action\":\"shutdown\",\"force\":true,\"time\":\"", 0), 0u) << text;
  EXPECT_NE(text.find("\n{\"action\":\"hibernate\",\"force\":false,\"refused\":true,\"time\":\""),
            std::string::npos)
      << text;
}

TEST(WindowsPowerControlTest, ADryRunFileThatCannotBeWrittenIsAnError) {
  testing::TempFolder dir;
  testing::ScopedEnv dry(L"EBBMARK_POWER_DRYRUN", win::Widen(dir / "no folder\\power.jsonl"));
  EXPECT_TRUE(MakePowerControl()->Perform(PowerKind::Shutdown, false));
}

}  // namespace
}  // namespace ebbmark
