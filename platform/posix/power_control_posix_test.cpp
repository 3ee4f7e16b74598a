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

TEST(PowerControlPosix, TheDryRunVariableWritesInsteadOfActing) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("ebbmark-power-" + std::to_string(getpid()) + ".jsonl");
  std::filesystem::remove(file);
  {
    DryRunVariable dry(file.string());
    auto power = MakePowerControl();
    EXPECT_FALSE(power->Perform(PowerKind::Shutdown, true));
    EXPECT_FALSE(power->Perform(PowerKind::Hibernate, false));
  }
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "{\"action\":\"shutdown\",\"force\":true}\n"
            "{\"action\":\"hibernate\",\"force\":false}\n");
  std::filesystem::remove(file);
}

TEST(PowerControlPosix, ADryRunFileThatCannotBeWrittenIsAnError) {
  DryRunVariable dry("/nonexistent-folder-of-ebbmark/power.jsonl");
  EXPECT_TRUE(MakePowerControl()->Perform(PowerKind::Shutdown, false));
}

}  // namespace
}  // namespace ebbmark
