#include "config/model/frm_service.h"

#include <gtest/gtest.h>

#include "tests/support/tool_window_fakes.h"

namespace ebbmark {
namespace {

using testing::Open;
using testing::ToolWindowRig;
using State = testing::ScriptedServiceControl::State;

class ServiceWindow : public ::testing::Test {
 protected:
  ToolWindowRig rig;
  FrmService window{rig.Context()};
  int closed = 0;
  void SetUp() override {
    window.closed.Connect([this] { ++closed; });
  }
};

TEST_F(ServiceWindow, DesignedWindow) {
  EXPECT_EQ(window.Name(), "frmService");
  EXPECT_EQ(window.Caption(), "Ebbmark Service");
  EXPECT_EQ(window.lblService.Caption(), "Service");
  EXPECT_EQ(window.cmdAction.Caption(), "Start");
  EXPECT_EQ(window.cmdOK.Caption(), "OK");
  EXPECT_FALSE(window.cmdOK.Visible());
  EXPECT_EQ(window.cmdOK.Geometry(), window.cmdAction.Geometry());
}

TEST_F(ServiceWindow, EachStateAsShown) {
  struct Case {
    State state;
    const char* label;
    bool action;  // cmdAction offered (else only OK)
    const char* caption;
  };
  const Case cases[] = {
      {State::Missing, service_texts::kNotInstalled, false, "Start"},
      {State::Stopped, service_texts::kStopped, true, "Start"},
      {State::Running, service_texts::kRunning, true, "Stop"},
      // Starting, stopping or paused: neither running nor stopped.
      {State::Pending, service_texts::kStopped, true, "Start"},
  };
  for (const auto& c : cases) {
    ToolWindowRig r;
    r.service.state = c.state;
    FrmService w(r.Context());
    Open(w);
    EXPECT_EQ(w.lblService.Caption(), c.label);
    EXPECT_EQ(w.cmdAction.Visible(), c.action);
    EXPECT_EQ(w.cmdOK.Visible(), !c.action);
    if (c.action) {
      EXPECT_EQ(w.cmdAction.Caption(), c.caption);
    }
    for (const auto& name : r.service.names) EXPECT_EQ(name, "Ebbmark");
  }
}

TEST_F(ServiceWindow, NotInstalledOffersOnlyOk) {
  Open(window);
  window.cmdAction.Click();  // hidden: cannot be pressed
  EXPECT_EQ(closed, 0);
  window.cmdOK.Click();
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(window.Visible());
  EXPECT_EQ(rig.service.calls, (std::vector<std::string>{"installed"}));
  EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(ServiceWindow, StartAStoppedServiceAndClose) {
  rig.service.state = State::Stopped;
  MousePointer during = MousePointer::Default;
  rig.service.during_request = [&] { during = window.Pointer(); };
  Open(window);
  window.cmdAction.Click();
  EXPECT_EQ(rig.service.state, State::Running);
  EXPECT_EQ(during, MousePointer::Hourglass);
  EXPECT_EQ(window.Pointer(), MousePointer::Default);
  EXPECT_TRUE(rig.dialogs.shown.empty());
  EXPECT_EQ(closed, 1);
  // The window was refreshed before it closed.
  EXPECT_EQ(window.lblService.Caption(), service_texts::kRunning);
}

TEST_F(ServiceWindow, StopARunningServiceAndClose) {
  rig.service.state = State::Running;
  Open(window);
  window.cmdAction.Click();
  EXPECT_EQ(rig.service.state, State::Stopped);
  EXPECT_TRUE(rig.dialogs.shown.empty());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(rig.service.calls.back(), "running");
  EXPECT_NE(std::find(rig.service.calls.begin(), rig.service.calls.end(), "stop"),
            rig.service.calls.end());
}

TEST_F(ServiceWindow, PendingServiceStartsQuietly) {
  rig.service.state = State::Pending;
  Open(window);
  window.cmdAction.Click();
  EXPECT_TRUE(rig.dialogs.shown.empty());
  EXPECT_EQ(closed, 1);
}

TEST_F(ServiceWindow, FailuresAreReportedThenTheWindowCloses) {
  struct Case {
    State state;
    const char* title;
    const char* text;
  };
  const Case cases[] = {
      {State::Stopped, service_texts::kStartTitle, service_texts::kStartFailed},
      {State::Running, service_texts::kStopTitle, service_texts::kStopFailed},
  };
  for (const auto& c : cases) {
    ToolWindowRig r;
    r.service.state = c.state;
    r.service.start_ok = r.service.stop_ok = false;
    FrmService w(r.Context());
    int shut = 0;
    w.closed.Connect([&] { ++shut; });
    Open(w);
    w.cmdAction.Click();
    ASSERT_EQ(r.dialogs.shown.size(), 1u);
    EXPECT_EQ(r.dialogs.shown[0].title, c.title);
    EXPECT_EQ(r.dialogs.shown[0].text, c.text);
    EXPECT_EQ(r.dialogs.shown[0].icon, DialogIcon::Warning);
    EXPECT_EQ(r.dialogs.shown[0].buttons, DialogButtons::Ok);
    EXPECT_EQ(r.service.state, c.state);
    EXPECT_EQ(w.Pointer(), MousePointer::Default);
    EXPECT_EQ(shut, 1);
  }
}

TEST(ServiceWindowAnsweredLater, StaysUsableUntilTheAnswerAndFollowsTheState) {
  ToolWindowRig rig;
  testing::DeferredServiceWatch watch;
  ToolWindowContext ctx = rig.Context();
  FrmService w(ToolWindowContext{ctx.io, ctx.settings, watch, ctx.dialogs, ctx.mailer, ctx.shell,
                                 ctx.network, ctx.make_udp_socket, ctx.readme_path,
                                 ctx.computer_name});
  Open(w);
  w.cmdAction.Click();
  // Waiting for the answer: open, busy, the button not pressable twice.
  EXPECT_TRUE(w.Visible());
  EXPECT_EQ(w.Pointer(), MousePointer::Hourglass);
  EXPECT_FALSE(w.cmdAction.Enabled());
  ASSERT_EQ(watch.pending.size(), 1u);
  w.cmdAction.Click();
  EXPECT_EQ(watch.pending.size(), 1u);
  // The state moves on meanwhile, and the window shows it.
  watch.Report(ServiceState::Running);
  EXPECT_EQ(w.lblService.Caption(), service_texts::kRunning);
  watch.Answer(true);
  EXPECT_FALSE(w.Visible());
  EXPECT_EQ(w.Pointer(), MousePointer::Default);
  EXPECT_TRUE(rig.dialogs.shown.empty());
  // Closed, it no longer follows.
  watch.Report(ServiceState::Stopped);
  EXPECT_EQ(w.lblService.Caption(), service_texts::kRunning);
}

TEST(ServiceWindowAnsweredLater, ARefusalAfterTheWindowHasGoneIsStillReported) {
  ToolWindowRig rig;
  testing::DeferredServiceWatch watch;
  ToolWindowContext ctx = rig.Context();
  {
    FrmService w(ToolWindowContext{ctx.io, ctx.settings, watch, ctx.dialogs, ctx.mailer, ctx.shell,
                                   ctx.network, ctx.make_udp_socket, ctx.readme_path,
                                   ctx.computer_name});
    Open(w);
    w.cmdAction.Click();
    w.Close();
  }
  watch.Answer(false);
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].text, service_texts::kStartFailed);
}

}  // namespace
}  // namespace ebbmark
