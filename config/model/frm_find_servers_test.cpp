#include "config/model/frm_find_servers.h"

#include <gtest/gtest.h>

#include "tests/support/tool_window_fakes.h"

namespace ebbmark {
namespace {

using testing::Ipv4;
using testing::Open;
using testing::ToolWindowRig;

class FindServers : public ::testing::Test {
 protected:
  FindServers() {
    rig.network.Add(Ipv4(127, 0, 0, 1), Ipv4(255, 0, 0, 0));
    rig.network.Add(Ipv4(192, 168, 1, 20), Ipv4(255, 255, 255, 0));
    rig.settings.TCPHost = "10.9.9.9";
    rig.settings.TCPPort = 8467;
  }
  testing::FakeUdpSocket& Socket() { return *rig.sockets.last; }
  void Answer(const std::string& data, const std::string& sender) { Socket().Answer(data, sender); }

  ToolWindowRig rig;
  FrmFindServers finder{rig.Context()};
};

TEST_F(FindServers, DesignedWindow) {
  EXPECT_EQ(finder.Name(), "frmFindServers");
  EXPECT_EQ(finder.Caption(), "Find Trellan Servers");
  EXPECT_EQ(finder.lblHostName.Caption(), "Host Name:");
  EXPECT_EQ(finder.lblAddress.Caption(), "Address:");
  EXPECT_EQ(finder.cmdSelect.Caption(), "Select");
  EXPECT_TRUE(finder.cmdSelect.IsDefault());  // Enter in the address box selects
  EXPECT_EQ(finder.Height(), FrmFindServers::kShortHeight);
  // Rows top to bottom, none over another: the list, the search's state,
  // the address with its button, its hint, and the host name, which lies
  // below the short window and inside the tall one.
  const auto bottom = [](const Control& c) { return c.Top() + c.Height(); };
  EXPECT_GT(finder.lblSearch.Top(), bottom(finder.lstServers));
  EXPECT_EQ(finder.lblNoNetwork.Geometry(), finder.lblSearch.Geometry());
  EXPECT_GT(finder.txtAddress.Top(), bottom(finder.lblSearch));
  EXPECT_GT(finder.cmdSelect.Left(), finder.txtAddress.Left() + finder.txtAddress.Width());
  EXPECT_GT(finder.lblAddressHint.Top(), bottom(finder.cmdSelect));
  EXPECT_GT(finder.txtHostName.Top(), bottom(finder.lblAddressHint));
  EXPECT_GE(FrmFindServers::kTallHeight - FrmFindServers::kShortHeight,
            finder.txtHostName.Height() + 60);
}

TEST_F(FindServers, QueriesEveryNetworkOnceAndNeverLoopback) {
  rig.network.Add(Ipv4(192, 168, 1, 21), Ipv4(255, 255, 255, 0));  // same network again
  rig.network.Add(Ipv4(10, 0, 0, 5), Ipv4(255, 0, 0, 0));
  rig.network.Add(Ipv4(127, 0, 1, 1), Ipv4(255, 0, 0, 0));
  rig.settings.UDPBPort = 9001;
  Open(finder);

  ASSERT_EQ(rig.sockets.made, 1);
  EXPECT_EQ(Socket().binds, 1);
  const auto& sent = Socket().sent;
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].address, "192.168.1.255");
  EXPECT_EQ(sent[1].address, "10.255.255.255");
  for (const auto& d : sent) {
    EXPECT_EQ(d.port, 9001);
    EXPECT_EQ(d.data, "Quorral");
    EXPECT_NE(d.address.rfind("127.", 0), 0u);
  }
  EXPECT_EQ(finder.lstServers.ListCount(), 0);
  EXPECT_FALSE(finder.lblNoNetwork.Visible());
  EXPECT_EQ(finder.Height(), FrmFindServers::kShortHeight);
}

TEST_F(FindServers, ListsEachRelayOnceInOrderOfArrival) {
  Open(finder);
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  Answer("\nTCP,garage,8470,1,0,0\r", "192.168.1.31");
  Answer("\nTCP,shed,8467,3,0,1\r", "192.168.1.30");    // heard a second network's query
  Answer("\nTCP,shed-2,8468,1,0,1\r", "192.168.1.30");  // a second relay on the same host
  Answer("\nTCP,garage,8470,1,0,0\r", "192.168.1.31");
  Answer("TCP,nolf,8467,2,0,1\r", "192.168.1.32");
  Answer("\nTCP,nocr,8467,2,0,1", "192.168.1.33");
  Answer("\nTCP,short,8467,2,0\r", "192.168.1.34");
  Answer("Quorral", "192.168.1.20");  // our own query, heard back

  EXPECT_EQ(finder.lstServers.Items(),
            (std::vector<std::string>{"192.168.1.30\t2 Inverters, 1 FNDC",
                                      "192.168.1.31\t1 Inverter, 0 FNDC",
                                      "192.168.1.30\t1 Inverter, 1 FNDC"}));
  ASSERT_EQ(finder.Entries().size(), 3u);
  EXPECT_EQ(finder.Entries()[0].host_name, "shed");  // the first answer is kept
  EXPECT_EQ(finder.Entries()[1].host_name, "garage");
  EXPECT_EQ(finder.Entries()[1].port, 8470);
  EXPECT_EQ(finder.Entries()[2].port, 8468);
}

TEST_F(FindServers, KeepsAtMost101Relays) {
  Open(finder);
  for (int i = 0; i < 150; ++i) {
    Answer("\nTCP,r" + std::to_string(i) + "," + std::to_string(9000 + i) + ",1,0,1\r",
           "192.168.1.40");
    Answer("\nTCP,again,9000,1,0,1\r", "192.168.1.40");  // repeats never take a place
  }
  EXPECT_EQ(finder.lstServers.ListCount(), 101);
  EXPECT_EQ(finder.Entries().size(), 101u);
  EXPECT_EQ(finder.Entries().back().host_name, "r100");
}

TEST_F(FindServers, ClickShowsTheHostNameRow) {
  Open(finder);
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  Answer("\nTCP,garage,8470,1,0,0\r", "192.168.1.31");
  // Nothing is chosen until the user clicks: the row is hidden, not only
  // below the window's edge.
  EXPECT_EQ(finder.lstServers.ListIndex(), -1);
  EXPECT_FALSE(finder.txtHostName.Visible());
  EXPECT_FALSE(finder.lblHostName.Visible());
  finder.lstServers.SetListIndex(1);
  EXPECT_EQ(finder.Height(), FrmFindServers::kTallHeight);
  EXPECT_TRUE(finder.txtHostName.Visible());
  EXPECT_TRUE(finder.lblHostName.Visible());
  EXPECT_EQ(finder.txtHostName.Text(), "garage");
  finder.lstServers.SetListIndex(0);
  EXPECT_EQ(finder.txtHostName.Text(), "shed");
  EXPECT_TRUE(finder.Visible());
  EXPECT_EQ(rig.settings.TCPHost, "10.9.9.9");  // a click chooses nothing
}

TEST_F(FindServers, DoubleClickChoosesTheSenderAddressAndCloses) {
  int closed = 0;
  finder.closed.Connect([&] { ++closed; });
  Open(finder);
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  Answer("\nTCP,garage,8470.5,1,0,0\r", "192.168.1.31");
  finder.lstServers.SetListIndex(1);
  finder.lstServers.DoubleClick();

  EXPECT_EQ(rig.settings.TCPHost, "192.168.1.31");  // not "garage"
  EXPECT_EQ(rig.settings.TCPPort, 8470);            // rounded half to even
  EXPECT_FALSE(finder.Visible());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(rig.sockets.last, nullptr);  // the socket is released
}

TEST_F(FindServers, AnswerWithoutPortGivesPortZero) {
  Open(finder);
  Answer("\nTCP,odd,none,1,0,1\r", "192.168.1.30");
  finder.lstServers.SetListIndex(0);
  finder.lstServers.DoubleClick();
  EXPECT_EQ(rig.settings.TCPHost, "192.168.1.30");
  EXPECT_EQ(rig.settings.TCPPort, 0);
}

TEST_F(FindServers, DoubleClickWithoutSelectionDoesNothing) {
  Open(finder);
  finder.lstServers.DoubleClick();  // empty list
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  finder.lstServers.DoubleClick();  // nothing selected
  EXPECT_TRUE(finder.Visible());
  EXPECT_EQ(rig.settings.TCPHost, "10.9.9.9");
  EXPECT_EQ(rig.settings.TCPPort, 8467);
}

TEST_F(FindServers, ClosingWithoutChoiceChangesNothingAndStopsListening) {
  Open(finder);
  auto* socket = rig.sockets.last;
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  finder.Close();
  EXPECT_EQ(rig.sockets.last, nullptr);
  EXPECT_NE(socket, nullptr);
  EXPECT_EQ(rig.settings.TCPHost, "10.9.9.9");
  EXPECT_EQ(rig.settings.TCPPort, 8467);
}

TEST_F(FindServers, EachOpeningStartsAfresh) {
  Open(finder);
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  finder.lstServers.SetListIndex(0);
  finder.Close();

  Open(finder);
  EXPECT_EQ(rig.sockets.made, 2);
  EXPECT_EQ(Socket().sent.size(), 1u);
  EXPECT_EQ(finder.lstServers.ListCount(), 0);
  EXPECT_EQ(finder.txtHostName.Text(), "");
  EXPECT_EQ(finder.Height(), FrmFindServers::kShortHeight);
}

TEST_F(FindServers, NoNetworkBesidesLoopback) {
  rig.network.rows.resize(1);  // loopback only
  Open(finder);
  EXPECT_EQ(rig.sockets.made, 0);
  EXPECT_EQ(finder.lstServers.ListCount(), 0);
  EXPECT_TRUE(finder.lblNoNetwork.Visible());
  EXPECT_EQ(finder.lblNoNetwork.Caption(), find_servers_texts::kNoNetwork);
  EXPECT_FALSE(finder.txtHostName.Visible());
  EXPECT_FALSE(finder.lblSearch.Visible());  // nothing is searched for
  EXPECT_FALSE(finder.Searching());
  EXPECT_EQ(finder.Height(), FrmFindServers::kShortHeight);
  finder.lstServers.DoubleClick();
  EXPECT_TRUE(finder.Visible());
  EXPECT_EQ(rig.settings.TCPHost, "10.9.9.9");
}

TEST_F(FindServers, UnreadableTableOrNoSocket) {
  rig.network.readable = false;
  Open(finder);
  EXPECT_EQ(finder.lblNoNetwork.Caption(), find_servers_texts::kNoNetwork);
  finder.Close();

  rig.network.readable = true;
  rig.sockets.bind_ok = false;
  Open(finder);
  EXPECT_EQ(rig.sockets.last, nullptr);  // the unbound socket is not kept
  EXPECT_TRUE(finder.lblNoNetwork.Visible());
  EXPECT_EQ(finder.lblNoNetwork.Caption(), find_servers_texts::kNoSocket);
  finder.Close();

  // The note is gone once a search can run again.
  rig.sockets.bind_ok = true;
  Open(finder);
  EXPECT_FALSE(finder.lblNoNetwork.Visible());
  EXPECT_FALSE(finder.txtHostName.Visible());  // until an entry is selected
  EXPECT_EQ(finder.Height(), FrmFindServers::kShortHeight);
}

TEST_F(FindServers, ShownModallyTheUserPicksARelay) {
  finder.modal_runner = [&](Window& self, Window*) {
    ASSERT_EQ(&self, &finder);
    Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
    finder.lstServers.SetListIndex(0);
    finder.lstServers.DoubleClick();
  };
  finder.ShowModal(nullptr);
  EXPECT_EQ(rig.settings.TCPHost, "192.168.1.30");
  EXPECT_EQ(rig.settings.TCPPort, 8467);
  EXPECT_FALSE(finder.Visible());
}

TEST_F(FindServers, SaysWhileItSearchesAndWhenNoRelayAnswered) {
  Open(finder);
  EXPECT_TRUE(finder.Searching());
  EXPECT_TRUE(finder.lblSearch.Visible());
  EXPECT_EQ(finder.lblSearch.Caption(), "Searching\xE2\x80\xA6");
  finder.tmrSearch_Timer();
  EXPECT_FALSE(finder.Searching());
  EXPECT_TRUE(finder.lblSearch.Visible());
  EXPECT_EQ(finder.lblSearch.Caption(), find_servers_texts::kNoAnswer);
  // A relay that answers late is still listed, and the note goes.
  Answer("\nTCP,slow,8467,1,0,1\r", "192.168.1.30");
  EXPECT_EQ(finder.lstServers.ListCount(), 1);
  EXPECT_FALSE(finder.lblSearch.Visible());
  finder.Close();

  // An answer in time: the list speaks for itself once the search ends.
  Open(finder);
  EXPECT_EQ(finder.lblSearch.Caption(), find_servers_texts::kSearching);
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  EXPECT_TRUE(finder.lblSearch.Visible());
  finder.tmrSearch_Timer();
  EXPECT_FALSE(finder.lblSearch.Visible());
  finder.Close();
  EXPECT_FALSE(finder.Searching());
}

TEST_F(FindServers, TheSearchEndsOnItsOwnOnTheLoop) {
  Open(finder);
  ASSERT_TRUE(finder.Searching());
  // Bounded in count and in time; the wait is the finder's own.
  for (int i = 0; i < 100 && finder.Searching(); ++i) {
    rig.io.restart();
    rig.io.run_for(FrmFindServers::kSearchWait / 10);
  }
  EXPECT_FALSE(finder.Searching());
  EXPECT_EQ(finder.lblSearch.Caption(), find_servers_texts::kNoAnswer);
}

TEST_F(FindServers, OpensWithTheConfiguredRelayInTheAddressBox) {
  Open(finder);
  EXPECT_EQ(finder.txtAddress.Text(), "10.9.9.9:8467");
  EXPECT_TRUE(finder.cmdSelect.Enabled());
  EXPECT_FALSE(finder.lblAddressHint.Visible());
  finder.Close();

  rig.settings.TCPHost = "fe80::1";
  rig.settings.TCPPort = 9000;
  Open(finder);
  EXPECT_EQ(finder.txtAddress.Text(), "[fe80::1]:9000");
  finder.Close();

  rig.settings.TCPHost.clear();
  Open(finder);
  EXPECT_EQ(finder.txtAddress.Text(), "");
  EXPECT_FALSE(finder.cmdSelect.Enabled());
  EXPECT_FALSE(finder.lblAddressHint.Visible());  // nothing typed, nothing wrong
}

TEST_F(FindServers, TypedAddressIsCheckedAsItIsTyped) {
  Open(finder);
  finder.txtAddress.SetText("relay.example.org:70000");
  EXPECT_FALSE(finder.cmdSelect.Enabled());
  EXPECT_TRUE(finder.lblAddressHint.Visible());
  EXPECT_EQ(finder.lblAddressHint.Caption(), relay_address_texts::kBadPort);
  finder.cmdSelect.Click();  // disabled: nothing happens
  EXPECT_TRUE(finder.Visible());

  finder.txtAddress.SetText("relay.example.org:7000");
  EXPECT_TRUE(finder.cmdSelect.Enabled());
  EXPECT_FALSE(finder.lblAddressHint.Visible());

  finder.txtAddress.SetText("2001:db8::1:2:3:4:5:9000");
  EXPECT_FALSE(finder.cmdSelect.Enabled());
  EXPECT_EQ(finder.lblAddressHint.Caption(), relay_address_texts::kNeedBrackets);
  EXPECT_EQ(rig.settings.TCPHost, "10.9.9.9");  // typing chooses nothing
}

TEST_F(FindServers, SelectChoosesTheTypedRelayAndCloses) {
  int closed = 0;
  finder.closed.Connect([&] { ++closed; });
  Open(finder);
  finder.txtAddress.SetText(" [2001:db8::7]:8500 ");
  finder.cmdSelect.Click();
  EXPECT_EQ(rig.settings.TCPHost, "2001:db8::7");  // as the link connects to it
  EXPECT_EQ(rig.settings.TCPPort, 8500);
  EXPECT_FALSE(finder.Visible());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(rig.sockets.last, nullptr);

  // Without a port: the relay's standard one, whatever was configured.
  rig.settings.TCPPort = 9999;
  Open(finder);
  finder.txtAddress.SetText("shed-relay");
  finder.cmdSelect.Click();
  EXPECT_EQ(rig.settings.TCPHost, "shed-relay");
  EXPECT_EQ(rig.settings.TCPPort, 8467);
}

TEST_F(FindServers, SelectingAnEntryFillsTheBoxAndSelectChoosesIt) {
  Open(finder);
  Answer("\nTCP,shed,8467,2,0,1\r", "192.168.1.30");
  Answer("\nTCP,garage,8470,1,0,0\r", "192.168.1.31");
  Answer("\nTCP,odd,none,1,0,1\r", "192.168.1.32");
  finder.lstServers.SetListIndex(1);
  EXPECT_EQ(finder.txtAddress.Text(), "192.168.1.31:8470");
  // A relay that gives no port is reached on the standard one.
  finder.lstServers.SetListIndex(2);
  EXPECT_EQ(finder.txtAddress.Text(), "192.168.1.32");
  finder.lstServers.SetListIndex(1);
  finder.cmdSelect.Click();
  EXPECT_EQ(rig.settings.TCPHost, "192.168.1.31");
  EXPECT_EQ(rig.settings.TCPPort, 8470);
  EXPECT_FALSE(finder.Visible());
}

}  // namespace
}  // namespace ebbmark
