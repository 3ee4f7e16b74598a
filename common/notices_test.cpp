#include "common/notices.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <set>

#include "base/mail_format.h"
#include "tests/support/fake_file_system.h"

namespace ebbmark {
namespace {

constexpr Notice kAll[] = {Notice::RunFile, Notice::Action, Notice::InverterStarted,
                           Notice::InverterStopped, Notice::LinkDown};

NoticeValues Values() {
  NoticeValues v;
  v.computer_name = "WORKSHOP";
  v.inverter = 2;
  v.ac_input = 0;
  v.inverter_current = 14;
  v.battery_voltage = 47;
  v.battery_soc = 58;
  v.execute_file = "C:\\tools\\save.bat";
  v.action_name = "hibernate";
  v.last_duration = "00d 01:02:05";
  v.last_soc_drop = 12;
  v.last_voltage_drop = -1;
  v.tcp_host = "relay.local";
  return v;
}

TEST(NoticesTest, SubjectsAndTemplates) {
  EXPECT_STREQ(NoticeSubject(Notice::RunFile), "[Ebbmark] Power Event");
  EXPECT_STREQ(NoticeSubject(Notice::Action), "[Ebbmark] Shutdown Event");
  EXPECT_STREQ(NoticeSubject(Notice::InverterStarted), "[Ebbmark] Power Event");
  EXPECT_STREQ(NoticeSubject(Notice::InverterStopped), "[Ebbmark] Power Event");
  EXPECT_STREQ(NoticeSubject(Notice::LinkDown), "[Ebbmark] Lost TCP Connection");
  EXPECT_STREQ(NoticeTemplateName(Notice::RunFile), "execute.msg");
  EXPECT_STREQ(NoticeTemplateName(Notice::Action), "action.msg");
  EXPECT_STREQ(NoticeTemplateName(Notice::InverterStarted), "invstart.msg");
  EXPECT_STREQ(NoticeTemplateName(Notice::InverterStopped), "invstop.msg");
  EXPECT_EQ(NoticeTemplateName(Notice::LinkDown), nullptr);
}

TEST(NoticesTest, BuiltInBodies) {
  const NoticeValues v = Values();
  const std::string readings =
      "Inverter: 2\r\nAC Input: 0\r\nInverter Current: 14\r\nBattery Voltage: 47v\r\n"
      "Battery Charge: 58%\r\n";
  EXPECT_EQ(BuiltInBody(Notice::RunFile, v),
            "The execution of file (C:\\tools\\save.bat\r\n) on computer WORKSHOP has begun.\r\n"
            "\r\n" +
                readings);
  EXPECT_EQ(BuiltInBody(Notice::Action, v),
            "The action (hibernate) on computer WORKSHOP has begun.\r\n\r\n" + readings);
  EXPECT_EQ(BuiltInBody(Notice::InverterStarted, v),
            "The monitored inverter has begun inverting.\r\n\r\nHost: WORKSHOP\r\n" + readings);
  EXPECT_EQ(BuiltInBody(Notice::InverterStopped, v),
            "The monitored inverter has stopped inverting.\r\n\r\nHost: WORKSHOP\r\n"
            "Inverter: 2\r\nDuration: 00d 01:02:05\r\nBatt SOC Drop: 12%\r\n"
            "Batt Voltage Drop: -1v\r\nAC Input: 0\r\nInverter Current: 14\r\n"
            "Battery Voltage: 47v\r\nBattery Charge: 58%\r\n");
  EXPECT_EQ(BuiltInBody(Notice::LinkDown, v),
            "Could not establish TCP connection from Ebbmark on WORKSHOP to host relay.local! "
            "Will keep trying.");
}

TEST(NoticesTest, PlaceholdersPerNotice) {
  const NoticeValues v = Values();
  const std::string every =
      "%executepath%|%host%|%inverter%|%duration%|%socdrop%|%voltagedrop%|%acinput%|"
      "%ivcurrent%|%battvoltage%|%battsoc%";
  const struct {
    Notice n;
    const char* expected;
  } cases[] = {
      {Notice::RunFile,
       "C:\\tools\\save.bat|WORKSHOP|2|%duration%|%socdrop%|%voltagedrop%|0|14|47|58"},
      {Notice::Action, "%executepath%|WORKSHOP|2|%duration%|%socdrop%|%voltagedrop%|0|14|47|58"},
      {Notice::InverterStarted,
       "%executepath%|WORKSHOP|2|%duration%|%socdrop%|%voltagedrop%|0|14|47|58"},
      {Notice::InverterStopped, "%executepath%|WORKSHOP|2|00d 01:02:05|12|-1|0|14|47|58"},
      {Notice::LinkDown, every.c_str()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplyPlaceholders(c.n, every, v), c.expected) << static_cast<int>(c.n);
  }
}

TEST(NoticesTest, PlaceholdersIgnoreCaseAndReplaceEveryOccurrence) {
  const NoticeValues v = Values();
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"SOC %BATTSOC%", "SOC 58"},
      {"%BattSoc%%battsoc%%bAtTsOc%", "585858"},
      {"%battsoc", "%battsoc"},
      {"%%battsoc%%", "%58%"},
      {"", ""},
      {"no placeholders at all", "no placeholders at all"},
      {"%HOST%\r\n\xe9%Host%", "WORKSHOP\r\n\xe9WORKSHOP"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplyPlaceholders(Notice::InverterStarted, c.text, v), c.expected) << c.text;
  }
}

TEST(NoticesTest, PlaceholdersAreReplacedInTheirOrderAndValuesAreNotRescanned) {
  NoticeValues v = Values();
  // A value that spells its own placeholder is inserted as it is.
  v.computer_name = "%HOST%";
  EXPECT_EQ(ApplyPlaceholders(Notice::Action, "%host% and %host%", v), "%HOST% and %HOST%");
  // The run file's path goes in first, so a placeholder inside it is replaced
  // by the later passes; the computer name goes in after the path pass.
  v.execute_file = "run-%host%-%battsoc%.bat";
  v.computer_name = "pc-%executepath%";
  EXPECT_EQ(ApplyPlaceholders(Notice::RunFile, "%executepath%|%host%", v),
            "run-pc-%executepath%-58.bat|pc-%executepath%");
}

SettingsRecord Mail(std::int32_t options) {
  SettingsRecord s;
  s.SMTPHost = "mail.example";
  s.SMTPPort = 25;
  s.SMTPFrom = "ebbmark@example";
  s.SMTPTo = "ops@example";
  s.EmailOptions = options;
  return s;
}

TEST(NoticesTest, EmailOptionsEnableTheirNotices) {
  // Rows: EmailOptions 0..3. Columns: run file, action, started, stopped, link down.
  const bool expected[4][5] = {
      {false, false, false, false, false},
      {false, false, true, true, true},
      {true, true, false, false, true},
      {true, true, true, true, true},
  };
  for (int options = 0; options < 4; ++options) {
    const SettingsRecord s = Mail(options);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(NoticeEnabled(NoticeKind(kAll[i], options), s), expected[options][i])
          << "options " << options << " notice " << i;
    }
  }
  EXPECT_EQ(NoticeKind(Notice::RunFile, 1), 2);
  EXPECT_EQ(NoticeKind(Notice::InverterStopped, 2), 1);
  EXPECT_EQ(NoticeKind(Notice::LinkDown, 3), 3);
}

TEST(NoticesTest, EmailConfigured) {
  EXPECT_TRUE(EmailConfigured(Mail(3)));
  const struct {
    const char* name;
    void (*change)(SettingsRecord&);
    bool expected;
  } cases[] = {
      {"port 0", [](SettingsRecord& s) { s.SMTPPort = 0; }, false},
      {"port 70000", [](SettingsRecord& s) { s.SMTPPort = 70000; }, false},
      {"port -25", [](SettingsRecord& s) { s.SMTPPort = -25; }, false},
      {"port 65536", [](SettingsRecord& s) { s.SMTPPort = 65536; }, false},
      {"port 1", [](SettingsRecord& s) { s.SMTPPort = 1; }, true},
      {"port 65535", [](SettingsRecord& s) { s.SMTPPort = 65535; }, true},
      {"no host", [](SettingsRecord& s) { s.SMTPHost.clear(); }, false},
      {"no sender", [](SettingsRecord& s) { s.SMTPFrom.clear(); }, false},
      {"no recipient", [](SettingsRecord& s) { s.SMTPTo.clear(); }, false},
  };
  for (const auto& c : cases) {
    SettingsRecord s = Mail(3);
    c.change(s);
    EXPECT_EQ(EmailConfigured(s), c.expected) << c.name;
    // Not configured means no notice of any kind.
    if (!c.expected) {
      for (Notice n : kAll) EXPECT_FALSE(NoticeEnabled(NoticeKind(n, 3), s)) << c.name;
    }
  }
}

class ComposeBodyTest : public ::testing::Test {
 protected:
  std::string PathOf(const char* name) { return JoinPath(folder, name); }

  testing::FakeFileSystem fs;
  const std::string folder = "/opt/ebbmark";
  const NoticeValues v = Values();
};

TEST_F(ComposeBodyTest, WithoutATemplateTheBuiltInBodyIsSent) {
  for (Notice n : kAll) {
    const ComposedBody b = ComposeBody(fs, folder, n, v);
    EXPECT_EQ(b.body, BuiltInBody(n, v));
    EXPECT_FALSE(b.warning.has_value());
  }
}

TEST_F(ComposeBodyTest, ATemplateIsUsedWholeWithItsPlaceholders) {
  fs.Put(PathOf("invstop.msg"), "Off for %DURATION% on %host%.\nSOC -%socdrop%%\n");
  const ComposedBody b = ComposeBody(fs, folder, Notice::InverterStopped, v);
  EXPECT_EQ(b.body, "Off for 00d 01:02:05 on WORKSHOP.\nSOC -12%\n");
  EXPECT_FALSE(b.warning.has_value());

  // Any bytes up to the cap: NULs, a stray Ctrl-Z, a template of exactly 64 KiB.
  std::string big("head\0\x1a%battsoc%", 15);
  big += std::string(kTemplateFileLimit - big.size() - 10, 'x') + "%inverter%";
  fs.Put(PathOf("invstart.msg"), big);
  const std::string body = ComposeBody(fs, folder, Notice::InverterStarted, v).body;
  EXPECT_EQ(body, std::string("head\0\x1a"
                              "58",
                              8) +
                      std::string(kTemplateFileLimit - 25, 'x') + "2");
}

TEST_F(ComposeBodyTest, AnOversizedOrSpecialTemplateGivesTheBuiltInBodyAndNamesTheFile) {
  fs.Put(PathOf("invstart.msg"), std::string(kTemplateFileLimit + 1, 'x'));
  fs.Put(PathOf("action.msg"), "never read");
  fs.not_regular.insert(PathOf("action.msg"));
  for (const Notice n : {Notice::InverterStarted, Notice::Action}) {
    const ComposedBody b = ComposeBody(fs, folder, n, v);
    EXPECT_EQ(b.body, BuiltInBody(n, v));
    ASSERT_TRUE(b.warning.has_value());
    EXPECT_NE(b.warning->find(PathOf(NoticeTemplateName(n))), std::string::npos) << *b.warning;
  }
}

TEST_F(ComposeBodyTest, EachNoticeUsesOnlyItsOwnTemplate) {
  fs.Put(PathOf("execute.msg"), "Running %executepath% (%duration%)");
  fs.Put(PathOf("action.msg"), "Acting on %host% %executepath% %duration%");
  EXPECT_EQ(ComposeBody(fs, folder, Notice::RunFile, v).body,
            "Running C:\\tools\\save.bat (%duration%)");
  EXPECT_EQ(ComposeBody(fs, folder, Notice::Action, v).body,
            "Acting on WORKSHOP %executepath% %duration%");
  // The other notices have no template here, and the link-down notice never has one.
  fs.Put(PathOf("linkdown.msg"), "unused");
  EXPECT_EQ(ComposeBody(fs, folder, Notice::InverterStarted, v).body,
            BuiltInBody(Notice::InverterStarted, v));
  EXPECT_EQ(ComposeBody(fs, folder, Notice::LinkDown, v).body, BuiltInBody(Notice::LinkDown, v));
}

TEST_F(ComposeBodyTest, AnEmptyTemplateGivesAnEmptyBody) {
  fs.Put(PathOf("action.msg"), "");
  const ComposedBody b = ComposeBody(fs, folder, Notice::Action, v);
  EXPECT_EQ(b.body, "");
  EXPECT_FALSE(b.warning.has_value());
}

TEST_F(ComposeBodyTest, AHiddenTemplateIsNotFound) {
  fs.Put(PathOf("action.msg"), "hidden text");
  fs.hidden.insert(PathOf("action.msg"));
  EXPECT_EQ(ComposeBody(fs, folder, Notice::Action, v).body, BuiltInBody(Notice::Action, v));
}

TEST_F(ComposeBodyTest, AnUnreadableTemplateGivesTheBuiltInBodyAndAWarning) {
  const std::string path = PathOf("execute.msg");
  fs.Put(path, "never read");
  fs.unreadable.insert(path);
  const ComposedBody b = ComposeBody(fs, folder, Notice::RunFile, v);
  EXPECT_EQ(b.body, BuiltInBody(Notice::RunFile, v));
  ASSERT_TRUE(b.warning.has_value());
  const std::string reason = std::make_error_code(std::errc::permission_denied).message();
  EXPECT_EQ(*b.warning, "Could not read the notice template " + path + ": " + reason +
                            ". The built-in text was sent instead.");
}

// The example templates shipped in the Windows package must use only the
// placeholders their notice fills in: a misspelt one would reach the reader
// as it stands.
TEST(NoticesTest, ShippedExampleTemplatesLeaveNoPlaceholderBehind) {
  NoticeValues v;
  v.computer_name = "HOST";
  v.execute_file = "C:\\save.cmd";
  v.last_duration = "00d 01:00:00";
  for (Notice n :
       {Notice::RunFile, Notice::Action, Notice::InverterStarted, Notice::InverterStopped}) {
    const std::string path =
        std::string(EBBMARK_SOURCE_DIR) + "/packaging/templates/" + NoticeTemplateName(n);
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << path;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string body = ApplyPlaceholders(n, text, v);
    EXPECT_EQ(body.find("%host%"), std::string::npos) << path;
    // What is left of a '%' must be a percent sign after a number, not a name.
    for (std::size_t at = body.find('%'); at != std::string::npos; at = body.find('%', at + 1)) {
      EXPECT_TRUE(at > 0 && std::isdigit(static_cast<unsigned char>(body[at - 1])))
          << path << ": " << body.substr(at, 20);
    }
    EXPECT_NE(body.find("\r\n"), std::string::npos) << path << " keeps CR LF line ends";
  }
}

TEST_F(ComposeBodyTest, ATemplateInWindows1252IsSentAsUtf8) {
  // "Stromausfall: Überbrückung läuft" as a Windows-era editor saves it.
  fs.Put(PathOf("invstart.msg"), "Stromausfall: \xdc\x62\x65rbr\xfc\x63kung l\xe4uft \x80\n");
  EXPECT_EQ(ComposeBody(fs, folder, Notice::InverterStarted, v).body,
            "Stromausfall: \xc3\x9c\x62\x65rbr\xc3\xbc\x63kung l\xc3\xa4uft \xe2\x82\xac\n");
  // Valid UTF-8 stays as it is.
  fs.Put(PathOf("invstart.msg"), "l\xc3\xa4uft\n");
  EXPECT_EQ(ComposeBody(fs, folder, Notice::InverterStarted, v).body, "l\xc3\xa4uft\n");
}

TEST(NoticeNames, NoticesThatShareASubjectAreToldApart) {
  std::set<std::string> names;
  for (Notice n : kAll) names.insert(NoticeName(n));
  EXPECT_EQ(names.size(), std::size(kAll));
  EXPECT_STREQ(NoticeName(Notice::InverterStarted), "the mains-failure notice");
  EXPECT_STREQ(NoticeName(Notice::RunFile), "the run-file notice");
}

TEST(DroppedRecipients, TheCutEntryAndTheRestAreNamedOnce) {
  EXPECT_TRUE(DroppedRecipientWarnings("a@x, b@x", true).empty());
  EXPECT_EQ(DroppedRecipientWarnings("Doe, John <a@x>", true),
            std::vector<std::string>{"The SMTPTo setting does not hold a usable email address in "
                                     "\"Doe\". The other recipients still get the notices."});
  EXPECT_TRUE(DroppedRecipientWarnings("Doe, John <a@x>", false).empty());

  // Cut at the limit inside an address: the fragment is named, never sent.
  std::string at_limit = "a@x, ";
  at_limit += std::string(kAddressListLimit - at_limit.size() - 6, 'b') + "@x, op";
  ASSERT_EQ(at_limit.size(), kAddressListLimit);
  EXPECT_EQ(DroppedRecipientWarnings(at_limit, false),
            std::vector<std::string>{"The SMTPTo setting is longer than 254 characters, so \"op\" "
                                     "at its end was dropped and gets no email."});
  // A longer text, as the window may hold it: everything the load would drop.
  EXPECT_EQ(DroppedRecipientWarnings(at_limit + "s@example.org; z@x", false),
            std::vector<std::string>{"The SMTPTo setting is longer than 254 characters, so "
                                     "\"ops@example.org; z@x\" at its end was dropped and gets no "
                                     "email."});
  // The limit falls right after a separator: the entries after it are named.
  std::string at_comma = std::string(kAddressListLimit - 5, 'c') + "@x, ";
  ASSERT_EQ(at_comma.size(), kAddressListLimit - 1);
  at_comma = "a" + at_comma;
  EXPECT_EQ(DroppedRecipientWarnings(at_comma + "late@x", false).size(), 1u);
}

}  // namespace
}  // namespace ebbmark
