#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/service_control.h"
#include "platform/posix/posix_test_support.h"
#include "platform/posix/systemctl_posix.h"

namespace ebbmark {
namespace {

using testing::ScopedEnv;
using testing::StandInSystemctl;
using testing::TempFolder;

const std::string kShow = "show --property=LoadState --property=ActiveState ebbmark.service";
const std::string kStart = "start --no-block ebbmark.service";
const std::string kStop = "stop --no-block ebbmark.service";

struct StateCase {
  const char* load_state;
  const char* active_state;
  bool installed;
  bool running;
  bool start_result;
  bool start_called;
  bool stop_result;
  bool stop_called;
};

TEST(PosixServiceControlTest, FollowsTheUnitState) {
  const std::vector<StateCase> cases = {
      {"loaded", "active", true, true, true, false, true, true},
      {"loaded", "reloading", true, true, true, false, true, true},
      {"loaded", "inactive", true, false, true, true, true, false},
      {"loaded", "failed", true, false, true, true, true, false},
      {"loaded", "activating", true, false, true, false, true, false},
      {"loaded", "deactivating", true, false, true, false, true, false},
      {"bad-setting", "inactive", true, false, true, true, true, false},
      {"not-found", "inactive", false, false, false, false, false, false},
      {"", "", false, false, false, false, false, false},
  };
  ServiceControl& control = SystemServiceControl();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.load_state) + "/" + c.active_state);
    StandInSystemctl systemctl;
    systemctl.SetUnit(c.load_state, c.active_state);

    EXPECT_EQ(control.IsServiceInstalled(kServiceName), c.installed);
    EXPECT_EQ(control.IsServiceRunning(kServiceName), c.running);
    EXPECT_EQ(control.StartNamedService(kServiceName), c.start_result);
    EXPECT_EQ(control.StopNamedService(kServiceName), c.stop_result);

    std::vector<std::string> expected = {kShow, kShow, kShow};
    if (c.start_called) expected.push_back(kStart);
    expected.push_back(kShow);
    if (c.stop_called) expected.push_back(kStop);
    EXPECT_EQ(systemctl.Calls(), expected);
  }
}

TEST(PosixServiceControlTest, FailuresOfSystemctlAreFalse) {
  ServiceControl& control = SystemServiceControl();
  {
    // No systemd to ask (systemctl fails as it does in a container).
    StandInSystemctl systemctl;
    systemctl.SetUnit("loaded", "active");
    systemctl.SetExit("show", 1);
    EXPECT_FALSE(control.IsServiceInstalled(kServiceName));
    EXPECT_FALSE(control.IsServiceRunning(kServiceName));
    EXPECT_FALSE(control.StartNamedService(kServiceName));
    EXPECT_FALSE(control.StopNamedService(kServiceName));
  }
  {
    // The request itself is refused.
    StandInSystemctl systemctl;
    systemctl.SetUnit("loaded", "inactive");
    systemctl.SetExit("start", 4);
    EXPECT_FALSE(control.StartNamedService(kServiceName));
    systemctl.SetUnit("loaded", "active");
    systemctl.SetExit("stop", 1);
    EXPECT_FALSE(control.StopNamedService(kServiceName));
  }
  {
    // No systemctl at all.
    TempFolder empty;
    ScopedEnv path("PATH", empty.path());
    EXPECT_FALSE(control.IsServiceInstalled(kServiceName));
    EXPECT_FALSE(control.StartNamedService(kServiceName));
    EXPECT_FALSE(control.StopNamedService(kServiceName));
  }
}

TEST(PosixServiceControlTest, ANameThatIsNoUnitIsNeverPassedOn) {
  StandInSystemctl systemctl;
  systemctl.SetUnit("loaded", "active");
  ServiceControl& control = SystemServiceControl();
  for (const char* name : {"", "--all", "Ebbmark other", "../Ebbmark", "Ebb\nmark"}) {
    EXPECT_FALSE(control.IsServiceInstalled(name)) << name;
    EXPECT_FALSE(control.StopNamedService(name)) << name;
  }
  EXPECT_TRUE(systemctl.Calls().empty());
}

TEST(PosixSystemctlTest, UnitNames) {
  EXPECT_EQ(UnitName("Ebbmark"), "ebbmark.service");
  EXPECT_EQ(UnitName("ebbmark-2"), "ebbmark-2.service");
  EXPECT_EQ(UnitName("-x"), "");
  EXPECT_EQ(UnitName("a/b"), "");
}

TEST(PosixSystemctlTest, CapturesOutputAndExitCode) {
  StandInSystemctl systemctl;
  systemctl.SetOutput("show", "LoadState=loaded\n");
  systemctl.SetExit("show", 3);
  const auto result = RunSystemctl({"show", "an argument with blanks; $(no shell)"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.output, "LoadState=loaded\n");
  EXPECT_EQ(systemctl.Calls(),
            std::vector<std::string>{"show an argument with blanks; $(no shell)"});
}

}  // namespace
}  // namespace ebbmark
