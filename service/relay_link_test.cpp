#include "service/relay_link.h"

#include <gtest/gtest.h>

#include "tests/support/service_fakes.h"

namespace ebbmark {
namespace {

using std::chrono::seconds;
using testing::FakeEventLog;
using testing::FakeTcpClient;
using testing::InverterLine;

constexpr const char* kRefused = "Could not connect to TCP host ";
constexpr const char* kWarned = "Lost TCP connection to host ";
constexpr const char* kReported = "Could not establish TCP connection to host ";

class RelayLinkTest : public ::testing::Test {
 protected:
  RelayLinkTest() : stream(clock), link(clock, tcp, stream, log, settings) {
    settings.TCPHost = "127.0.0.1";
    settings.TCPPort = 8467;
    stream.Table.MonitoredAddress = 0;
    link.SendLinkDownNotice = [this] { ++link_down_notices; };
  }

  // One upkeep pass, then the clock moves on half a second's worth of ticks.
  void TickFor(int secs) {
    for (int i = 0; i < secs * 2; ++i) {
      link.Upkeep();
      if (i % 2 == 1) clock.Advance(seconds{1});
    }
  }

  ManualClock clock;
  FakeTcpClient tcp;
  FakeEventLog log;
  SettingsRecord settings;
  StatusStream stream;
  RelayLink link;
  int link_down_notices = 0;
};

TEST_F(RelayLinkTest, GreetingIsDroppedOnlyAsTheProcessFirstChunk) {
  const std::string greeting = "Trellan relay v1.0 (0123456789)\r\n";
  EXPECT_TRUE(IsGreeting(greeting));
  EXPECT_FALSE(IsGreeting("Trellan relay v1.0 (012345678)\r\n"));
  EXPECT_FALSE(IsGreeting("trellan relay v1.0 (0123456789)\r\n"));
  EXPECT_FALSE(IsGreeting(greeting + InverterLine(0, 1, 120, 264)));

  link.Upkeep();
  tcp.Accept();
  tcp.Send(greeting);
  EXPECT_TRUE(stream.RecvBuffer.empty());
  tcp.Send(greeting);  // after a reconnection it is plain text
  EXPECT_FALSE(stream.RecvBuffer.empty());
}

TEST_F(RelayLinkTest, GreetingFollowedByALineIsData) {
  link.Upkeep();
  tcp.Accept();
  // The greeting's own LF then starts the line that follows it.
  tcp.Send("Trellan relay v1.0 (0123456789)\r\n" + InverterLine(0, 1, 120, 264).substr(1));
  EXPECT_EQ(stream.Table.AcInput[0], 120);
}

TEST_F(RelayLinkTest, NoHostMeansNoConnectionAndNoRecord) {
  settings.TCPHost.clear();
  TickFor(40);
  EXPECT_TRUE(tcp.connects.empty());
  EXPECT_TRUE(log.records.empty());
  EXPECT_FALSE(stream.LastDataStamp);
}

TEST_F(RelayLinkTest, RefusalIsLoggedOncePerRunOfRefusals) {
  for (int i = 0; i < 10; ++i) {
    link.Upkeep();  // connects
    tcp.Refuse();
    link.Upkeep();  // closes the failed socket
  }
  EXPECT_EQ(tcp.connects.size(), 10u);
  EXPECT_EQ(log.Count(kRefused), 1);
  EXPECT_EQ(log.records[0].type, kEventError);
  EXPECT_EQ(log.records[0].id, 109u);
  EXPECT_EQ(log.records[0].text,
            "Could not connect to TCP host 127.0.0.1 on port 8467.\r\n\r\nPlease check to make "
            "sure the host is operational and there is no\r\nhardware or software firewall in "
            "place between the Trellan host\r\nand this machine.");

  link.Upkeep();
  tcp.Accept();  // one success re-arms the record
  tcp.Close();
  link.Upkeep();
  tcp.Refuse();
  EXPECT_EQ(log.Count(kRefused), 2);
}

TEST_F(RelayLinkTest, QuietLinkWarnsAtFiveAndReportsAtThirtySecondsOnce) {
  link.Upkeep();
  tcp.Accept();
  tcp.Send(InverterLine(0, 0, 120, 264));
  TickFor(4);
  EXPECT_TRUE(log.records.empty());
  TickFor(2);
  EXPECT_EQ(log.Count(kWarned), 1);
  EXPECT_EQ(log.records[0].type, kEventWarning);
  TickFor(30);
  EXPECT_EQ(log.Count(kReported), 1);
  EXPECT_EQ(link_down_notices, 1);

  // Recovery and a second outage: neither notice comes again.
  if (tcp.State() == kSockClosed) link.Upkeep();
  tcp.Accept();
  tcp.Send(InverterLine(0, 0, 120, 264));
  TickFor(40);
  EXPECT_EQ(log.Count(kWarned), 1);
  EXPECT_EQ(log.Count(kReported), 1);
  EXPECT_EQ(link_down_notices, 1);

  // Only an emptied stamp (a restart or new settings) re-arms them.
  stream.LastDataStamp.reset();
  link.Upkeep();
  EXPECT_FALSE(link.LinkLostWarned);
  EXPECT_FALSE(link.LinkLostReported);
}

TEST_F(RelayLinkTest, FirstCheckPastThirtySecondsGivesOnlyTheError) {
  stream.LastDataStamp = clock.Now();
  clock.Advance(seconds{31});
  link.Upkeep();
  EXPECT_EQ(log.Count(kWarned), 0);
  EXPECT_EQ(log.Count(kReported), 1);
}

// A computer that sets its time from the network while the link is quiet:
// the notices keep their moments, in either direction.
TEST_F(RelayLinkTest, AWallClockStepMovesNoLinkNotice) {
  for (const seconds step : {seconds{7200}, seconds{-7200}}) {
    FakeEventLog step_log;
    StatusStream step_stream(clock);
    RelayLink step_link(clock, tcp, step_stream, step_log, settings);
    step_stream.LastDataStamp = clock.Now();
    clock.Advance(seconds{2});
    clock.StepWall(step);
    step_link.Upkeep();
    EXPECT_EQ(step_log.records.size(), 0u) << step.count();
    clock.Advance(seconds{3});
    step_link.Upkeep();
    EXPECT_EQ(step_log.Count(kWarned), 1) << step.count();
    EXPECT_EQ(step_log.Count(kReported), 0) << step.count();
    clock.Advance(seconds{24});
    step_link.Upkeep();
    EXPECT_EQ(step_log.Count(kReported), 0) << "29 s quiet" << step.count();
    clock.Advance(seconds{1});
    step_link.Upkeep();
    EXPECT_EQ(step_log.Count(kReported), 1) << step.count();
  }
}

TEST_F(RelayLinkTest, AcceptingButSilentRelayCountsFromTheFirstAttempt) {
  link.Upkeep();
  ASSERT_TRUE(stream.LastDataStamp);
  tcp.Accept();
  TickFor(31);
  EXPECT_EQ(log.Count(kWarned), 1);
  EXPECT_EQ(log.Count(kReported), 1);
}

TEST_F(RelayLinkTest, FreshConnectionGetsFiveSecondsForItsFirstLine) {
  // An outage of 40 s: the stamp is old when the relay comes back.
  link.Upkeep();
  tcp.Accept();
  tcp.Send(InverterLine(0, 0, 120, 264));
  TickFor(40);
  if (tcp.State() != kSockClosed) tcp.Close();
  link.Upkeep();
  tcp.Accept();
  const auto closes = tcp.closes;
  clock.Advance(seconds{1});
  link.Upkeep();
  link.Upkeep();
  EXPECT_EQ(tcp.State(), kSockConnected);  // not closed though the stamp is old
  tcp.Send(InverterLine(0, 0, 120, 264));
  TickFor(3);
  EXPECT_EQ(tcp.closes, closes);
  EXPECT_EQ(tcp.State(), kSockConnected);

  // Still silent after the grace: the quiet rule applies again.
  TickFor(6);
  EXPECT_GT(tcp.closes, closes);
}

TEST_F(RelayLinkTest, HangingConnectIsAbandonedAfterTenSeconds) {
  link.Upkeep();
  ASSERT_EQ(tcp.connects.size(), 1u);
  TickFor(9);
  EXPECT_EQ(tcp.State(), kSockConnecting);
  TickFor(2);
  EXPECT_GE(tcp.connects.size(), 2u);
}

}  // namespace
}  // namespace ebbmark
