#include "platform/power_control.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ebbmark {
namespace {

// Sets EBBMARK_POWER_DRYRUN for one test and restores the previous state.
class DryRunVariable {
 public:
  explicit DryRunVariable(const std::string& value) {
    if (const char* old = getenv(kName)) old_ = old;
    setenv(kName, value.c_str(), 1);
  }
  ~DryRunVariable() {
    if (old_.empty())
      unsetenv(kName);
    else
      setenv(kName, old_.c_str(), 1);
  }

 private:
  static constexpr const char* kName = "EBBMARK_POWER_DRYRUN";
  std::string old_;
};

TEST(PowerControlPosix, TheDryRunVariablesWriteAndRefuseInsteadOfActing) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("ebbmark-power-" + std::to_string(getpid()) + ".jsonl");
  std::filesystem::remove(file);
  {
    DryRunVariable dry(file.string());
    setenv("EBBMARK_POWER_DRYRUN_REFUSE", "shutdown", 1);
    auto power = MakePowerControl();
    unsetenv("EBBMARK_POWER_DRYRUN_REFUSE");
    EXPECT_FALSE(power->Perform(PowerKind::Shutdown, true));
    EXPECT_FALSE(power->Perform(PowerKind::Hibernate, false));
    EXPECT_TRUE(power->Perform(PowerKind::Shutdown, false)) << "refused, as the switch asks";
  }
  std::ifstream in(file);
  std::string lines[3];
  for (auto& line : lines) std::getline(in, line);
  EXPECT_EQ(lines[0].rfind(R"({"action":"shutdown","force":true,"time":")", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind(R"({"action":"hibernate","force":false,"time":")", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind(R"({"action":"shutdown","force":false,"refused":true,"time":")", 0), 0u)
      << lines[2];
  std::filesystem::remove(file);
}

TEST(PowerControlPosix, ADryRunFileThatCannotBeWrittenIsAnError) {
  DryRunVariable dry("/nonexistent-folder-of-ebbmark/power.jsonl");
  EXPECT_TRUE(MakePowerControl()->Perform(PowerKind::Shutdown, false));
}

}  // namespace
}  // namespace ebbmark
