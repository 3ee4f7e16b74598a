#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/service_watch.h"
#include "tests/support/systemd_stand_in_posix.h"

namespace ebbmark {
namespace {

using testing::PrivateBus;
using testing::RunUntil;
using testing::SystemdStandIn;

class SystemdWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus.Address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    ASSERT_TRUE(systemd.Ok());
  }
  void Watch() {
    watch = MakeServiceWatch(io, kServiceName, bus.Address());
    watch->Subscribe([this] { seen.push_back(watch->State()); });
  }
  bool Reaches(ServiceState s) {
    return RunUntil(io, [&] { return watch->State() == s && !seen.empty() && seen.back() == s; });
  }

  asio::io_context io;
  PrivateBus bus;
  SystemdStandIn systemd{io, bus.Address()};
  std::unique_ptr<ServiceWatch> watch;
  std::vector<ServiceState> seen;
};

TEST_F(SystemdWatch, FollowsTheUnitFromInstallationThroughStartAndStop) {
  Watch();
  EXPECT_EQ(watch->State(), ServiceState::Unknown);
  ASSERT_TRUE(Reaches(ServiceState::NotInstalled));
  EXPECT_GE(systemd.subscribes, 1);  // systemd signals only to subscribers

  systemd.Install();
  ASSERT_TRUE(Reaches(ServiceState::Stopped));
  systemd.SetActiveState("activating");
  ASSERT_TRUE(Reaches(ServiceState::Starting));
  systemd.SetActiveState("active");
  ASSERT_TRUE(Reaches(ServiceState::Running));
  EXPECT_TRUE(watch->Running());
  systemd.SetActiveState("deactivating");
  ASSERT_TRUE(Reaches(ServiceState::Stopping));
  systemd.SetActiveState("failed");
  ASSERT_TRUE(Reaches(ServiceState::Stopped));
  systemd.Uninstall();
  ASSERT_TRUE(Reaches(ServiceState::NotInstalled));
  EXPECT_FALSE(watch->Installed());
}

TEST_F(SystemdWatch, StartAndStopAskInteractivelyAndAnswerLater) {
  systemd.Install("inactive");
  Watch();
  ASSERT_TRUE(Reaches(ServiceState::Stopped));

  std::optional<bool> started;
  watch->Start([&](bool ok) { started = ok; });
  EXPECT_FALSE(started);  // never before the manager has answered
  ASSERT_TRUE(RunUntil(io, [&] { return started.has_value(); }));
  EXPECT_TRUE(*started);
  ASSERT_EQ(systemd.requests.size(), 1u);
  EXPECT_EQ(systemd.requests[0].method, "StartUnit");
  EXPECT_EQ(systemd.requests[0].unit, "ebbmark.service");
  EXPECT_EQ(systemd.requests[0].mode, "replace");
  EXPECT_TRUE(systemd.requests[0].interactive);

  systemd.SetActiveState("active");
  ASSERT_TRUE(Reaches(ServiceState::Running));
  systemd.refuse_with = "org.freedesktop.DBus.Error.AccessDenied";
  std::optional<bool> stopped;
  watch->Stop([&](bool ok) { stopped = ok; });
  ASSERT_TRUE(RunUntil(io, [&] { return stopped.has_value(); }));
  EXPECT_FALSE(*stopped);
  ASSERT_EQ(systemd.requests.size(), 2u);
  EXPECT_EQ(systemd.requests[1].method, "StopUnit");
  EXPECT_TRUE(systemd.requests[1].interactive);

  // Nothing to do: no call, a quiet success.
  std::optional<bool> again;
  watch->Start([&](bool ok) { again = ok; });
  ASSERT_TRUE(RunUntil(io, [&] { return again.has_value(); }));
  EXPECT_TRUE(*again);
  EXPECT_EQ(systemd.requests.size(), 2u);
}

TEST_F(SystemdWatch, APendingPasswordQuestionLeavesTheLoopRunning) {
  systemd.Install("inactive");
  Watch();
  ASSERT_TRUE(Reaches(ServiceState::Stopped));
  systemd.hold_answers = true;
  std::optional<bool> started;
  watch->Start([&](bool ok) { started = ok; });
  ASSERT_TRUE(RunUntil(io, [&] { return systemd.requests.size() == 1; }));
  // Meanwhile the state still follows the unit.
  systemd.SetActiveState("activating");
  ASSERT_TRUE(Reaches(ServiceState::Starting));
  EXPECT_FALSE(started);
  systemd.Release();
  ASSERT_TRUE(RunUntil(io, [&] { return started.has_value(); }));
  EXPECT_TRUE(*started);

  // A watch that goes away with a question outstanding never answers.
  systemd.SetActiveState("inactive");
  ASSERT_TRUE(Reaches(ServiceState::Stopped));
  bool called = false;
  watch->Start([&](bool) { called = true; });
  ASSERT_TRUE(RunUntil(io, [&] { return systemd.requests.size() == 2; }));
  watch.reset();
  systemd.Release();
  RunUntil(
      io, [] { return false; }, 20);
  EXPECT_FALSE(called);
}

TEST(SystemdWatchWithoutBus, CountsAsUnreachableAndRefusesRequests) {
  asio::io_context io;
  auto watch = MakeServiceWatch(io, kServiceName, "unix:path=/nonexistent/ebbmark-bus");
  // Not "not installed": the service may be there, only nobody could be asked.
  ASSERT_TRUE(RunUntil(io, [&] { return watch->State() == ServiceState::Unreachable; }));
  EXPECT_FALSE(watch->Installed());
  EXPECT_EQ(watch->UnreachableReason(), "there is no system bus to ask it on");
  std::optional<bool> started;
  watch->Start([&](bool ok) { started = ok; });
  ASSERT_TRUE(RunUntil(io, [&] { return started.has_value(); }));
  EXPECT_FALSE(*started);
}

TEST(SystemdWatchOnABusWithoutSystemd, CountsAsUnreachable) {
  PrivateBus bus;
  if (bus.Address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
  asio::io_context io;
  auto watch = MakeServiceWatch(io, kServiceName, bus.Address());
  ASSERT_TRUE(RunUntil(io, [&] { return watch->State() != ServiceState::Unknown; }))
      << static_cast<int>(watch->State());
  ASSERT_EQ(watch->State(), ServiceState::Unreachable);
  EXPECT_EQ(watch->UnreachableReason(), "it is not on the system bus");
}

}  // namespace
}  // namespace ebbmark
