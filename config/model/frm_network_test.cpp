#include "config/model/frm_network.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include "common/settings.h"
#include "config/model/frm_email.h"
#include "tests/support/tool_window_fakes.h"

namespace ebbmark {
namespace {

using asio::ip::tcp;
using testing::Open;
using testing::ToolWindowRig;

// A NUT server on 127.0.0.1 that answers every connection's first line with
// `reply` and closes it, counting what it heard.
class ScriptedNutServer {
 public:
  explicit ScriptedNutServer(asio::io_context& io)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    Accept();
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  void Stop() { acceptor_.close(); }

  std::string reply = "NUMLOGINS ebbmark 0\n";
  bool answer = true;  // false: read the question and say nothing
  std::vector<std::string> heard;

 private:
  struct Connection {
    explicit Connection(asio::any_io_executor ex) : socket(ex) {}
    tcp::socket socket;
    asio::streambuf in;
    std::string out;
  };
  void Accept() {
    auto c = std::make_shared<Connection>(acceptor_.get_executor());
    acceptor_.async_accept(c->socket, [this, c](const std::error_code& ec) {
      if (ec) return;
      Accept();
      asio::async_read_until(c->socket, c->in, '\n',
                             [this, c](const std::error_code& e, std::size_t n) {
                               if (e) return;
                               heard.emplace_back(static_cast<const char*>(c->in.data().data()), n);
                               if (!answer) {
                                 kept_.push_back(c);
                                 return;
                               }
                               c->out = reply;
                               asio::async_write(c->socket, asio::buffer(c->out),
                                                 [c](const std::error_code&, std::size_t) {
                                                   std::error_code ignored;
                                                   c->socket.close(ignored);
                                                 });
                             });
    });
  }
  tcp::acceptor acceptor_;
  std::vector<std::shared_ptr<Connection>> kept_;
};

class NetworkWindow : public ::testing::Test {
 protected:
  NetworkWindow() {
    rig.settings.NUTPort = server.Port();
    rig.settings.NUTName = "ebbmark";
  }
  // Runs the loop until the live line shows something other than `not`,
  // for at most five seconds.
  void RunUntilLineIsNot(const std::string& not_this) {
    for (int i = 0; i < 500 && window.lblFollowers.Caption() == not_this; ++i) {
      rig.io.restart();
      rig.io.run_for(std::chrono::milliseconds(10));
    }
  }
  std::string Listen(const std::string& loaded, const std::function<void(FrmNetwork&)>& act) {
    ToolWindowRig r;
    r.settings.NUTListen = loaded;
    FrmNetwork w(r.Context());
    Open(w);
    act(w);
    w.Close();
    return r.settings.NUTListen;
  }

  ToolWindowRig rig;
  ScriptedNutServer server{rig.io};
  FrmNetwork window{rig.Context()};
};

TEST_F(NetworkWindow, DesignedWindow) {
  FrmNetwork fresh(rig.Context());
  EXPECT_EQ(fresh.Name(), "frmNetwork");
  EXPECT_EQ(fresh.Caption(), "Network");
  EXPECT_EQ(fresh.chkLocalNetwork.Caption(), "Listen on the local network");
  EXPECT_EQ(fresh.lblPort.Caption(), "NUT Port:");
  EXPECT_EQ(fresh.lblDeviceName.Caption(), "Device Name:");
  EXPECT_EQ(fresh.lblUser.Caption(), "NUT User Name:");
  EXPECT_EQ(fresh.lblHostSync.Caption(), "Host sync:");
  EXPECT_EQ(fresh.txtPort.MaxLength(), 5);
  EXPECT_EQ(fresh.txtPassword.PasswordChar(), '*');
  // The captions are the labels a refused save names.
  for (const char* key : {"NUTPort", "NUTName", "NUTUser", "NUTHostSync"}) {
    const std::string label(Setting(key).label);
    bool shown = false;
    for (const Control* c : fresh.Controls()) shown = shown || c->Caption() == label + ":";
    EXPECT_TRUE(shown) << key;
  }
}

TEST_F(NetworkWindow, OpensWithTheSettingsInMemoryButNeverThePassword) {
  rig.settings.NUTListen = "0.0.0.0,::";
  rig.settings.NUTPort = 3494;
  rig.settings.NUTName = "ups";
  rig.settings.NUTUser = "monuser";
  rig.settings.NUTHostSync = 30;
  rig.settings.NUTPasswordSet = true;
  Open(window);
  EXPECT_EQ(window.chkServer.Value(), CheckBox::Checked);
  EXPECT_EQ(window.chkLocalNetwork.Value(), CheckBox::Checked);
  EXPECT_EQ(window.txtPort.Text(), "3494");
  EXPECT_EQ(window.txtDeviceName.Text(), "ups");
  EXPECT_EQ(window.txtUser.Text(), "monuser");
  EXPECT_EQ(window.txtHostSync.Text(), "30");
  EXPECT_EQ(window.txtPassword.Text(), "");
  EXPECT_EQ(window.lblPasswordState.Caption(), email_texts::kPasswordSaved);
  window.Close();
  // Opening and closing changes nothing.
  EXPECT_EQ(rig.settings.NUTListen, "0.0.0.0,::");
  EXPECT_EQ(rig.settings.NUTPort, 3494);
  EXPECT_EQ(rig.settings.NUTName, "ups");
  EXPECT_EQ(rig.settings.NUTUser, "monuser");
  EXPECT_EQ(rig.settings.NUTHostSync, 30);
  EXPECT_FALSE(rig.settings.NUTPasswordChange);
  EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(NetworkWindow, TheTwoBoxesMakeTheListenKey) {
  const auto nothing = [](FrmNetwork&) {};
  const auto server = [](FrmNetwork& w) { w.chkServer.Click(); };
  const auto local = [](FrmNetwork& w) { w.chkLocalNetwork.Click(); };
  // The default (this computer only) and the two choices away from it.
  EXPECT_EQ(Listen("", nothing), "");
  EXPECT_EQ(Listen("", local), "0.0.0.0,::");
  EXPECT_EQ(Listen("", server), "off");
  EXPECT_EQ(Listen("0.0.0.0,::", local), "");
  EXPECT_EQ(Listen("off", server), "");
  // A list written by hand is kept while the boxes still say what it says,
  // and replaced once they say something else.
  EXPECT_EQ(Listen("192.168.1.5", nothing), "192.168.1.5");
  EXPECT_EQ(Listen("127.0.0.1, ::1", nothing), "127.0.0.1, ::1");
  EXPECT_EQ(Listen("OFF", nothing), "OFF");
  EXPECT_EQ(Listen("192.168.1.5", local), "");
  EXPECT_EQ(Listen("::1", local), "0.0.0.0,::");
  // Off and on again, as it was: kept.
  EXPECT_EQ(Listen("192.168.1.5",
                   [](FrmNetwork& w) {
                     w.chkServer.Click();
                     w.chkServer.Click();
                   }),
            "192.168.1.5");
}

TEST_F(NetworkWindow, WithTheServerOffOnlyItsBoxCanBeChanged) {
  rig.settings.NUTListen = "off";
  Open(window);
  EXPECT_EQ(window.chkServer.Value(), CheckBox::Unchecked);
  for (const Control* c : window.Controls()) {
    if (c == &window.chkServer || c == &window.lblFollowers) {
      EXPECT_TRUE(c->Enabled()) << c->Name();
    } else {
      EXPECT_FALSE(c->Enabled()) << c->Name();
    }
  }
  window.chkServer.Click();
  EXPECT_TRUE(window.txtPort.Enabled());
  EXPECT_TRUE(window.chkLocalNetwork.Enabled());
}

TEST_F(NetworkWindow, NumbersGoBackAndOutOfRangeOnesAreNamedAtSave) {
  Open(window);
  window.txtPort.SetText("3495");
  window.txtHostSync.SetText(" 60 ");
  window.Close();
  EXPECT_EQ(rig.settings.NUTPort, 3495);
  EXPECT_EQ(rig.settings.NUTHostSync, 60);
  EXPECT_EQ(OutOfRangeSetting(rig.settings), "");

  // Text that is no number leaves the number from before.
  Open(window);
  window.txtPort.SetText("port");
  window.txtHostSync.SetText("");
  window.Close();
  EXPECT_EQ(rig.settings.NUTPort, 3495);
  EXPECT_EQ(rig.settings.NUTHostSync, 60);

  // Out of range: kept, and Save says which and how far it may go.
  Open(window);
  window.txtPort.SetText("70000");
  window.Close();
  EXPECT_EQ(rig.settings.NUTPort, 70000);
  EXPECT_NE(OutOfRangeSetting(rig.settings).find("\"NUT Port\""), std::string::npos)
      << OutOfRangeSetting(rig.settings);
  rig.settings.NUTPort = 3493;
  Open(window);
  window.txtHostSync.SetText("601");
  window.Close();
  EXPECT_NE(OutOfRangeSetting(rig.settings).find("\"Host sync\""), std::string::npos)
      << OutOfRangeSetting(rig.settings);
  EXPECT_NE(OutOfRangeSetting(rig.settings).find("between 0 and 600"), std::string::npos);
}

TEST_F(NetworkWindow, ANameNoClientCouldSendIsNotKept) {
  // Whatever IsNutDeviceName refuses, a blank for one.
  rig.settings.NUTName = "ups";
  Open(window);
  window.txtDeviceName.SetText("my ups");
  window.Close();
  EXPECT_EQ(rig.settings.NUTName, "ups");
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].title, "Network");
  EXPECT_EQ(rig.dialogs.shown[0].text,
            "The device name must be 1 to 64 letters, digits, '-', '_' or '.', so it was not "
            "kept.");
  EXPECT_EQ(rig.dialogs.shown[0].icon, DialogIcon::Error);
}

TEST_F(NetworkWindow, TheSignIn) {
  // A typed password waits for the save; the box is empty again.
  Open(window);
  window.txtUser.SetText("monuser");
  window.txtPassword.SetText("s3cret-pass");
  window.Close();
  EXPECT_EQ(rig.settings.NUTUser, "monuser");
  EXPECT_EQ(rig.settings.NUTPasswordChange, std::optional<std::string>("s3cret-pass"));
  EXPECT_EQ(window.txtPassword.Text(), "");
  Open(window);
  EXPECT_EQ(window.txtPassword.Text(), "");
  EXPECT_EQ(window.lblPasswordState.Caption(), email_texts::kPasswordToSave);
  window.Close();
  EXPECT_EQ(rig.settings.NUTPasswordChange, std::optional<std::string>("s3cret-pass"));

  // No user name: a saved password is removed, a waiting one dropped.
  rig.settings.NUTPasswordSet = true;
  Open(window);
  window.txtUser.SetText("");
  window.Close();
  EXPECT_EQ(rig.settings.NUTPasswordChange, std::optional<std::string>(""));
  Open(window);
  EXPECT_EQ(window.lblPasswordState.Caption(), email_texts::kPasswordToRemove);
  window.Close();
  rig.settings.NUTPasswordSet = false;
  rig.settings.NUTPasswordChange.reset();
  Open(window);
  window.txtPassword.SetText("orphan");
  window.Close();
  EXPECT_FALSE(rig.settings.NUTPasswordChange);

  // A password upsmon could not send is refused by name, and the saved one stays.
  rig.settings.NUTUser = "monuser";
  rig.settings.NUTPasswordSet = true;
  for (const char* bad : {"s3cret pass", "tab\there", "quo\"te", "back\\slash"}) {
    rig.dialogs.shown.clear();
    Open(window);
    window.txtPassword.SetText(bad);
    window.Close();
    EXPECT_FALSE(rig.settings.NUTPasswordChange) << bad;
    ASSERT_EQ(rig.dialogs.shown.size(), 1u) << bad;
    EXPECT_EQ(rig.dialogs.shown[0].text,
              "The NUT password may not hold a blank, a quote or a backslash, which upsmon "
              "cannot send, so it was not kept.");
  }
  rig.settings.NUTPasswordSet = false;

  // A user name a client could not send keeps the one from before.
  rig.settings.NUTUser = "monuser";
  for (const char* bad : {"mon user", "mon\nuser"}) {
    rig.dialogs.shown.clear();
    Open(window);
    window.txtUser.SetText(bad);
    window.Close();
    EXPECT_EQ(rig.settings.NUTUser, "monuser") << bad;
    EXPECT_EQ(rig.dialogs.shown.size(), 1u) << bad;
  }
}

TEST_F(NetworkWindow, TheLiveLineFollowsTheServer) {
  server.reply = "NUMLOGINS ebbmark 2\n";
  Open(window);
  EXPECT_EQ(window.lblFollowers.Caption(), network_texts::kAsking);
  RunUntilLineIsNot(network_texts::kAsking);
  EXPECT_EQ(window.lblFollowers.Caption(), "2 systems follow this computer now.");
  ASSERT_EQ(server.heard.size(), 1u);
  EXPECT_EQ(server.heard[0], "GET NUMLOGINS ebbmark\n");

  server.reply = "NUMLOGINS ebbmark 1\n";
  window.tmrFollowers_Timer();
  RunUntilLineIsNot("2 systems follow this computer now.");
  EXPECT_EQ(window.lblFollowers.Caption(), network_texts::kOneFollower);

  // The server goes away.
  server.Stop();
  window.tmrFollowers_Timer();
  RunUntilLineIsNot(network_texts::kOneFollower);
  EXPECT_EQ(window.lblFollowers.Caption(), network_texts::kNotRunning);

  // Closed, the window asks nothing more.
  window.Close();
  const std::size_t asked = server.heard.size();
  rig.io.restart();
  rig.io.run_for(FrmNetwork::kPollInterval + std::chrono::milliseconds(500));
  EXPECT_EQ(server.heard.size(), asked);
}

TEST_F(NetworkWindow, AServerThatSaysNothingIsNoAnswerOneRoundLater) {
  server.answer = false;
  Open(window);
  for (int i = 0; i < 500 && server.heard.empty(); ++i) {
    rig.io.restart();
    rig.io.run_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(server.heard.size(), 1u);
  EXPECT_EQ(window.lblFollowers.Caption(), network_texts::kAsking);
  window.tmrFollowers_Timer();
  EXPECT_EQ(window.lblFollowers.Caption(), network_texts::kNoAnswer);
  window.Close();
}

FollowersAnswer Answer(FollowersAnswer::Kind kind, int count = 0, std::string error = {}) {
  return {kind, count, std::move(error)};
}

TEST(NetworkTexts, EveryAnswerHasItsLine) {
  using Kind = FollowersAnswer::Kind;
  EXPECT_EQ(FollowersText(Answer(Kind::Count, 0)), network_texts::kNoFollower);
  EXPECT_EQ(FollowersText(Answer(Kind::Count, 1)), network_texts::kOneFollower);
  EXPECT_EQ(FollowersText(Answer(Kind::Count, 64)), "64 systems follow this computer now.");
  EXPECT_EQ(FollowersText(Answer(Kind::NotRunning)), network_texts::kNotRunning);
  EXPECT_EQ(FollowersText(Answer(Kind::NoAnswer)), network_texts::kNoAnswer);
  // The window's unsaved name is not yet the service's.
  EXPECT_EQ(FollowersText(Answer(Kind::Error, 0, "UNKNOWN-UPS")), network_texts::kOtherDevice);
  EXPECT_EQ(FollowersText(Answer(Kind::Error, 0, "ACCESS-DENIED")),
            "The server on this computer answered: ACCESS-DENIED.");
}

}  // namespace
}  // namespace ebbmark
