#include "service/nut/helper_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace ebbmark::nut {
namespace {

// A message as the reader gets it: without its line end.
std::optional<HelperMessage> Back(const std::string& line) {
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one message is one line";
  return ParseHelperMessage(std::string_view(line).substr(0, line.size() - 1));
}

TEST(HelperMessagesTest, EveryMessageComesBackAsSent) {
  const auto listen = Back(ListenMessage({{"127.0.0.1", "::1"}, 3493}));
  ASSERT_TRUE(listen);
  EXPECT_EQ(listen->kind, HelperMessage::Kind::Listen);
  EXPECT_EQ(listen->listen, (ListenConfig{{"127.0.0.1", "::1"}, 3493}));
  const auto off = Back(ListenMessage({{}, 1}));
  ASSERT_TRUE(off);
  EXPECT_TRUE(off->listen.addresses.empty());

  // Blanks, line ends, "%", quotes, NULs and bytes above ASCII survive, and
  // empty values stay empty.
  ServerConfig config;
  config.device_name = "ups";
  config.description = "Inverter 0 \"main\"\r\nwith 100% of its battery";
  config.user = "";
  config.password = std::string("p w\0%\xff", 6);
  const auto c = Back(ConfigMessage(config));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->config.device_name, "ups");
  EXPECT_EQ(c->config.description, config.description);
  EXPECT_EQ(c->config.user, "");
  EXPECT_EQ(c->config.password, config.password);

  Snapshot s;
  s.stale = false;
  s.vars = {{"battery.charge", "87"}, {"device.mfr", "A B"}, {"ups.status", "OB LB FSD"}};
  const auto snap = Back(SnapshotMessage(s));
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->snapshot, s);
  const auto stale = Back(SnapshotMessage(Snapshot{}));
  ASSERT_TRUE(stale);
  EXPECT_EQ(stale->snapshot, Snapshot{});

  const auto logins = Back(LoginsMessage({"192.0.2.7", "::1"}));
  ASSERT_TRUE(logins);
  EXPECT_EQ(logins->logins, (std::vector<std::string>{"192.0.2.7", "::1"}));
  const auto none = Back(LoginsMessage({}));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->logins.empty());

  const auto rec = Back(RecordMessage(kEventError, 109, "The NUT server cannot listen: x."));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->record_type, kEventError);
  EXPECT_EQ(rec->record_id, 109);
  EXPECT_EQ(rec->record_text, "The NUT server cannot listen: x.");
}

// What a helper taken over by a client could send is refused whole.
TEST(HelperMessagesTest, WhatBreaksTheBoundsIsRefused) {
  for (const std::string& bad : {
           std::string(""),
           std::string("hello"),
           std::string("record 4 110"),        // no text
           std::string("record 8 110 x"),      // no such record type
           std::string("record 4 111 x"),      // an identifier not ours
           std::string("record 4 110 a%0Db"),  // a line break inside a record
           std::string("record 4 110 ") + std::string(1025, 'x'),
           std::string("logins  1.2.3.4"),                 // an empty word
           std::string("logins ") + std::string(65, '1'),  // no address is that long
           std::string("logins 1%2"),                      // a cut escape
           std::string("logins 1%zz"),
           std::string("snapshot 2"),
           std::string("snapshot 0 name"),  // a name without its value
           std::string("listen 70000 127.0.0.1"),
           std::string("listen x"),
           std::string("config a b c"),
       }) {
    EXPECT_FALSE(ParseHelperMessage(bad)) << bad;
  }
  std::string many = "logins";
  for (int i = 0; i < 257; ++i) many += " 10.0.0.1";
  EXPECT_FALSE(ParseHelperMessage(many));
  EXPECT_FALSE(ParseHelperMessage("listen 1 " + std::string(kMaxHelperLine, 'a')));
}

}  // namespace
}  // namespace ebbmark::nut
