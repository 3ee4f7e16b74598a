#include "common/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_file_system.h"

namespace ebbmark {
namespace {

using testing::FakeFileSystem;

constexpr const char* kPath = "/opt/ebbmark/Ebbmark.ini";

class SettingsTest : public ::testing::Test {
 protected:
  FakeFileSystem fs;
  SettingsStore store{fs, kPath};

  SettingsRecord Load(const std::string& text) {
    fs.Put(kPath, text);
    SettingsRecord r;
    store.LoadSettings(r);
    return r;
  }
  // A file holding only "key=value" in the section.
  SettingsRecord LoadKey(const std::string& key, const std::string& value) {
    return Load("[EbbmarkSvc]\r\n" + key + "=" + value + "\r\n");
  }
};

void ExpectDefaults(const SettingsRecord& r, const std::string& context) {
  SCOPED_TRACE(context);
  EXPECT_EQ(r.UDPBPort, 8466);
  EXPECT_EQ(r.TCPHost, "");
  EXPECT_EQ(r.TCPPort, 8467);
  EXPECT_EQ(r.MonitoredAddress, 0);
  EXPECT_EQ(r.ShutdownType, 0);
  EXPECT_TRUE(r.Force);
  EXPECT_EQ(r.ExecuteFile, "");
  EXPECT_EQ(r.ExecuteDelay, 30);
  EXPECT_EQ(r.SDVoltage, 9);
  EXPECT_EQ(r.SDTimer, 0);
  EXPECT_EQ(r.SDSOC, 59);
  EXPECT_TRUE(r.SOCOII);
  EXPECT_EQ(r.SMTPHost, "");
  EXPECT_EQ(r.SMTPPort, 25);
  EXPECT_EQ(r.SMTPFrom, "");
  EXPECT_EQ(r.SMTPTo, "");
  EXPECT_EQ(r.EmailOptions, 0);
  EXPECT_EQ(r.EmailDelay, 0);
  EXPECT_EQ(r.NUTListen, "");
  EXPECT_EQ(r.NUTPort, 3493);
  EXPECT_EQ(r.NUTName, "ebbmark");
  EXPECT_EQ(r.NUTUser, "");
  EXPECT_EQ(r.NUTHostSync, 15);
}

TEST_F(SettingsTest, NoFileGivesDefaultsAndKeepsTheStamp) {
  SettingsRecord r;
  r.SDSOC = 80;
  r.SettingsFileTime = FileStamp{42, 7};
  store.LoadSettings(r);
  ExpectDefaults(r, "no file");
  EXPECT_EQ(r.SettingsFileTime, (FileStamp{42, 7}));
}

TEST_F(SettingsTest, UnreadableFileGivesDefaults) {
  fs.Put(kPath, "[EbbmarkSvc]\nSDSOC=80\n");
  fs.unreadable.insert(kPath);
  SettingsRecord r;
  store.LoadSettings(r);
  ExpectDefaults(r, "unreadable");
}

struct IntCase {
  const char* key;
  const char* value;
  std::int64_t expected;
};

std::int64_t FieldOf(const SettingsRecord& r, const std::string& key) {
  if (key == "UDPBPort") return r.UDPBPort;
  if (key == "TCPPort") return r.TCPPort;
  if (key == "InverterAddress") return r.MonitoredAddress;
  if (key == "ShutdownType") return r.ShutdownType;
  if (key == "ExecuteDelay") return r.ExecuteDelay;
  if (key == "SDVoltage") return r.SDVoltage;
  if (key == "SDTimer") return r.SDTimer;
  if (key == "SDSOC") return r.SDSOC;
  if (key == "SMTPPort") return r.SMTPPort;
  if (key == "EmailOptions") return r.EmailOptions;
  if (key == "EmailDelay") return r.EmailDelay;
  ADD_FAILURE() << "unknown key " << key;
  return 0;
}

TEST_F(SettingsTest, NumbersAreConvertedAndChecked) {
  const IntCase cases[] = {
      // The relay ports replace only 0 (and so anything not numeric).
      {"UDPBPort", "abc", 8466},
      {"UDPBPort", "0", 8466},
      {"UDPBPort", "-5", -5},
      {"UDPBPort", "", 8466},
      {"TCPPort", "70000", 70000},
      {"TCPPort", "8467xyz", 8467},
      {"TCPPort", "  1234  ", 1234},
      {"TCPPort", "1e30", 8467},
      {"TCPPort", "99999999999", 8467},
      {"TCPPort", "-2147483648", -2147483648LL},
      // The mail port has a full range check.
      {"SMTPPort", "65536", 25},
      {"SMTPPort", "-25", 25},
      {"SMTPPort", "0", 25},
      {"SMTPPort", "65535", 65535},
      {"SMTPPort", "&H19", 25},
      {"SMTPPort", "&H1A", 26},
      {"SMTPPort", "&O17", 15},
      {"SMTPPort", "587.5", 588},
      {"InverterAddress", "12", 0},
      {"InverterAddress", "9", 9},
      {"InverterAddress", "-1", 0},
      {"InverterAddress", "", 0},
      {"ShutdownType", "3", 0},
      {"ShutdownType", "2", 2},
      {"ShutdownType", "258", 0},  // no wrap to 2
      {"ShutdownType", "-254", 0},
      {"ShutdownType", "1.5", 2},
      {"ShutdownType", "2.5", 2},
      {"ExecuteDelay", "-1", -1},
      {"ExecuteDelay", "-2", 30},
      {"ExecuteDelay", "1801", 30},
      {"ExecuteDelay", "1800", 1800},
      {"ExecuteDelay", "65546", 30},  // would wrap to 10 in 16 bits
      {"ExecuteDelay", "-1.5", 30},   // rounds to -2
      {"ExecuteDelay", "-0.5", 0},
      {"SDVoltage", "48", 48},
      {"SDVoltage", "48.6", 9},
      {"SDVoltage", "48.5", 48},
      {"SDVoltage", "5", 9},
      {"SDVoltage", "24", 24},
      {"SDTimer", "1441", 0},
      {"SDTimer", "1440", 1440},
      {"SDSOC", "100", 59},
      {"SDSOC", "99", 99},
      {"SDSOC", "3.5e1", 59},
      {"SDSOC", "8.05e1", 80},
      {"EmailOptions", "4", 0},
      {"EmailOptions", "3", 3},
      {"EmailDelay", "61", 0},
      {"EmailDelay", "60", 60},
      {"EmailDelay", "2.5", 2},
      {"EmailDelay", "3.5", 4},
  };
  for (const auto& c : cases) {
    const SettingsRecord r = LoadKey(c.key, c.value);
    EXPECT_EQ(FieldOf(r, c.key), c.expected) << c.key << "=" << c.value;
  }
}

TEST_F(SettingsTest, TruthKeys) {
  struct Case {
    const char* line;  // nullptr: no line at all
    bool expected;
  };
  const Case cases[] = {
      {nullptr, true}, {"=", false},    {"=0", false},   {"=1", true},    {"=-1", true},
      {"=0.5", true},  {"=yes", false}, {"= 0 ", false}, {"=1e30", true}, {"=0.0", false},
  };
  for (const char* key : {"Force", "SOCOII"}) {
    for (const auto& c : cases) {
      const std::string body = c.line ? std::string(key) + c.line + "\n" : "Other=1\n";
      const SettingsRecord r = Load("[EbbmarkSvc]\n" + body);
      const bool got = std::string(key) == "Force" ? r.Force : r.SOCOII;
      EXPECT_EQ(got, c.expected) << key << (c.line ? c.line : " absent");
    }
  }
}

TEST_F(SettingsTest, TextValues) {
  EXPECT_EQ(LoadKey("TCPHost", "  relay.local  ").TCPHost, "relay.local");
  EXPECT_EQ(LoadKey("SMTPFrom", "\"ups@example.org\"").SMTPFrom, "ups@example.org");
  EXPECT_EQ(LoadKey("smtpto", "a@b").SMTPTo, "a@b");
  EXPECT_EQ(LoadKey("SMTPHost", std::string(300, 'h')).SMTPHost, std::string(254, 'h'));
  // NULs are dropped, and the blanks they hid with them.
  EXPECT_EQ(LoadKey("TCPHost", std::string("\0 host\0", 7)).TCPHost, "host");
  // A lone CR ends the value, as it would in a save: what runs is what is saved.
  const SettingsRecord r = LoadKey("SMTPTo", "a@b \r NOTIFY=NEVER");
  EXPECT_EQ(r.SMTPTo, "a@b");
  ASSERT_FALSE(store.SaveSettings(r));
  SettingsRecord again;
  store.LoadSettings(again);
  EXPECT_EQ(again.SMTPTo, "a@b");
}

TEST_F(SettingsTest, RunFileMustExist) {
  fs.Put("/home/u/save.sh", "#!/bin/sh\n");
  fs.Put("/home/u/.hidden.sh", "");
  fs.hidden.insert("/home/u/.hidden.sh");
  fs.folders.insert("/home/u/scripts");
  EXPECT_EQ(LoadKey("ExecuteFile", "/home/u/save.sh").ExecuteFile, "/home/u/save.sh");
  EXPECT_EQ(LoadKey("ExecuteFile", "/home/u/s*.sh").ExecuteFile, "/home/u/s*.sh");
  EXPECT_EQ(LoadKey("ExecuteFile", "/home/u/gone.sh").ExecuteFile, "");
  EXPECT_EQ(LoadKey("ExecuteFile", "/home/u/.hidden.sh").ExecuteFile, "");
  EXPECT_EQ(LoadKey("ExecuteFile", "").ExecuteFile, "");
  // A folder would be announced by email as started, then fail to start.
  EXPECT_EQ(LoadKey("ExecuteFile", "/home/u/scripts").ExecuteFile, "");
}

TEST_F(SettingsTest, BadFilesGiveDefaults) {
  std::string garbage;
  for (int i = 0; i < 8192; ++i) garbage.push_back(static_cast<char>((i * 97 + 13) % 256));
  const std::string huge(1 << 20, '7');
  const std::string inputs[] = {
      garbage,
      "[EbbmarkSvc]\n" + garbage,
      "[EbbmarkSvc]\nSDSOC=" + huge + "\n",
      "[EbbmarkSvc]\n" + huge + "\n",
      "[EbbmarkSvc]\nSDSOC=1e30\nTCPPort=1e30\nExecuteDelay=1e30\nShutdownType=1e30",
      "[EbbmarkSvc]\nSDSOC=-1e400\nSDTimer=1e-400\nEmailDelay=&H" + std::string(500, 'F'),
      "[EbbmarkSvc]\r\nSDSOC=NaN\r\nTCPPort=inf\r\n",
      std::string("\0\0\0[EbbmarkSvc]\0\n", 17),
  };
  for (const auto& text : inputs) {
    ExpectDefaults(Load(text), text.substr(0, 40));
  }
}

TEST_F(SettingsTest, FileFormsThatStillRead) {
  const std::string forms[] = {
      "\xEF\xBB\xBF[EbbmarkSvc]\r\nSDSOC=80\r\n",
      "[EbbmarkSvc]\r\nSDSOC=80",
      "[ebbmarksvc]\nsdsoc = 80\n",
      "[EbbmarkSvc]\nSDSOC=80\nSDSOC=90\n",
      "[Other]\nSDSOC=70\n[EbbmarkSvc]\n; note\nSDSOC=80\n",
  };
  for (const auto& text : forms) EXPECT_EQ(Load(text).SDSOC, 80) << text;
}

TEST_F(SettingsTest, SaveKeepsTheRestOfTheFile) {
  fs.Put(kPath,
         "; written by hand\r\n[Other]\r\nSDSOC=1\r\n[EbbmarkSvc]\r\nCustom=keep me\r\n"
         "SDSOC=70\r\n\r\n[Tail]\r\nx=y\r\n");
  SettingsRecord r;
  r.SDSOC = 85;
  r.TCPHost = "relay";
  ASSERT_FALSE(store.SaveSettings(r));
  EXPECT_EQ(fs.files[kPath],
            "; written by hand\r\n[Other]\r\nSDSOC=1\r\n[EbbmarkSvc]\r\nCustom=keep me\r\n"
            "SDSOC=85\r\nUDPBPort=8466\r\nTCPHost=relay\r\nTCPPort=8467\r\nInverterAddress=0\r\n"
            "ShutdownType=0\r\nForce=1\r\nSDVoltage=9\r\nSDTimer=0\r\nSOCOII=1\r\n"
            "SMTPHost=\r\nSMTPPort=25\r\nSMTPFrom=\r\nSMTPTo=\r\nEmailOptions=0\r\nEmailDelay=0\r\n"
            "\r\n[Tail]\r\nx=y\r\n");
}

TEST_F(SettingsTest, SaveCreatesTheFileInKeyOrder) {
  SettingsRecord r;
  r.UDPBPort = -5;
  r.MonitoredAddress = -1;
  r.ShutdownType = 2;
  r.Force = false;
  r.ExecuteFile = "/home/u/save.sh";
  r.ExecuteDelay = -1;
  r.SOCOII = false;
  r.EmailOptions = 3;
  ASSERT_FALSE(store.SaveSettings(r));
  EXPECT_EQ(fs.files[kPath],
            "[EbbmarkSvc]\r\nUDPBPort=-5\r\nTCPHost=\r\nTCPPort=8467\r\nInverterAddress=-1\r\n"
            "ShutdownType=2\r\nForce=0\r\nExecuteFile=/home/u/save.sh\r\nExecuteDelay=-1\r\n"
            "SDVoltage=9\r\nSDTimer=0\r\nSDSOC=59\r\nSOCOII=0\r\nSMTPHost=\r\nSMTPPort=25\r\n"
            "SMTPFrom=\r\nSMTPTo=\r\nEmailOptions=3\r\nEmailDelay=0\r\n");
  // -1 for the inverter address is written as it stands and read back as 0.
  fs.Put("/home/u/save.sh", "");
  SettingsRecord back;
  store.LoadSettings(back);
  EXPECT_EQ(back.MonitoredAddress, 0);
  EXPECT_EQ(back.ExecuteFile, "/home/u/save.sh");
  EXPECT_EQ(back.ExecuteDelay, -1);
  EXPECT_FALSE(back.Force);
}

TEST_F(SettingsTest, SaveAndLoadRoundTrip) {
  fs.Put("/srv/run me.sh", "");
  SettingsRecord r;
  r.UDPBPort = 9000;
  r.TCPHost = "10.1.2.3";
  r.TCPPort = 70000;
  r.MonitoredAddress = 4;
  r.ShutdownType = 1;
  r.Force = false;
  r.ExecuteFile = "/srv/run me.sh";
  r.ExecuteDelay = 600;
  r.SDVoltage = 46;
  r.SDTimer = 90;
  r.SDSOC = 65;
  r.SOCOII = false;
  r.SMTPHost = "mail";
  r.SMTPPort = 587;
  r.SMTPFrom = "ups@here";
  r.SMTPTo = "me@there";
  r.EmailOptions = 2;
  r.EmailDelay = 15;
  ASSERT_FALSE(store.SaveSettings(r));
  SettingsRecord back;
  store.LoadSettings(back);
  back.SettingsFileTime = r.SettingsFileTime;
  EXPECT_EQ(back.UDPBPort, r.UDPBPort);
  EXPECT_EQ(back.TCPHost, r.TCPHost);
  EXPECT_EQ(back.TCPPort, r.TCPPort);
  EXPECT_EQ(back.MonitoredAddress, r.MonitoredAddress);
  EXPECT_EQ(back.ShutdownType, r.ShutdownType);
  EXPECT_EQ(back.Force, r.Force);
  EXPECT_EQ(back.ExecuteFile, r.ExecuteFile);
  EXPECT_EQ(back.ExecuteDelay, r.ExecuteDelay);
  EXPECT_EQ(back.SDVoltage, r.SDVoltage);
  EXPECT_EQ(back.SDTimer, r.SDTimer);
  EXPECT_EQ(back.SDSOC, r.SDSOC);
  EXPECT_EQ(back.SOCOII, r.SOCOII);
  EXPECT_EQ(back.SMTPHost, r.SMTPHost);
  EXPECT_EQ(back.SMTPPort, r.SMTPPort);
  EXPECT_EQ(back.SMTPFrom, r.SMTPFrom);
  EXPECT_EQ(back.SMTPTo, r.SMTPTo);
  EXPECT_EQ(back.EmailOptions, r.EmailOptions);
  EXPECT_EQ(back.EmailDelay, r.EmailDelay);
}

TEST_F(SettingsTest, EmptyRunFileLeavesOrRemovesItsKeys) {
  const std::string before =
      "[EbbmarkSvc]\nExecuteFile=/home/u/old.sh\nExecuteDelay=120\nSDSOC=70\n";
  fs.Put("/home/u/old.sh", "");
  SettingsRecord r;  // ExecuteFile empty
  r.ExecuteDelay = 600;

  fs.Put(kPath, before);
  ASSERT_FALSE(store.SaveSettings(r));
  EXPECT_NE(fs.files[kPath].find("ExecuteFile=/home/u/old.sh\nExecuteDelay=120\n"),
            std::string::npos);
  SettingsRecord back;
  store.LoadSettings(back);
  EXPECT_EQ(back.ExecuteFile, "/home/u/old.sh");  // the old run file comes back
  EXPECT_EQ(back.ExecuteDelay, 120);

  fs.Put(kPath, before + "[EbbmarkSvc]\nExecuteFile=/home/u/old.sh\n");
  ASSERT_FALSE(store.SaveSettings(r, SaveOptions{.remove_run_file = true}));
  EXPECT_EQ(fs.files[kPath].find("Execute"), std::string::npos) << fs.files[kPath];
  store.LoadSettings(back);
  EXPECT_EQ(back.ExecuteFile, "");
  EXPECT_EQ(back.ExecuteDelay, 30);
}

TEST_F(SettingsTest, LongTextIsWrittenWholeAndReadCut) {
  SettingsRecord r;
  r.SMTPTo = std::string(300, 't');
  ASSERT_FALSE(store.SaveSettings(r));
  SettingsRecord back;
  store.LoadSettings(back);
  EXPECT_EQ(back.SMTPTo, std::string(254, 't'));
}

TEST_F(SettingsTest, FailedSaveReportsAndChangesNothing) {
  SettingsRecord r;
  r.SDSOC = 77;
  const SettingsRecord copy = r;

  fs.read_only_folders.insert("/opt/ebbmark");
  fs.Put(kPath, "[EbbmarkSvc]\nSDSOC=60\n");
  EXPECT_TRUE(store.SaveSettings(r));
  EXPECT_EQ(fs.files[kPath], "[EbbmarkSvc]\nSDSOC=60\n");

  // A file that exists but cannot be read is not overwritten: it may hold
  // other content.
  fs.read_only_folders.clear();
  fs.unreadable.insert(kPath);
  EXPECT_TRUE(store.SaveSettings(r));
  EXPECT_EQ(fs.replace_count, 0);
  EXPECT_EQ(r.SDSOC, copy.SDSOC);
  EXPECT_EQ(r.SettingsFileTime, copy.SettingsFileTime);
}

// A service must never lose the settings in force to a bad file: each bad
// kind keeps them, moves the stamp on and says why; a good or missing file
// loads as usual.
TEST_F(SettingsTest, LoadOrKeepKeepsTheSettingsInForceAgainstABadFile) {
  const std::string big(kSettingsFileLimit + 1, 'x');
  for (int bad = 0; bad < 3; ++bad) {
    SCOPED_TRACE(bad);
    fs = FakeFileSystem();
    fs.Put(kPath, "[EbbmarkSvc]\nTCPHost=10.0.0.5\nSDSOC=70\n");
    fs.Touch(kPath);
    SettingsRecord r;
    ASSERT_EQ(store.LoadSettingsOrKeep(r), std::nullopt);
    ASSERT_EQ(r.TCPHost, "10.0.0.5");
    if (bad == 0) fs.Put(kPath, big);
    if (bad == 1) fs.not_regular.insert(kPath);
    if (bad == 2) fs.unreadable.insert(kPath);
    fs.Touch(kPath);
    ASSERT_TRUE(store.SettingsChanged(r));
    const auto reason = store.LoadSettingsOrKeep(r);
    ASSERT_TRUE(reason);
    EXPECT_EQ(*reason, bad == 0   ? make_error_code(FileError::TooLarge).message()
                       : bad == 1 ? make_error_code(FileError::NotRegular).message()
                                  : std::make_error_code(std::errc::permission_denied).message());
    EXPECT_EQ(r.TCPHost, "10.0.0.5");
    EXPECT_EQ(r.SDSOC, 70);
    EXPECT_FALSE(store.SettingsChanged(r)) << "the bad file is not looked at again";
  }
  fs = FakeFileSystem();
  SettingsRecord r;
  r.TCPHost = "10.0.0.5";
  EXPECT_EQ(store.LoadSettingsOrKeep(r), std::nullopt);
  EXPECT_EQ(r.TCPHost, "") << "no file at all gives the defaults";
}

TEST(SettingsRealFileSystemTest, SaveIntoMissingFolderFails) {
  const auto folder = std::filesystem::temp_directory_path() / "ebbmark-settings-test-no-such";
  std::filesystem::remove_all(folder);
  SettingsStore store(RealFileSystem(), (folder / kSettingsFileName).string());
  SettingsRecord r;
  EXPECT_TRUE(store.SaveSettings(r));
  EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(SettingsTest, ChangeCheckFollowsTheStamp) {
  SettingsRecord r;
  store.LoadSettings(r);  // no file yet
  EXPECT_FALSE(r.SettingsFileTime.has_value());
  EXPECT_FALSE(store.SettingsChanged(r));

  // A file that appears after a load that found none is a change.
  ASSERT_FALSE(store.SaveSettings(r));
  EXPECT_TRUE(store.SettingsChanged(r));
  EXPECT_TRUE(store.SettingsChanged(r));  // until the next load
  store.LoadSettings(r);
  EXPECT_FALSE(store.SettingsChanged(r));

  // Two saves within one second: the stamps differ below the second only.
  fs.stamps[kPath] = FileStamp{5'000'000'000, 100};
  store.LoadSettings(r);
  fs.stamps[kPath] = FileStamp{5'000'000'001, 100};
  EXPECT_TRUE(store.SettingsChanged(r));
  store.LoadSettings(r);
  // Same time, other size.
  fs.stamps[kPath] = FileStamp{5'000'000'001, 101};
  EXPECT_TRUE(store.SettingsChanged(r));
  store.LoadSettings(r);

  // A file that vanishes is no change, and a load then keeps the old stamp.
  const auto kept = r.SettingsFileTime;
  fs.files.erase(kPath);
  EXPECT_FALSE(store.SettingsChanged(r));
  store.LoadSettings(r);
  EXPECT_EQ(r.SettingsFileTime, kept);
}

TEST(SettingsFolderTest, ChoosesTheFolder) {
  FakeFileSystem fs;
  EXPECT_EQ(ChooseSettingsFolder(fs, "/usr/bin", "/tmp/home", false), "/tmp/home");
  EXPECT_EQ(ChooseSettingsFolder(fs, "C:\\Ebbmark", "D:\\conf", true), "D:\\conf");
  EXPECT_EQ(ChooseSettingsFolder(fs, "C:\\Ebbmark", "", true), "C:\\Ebbmark");
  EXPECT_EQ(ChooseSettingsFolder(fs, "/usr/bin", "", false), "/etc/ebbmark");
  fs.Put("/opt/eb/Ebbmark.ini", "");
  EXPECT_EQ(ChooseSettingsFolder(fs, "/opt/eb", "", false), "/opt/eb");
  EXPECT_EQ(ChooseSettingsFolder(fs, "/opt/eb/", "", false), "/opt/eb/");
}

// The sign-in keys are optional: a file written before they existed loads
// and saves exactly as before.
TEST_F(SettingsTest, SignInKeysAreOptionalAndLeaveOldFilesAsTheyWere) {
  const std::string old_file =
      "[EbbmarkSvc]\r\nUDPBPort=8466\r\nTCPHost=relay\r\nTCPPort=8467\r\nInverterAddress=0\r\n"
      "ShutdownType=0\r\nForce=1\r\nSDVoltage=9\r\nSDTimer=0\r\nSDSOC=59\r\nSOCOII=1\r\n"
      "SMTPHost=mail\r\nSMTPPort=25\r\nSMTPFrom=a@b\r\nSMTPTo=c@d\r\nEmailOptions=3\r\n"
      "EmailDelay=0\r\n";
  SettingsRecord r = Load(old_file);
  EXPECT_EQ(r.SMTPSecurity, 0);
  EXPECT_EQ(r.SMTPUser, "");
  EXPECT_FALSE(r.SMTPPasswordSet);
  ASSERT_FALSE(store.SaveSettings(r));
  EXPECT_EQ(fs.files[kPath], old_file);

  // Set, they are written; back at their defaults, they go again.
  r.SMTPSecurity = 1;
  r.SMTPUser = "alerts@example.test";
  ASSERT_FALSE(store.SaveSettings(r));
  SettingsRecord back;
  store.LoadSettings(back);
  EXPECT_EQ(back.SMTPSecurity, 1);
  EXPECT_EQ(back.SMTPUser, "alerts@example.test");
  back.SMTPSecurity = 0;
  back.SMTPUser.clear();
  ASSERT_FALSE(store.SaveSettings(back));
  EXPECT_EQ(fs.files[kPath], old_file);
}

TEST_F(SettingsTest, SecurityOutsideItsRangeLoadsAsBefore) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{
           {"0", 0}, {"1", 1}, {"2", 2}, {"3", 0}, {"-1", 0}, {"abc", 0}, {"1.6", 2}, {"", 0}}) {
    EXPECT_EQ(LoadKey("SMTPSecurity", text).SMTPSecurity, expected) << text;
  }
}

TEST_F(SettingsTest, UserNameWithALineBreakOrNulIsNotSaved) {
  fs.Put(kPath, "[EbbmarkSvc]\r\nSMTPUser=before\r\n");
  for (const std::string& bad :
       {std::string("a\rb"), std::string("a\nSMTPHost=evil"), std::string("a\0b", 3)}) {
    SettingsRecord r;
    r.SMTPUser = bad;
    EXPECT_EQ(store.SaveSettings(r), std::make_error_code(std::errc::invalid_argument));
    EXPECT_EQ(fs.files[kPath], "[EbbmarkSvc]\r\nSMTPUser=before\r\n");
  }
}

// The record learns only whether a password is saved, never what it is.
TEST_F(SettingsTest, PasswordPresenceComesFromTheFileBesideTheSettings) {
  const std::string secret = JoinPath("/opt/ebbmark", "smtp.secret");
  fs.Put(secret, "hunter2");
  const SettingsRecord with = LoadKey("SMTPUser", "u");
  EXPECT_TRUE(with.SMTPPasswordSet);
  EXPECT_FALSE(with.SMTPPasswordChange.has_value());
  fs.files.erase(secret);
  EXPECT_FALSE(LoadKey("SMTPUser", "u").SMTPPasswordSet);
}

// The NUT server's keys are optional too: a file without them loads the
// server's defaults and saves back unchanged; each key set is written, and
// back at its default it goes again.
TEST_F(SettingsTest, NutKeysAreWrittenOnlyWhenSet) {
  const std::string old_file =
      "[EbbmarkSvc]\r\nUDPBPort=8466\r\nTCPHost=relay\r\nTCPPort=8467\r\nInverterAddress=0\r\n"
      "ShutdownType=0\r\nForce=1\r\nSDVoltage=9\r\nSDTimer=0\r\nSDSOC=59\r\nSOCOII=1\r\n"
      "SMTPHost=mail\r\nSMTPPort=25\r\nSMTPFrom=a@b\r\nSMTPTo=c@d\r\nEmailOptions=3\r\n"
      "EmailDelay=0\r\n";
  SettingsRecord r = Load(old_file);
  ASSERT_FALSE(store.SaveSettings(r));
  EXPECT_EQ(fs.files[kPath], old_file);

  r.NUTListen = "0.0.0.0";
  r.NUTPort = 3494;
  r.NUTName = "ups";
  r.NUTUser = "monuser";
  r.NUTHostSync = 0;
  ASSERT_FALSE(store.SaveSettings(r));
  for (const char* line : {"NUTListen=0.0.0.0\r\n", "NUTPort=3494\r\n", "NUTName=ups\r\n",
                           "NUTUser=monuser\r\n", "NUTHostSync=0\r\n"}) {
    EXPECT_NE(fs.files[kPath].find(line), std::string::npos) << line;
  }
  SettingsRecord back;
  store.LoadSettings(back);
  EXPECT_EQ(back.NUTListen, "0.0.0.0");
  EXPECT_EQ(back.NUTPort, 3494);
  EXPECT_EQ(back.NUTName, "ups");
  EXPECT_EQ(back.NUTUser, "monuser");
  EXPECT_EQ(back.NUTHostSync, 0);

  back.NUTListen.clear();
  back.NUTPort = 3493;
  back.NUTName = "ebbmark";
  back.NUTUser.clear();
  back.NUTHostSync = 15;
  ASSERT_FALSE(store.SaveSettings(back));
  EXPECT_EQ(fs.files[kPath], old_file);
}

TEST_F(SettingsTest, BadNutValuesFallBackPerKey) {
  // Each bad value takes its own key's default and leaves the others alone.
  const SettingsRecord r = Load(
      "[EbbmarkSvc]\r\nNUTPort=0\r\nNUTHostSync=601\r\nNUTName=my ups\r\nNUTUser=u\r\n"
      "NUTListen= 192.0.2.1 \r\n");
  EXPECT_EQ(r.NUTPort, 3493);
  EXPECT_EQ(r.NUTHostSync, 15);
  EXPECT_EQ(r.NUTName, "ebbmark");
  EXPECT_EQ(r.NUTUser, "u");
  EXPECT_EQ(r.NUTListen, "192.0.2.1");

  for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{
           {"1", 1}, {"65535", 65535}, {"65536", 3493}, {"-1", 3493}, {"x", 3493}, {"", 3493}}) {
    EXPECT_EQ(LoadKey("NUTPort", text).NUTPort, expected) << text;
  }
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{
           {"0", 0}, {"600", 600}, {"-1", 15}, {"601", 15}, {"", 15}, {"abc", 0}}) {
    // Text reads as a number the way every other key's does ("abc" is 0).
    EXPECT_EQ(LoadKey("NUTHostSync", text).NUTHostSync, expected) << text;
  }
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"ups", "ups"},
           {"UPS-1_a.b", "UPS-1_a.b"},
           {"", "ebbmark"},
           {"a@b", "ebbmark"},
           {"a\"b", "ebbmark"},
           {"\"ups\"", "ups"},  // quotes around a value are the file's, not the name's
           {std::string(64, 'n'), std::string(64, 'n')},
           {std::string(65, 'n'), "ebbmark"}}) {
    EXPECT_EQ(LoadKey("NUTName", text).NUTName, expected) << text;
  }
}

TEST_F(SettingsTest, BadNutNameOrUserIsNotSaved) {
  fs.Put(kPath, "[EbbmarkSvc]\r\nNUTName=before\r\n");
  SettingsRecord r;
  r.NUTName = "two words";
  EXPECT_EQ(store.SaveSettings(r), std::make_error_code(std::errc::invalid_argument));
  EXPECT_NE(OutOfRangeSetting(r).find("\"Device Name\" in the network window"), std::string::npos)
      << OutOfRangeSetting(r);
  r.NUTName = "ebbmark";
  r.NUTUser = "a\nNUTListen=0.0.0.0";
  EXPECT_EQ(store.SaveSettings(r), std::make_error_code(std::errc::invalid_argument));
  EXPECT_EQ(fs.files[kPath], "[EbbmarkSvc]\r\nNUTName=before\r\n");

  r.NUTUser.clear();
  r.NUTHostSync = 601;
  EXPECT_EQ(OutOfRangeSetting(r),
            "\"Host sync\" in the network window must be between 0 and 600 (it is 601)");
  r.NUTHostSync = 15;
  r.NUTPort = 0;
  EXPECT_NE(OutOfRangeSetting(r), "");
  r.NUTPort = 3493;
  EXPECT_EQ(OutOfRangeSetting(r), "");
}

TEST_F(SettingsTest, NutPasswordPresenceComesFromItsOwnFile) {
  const std::string nut = JoinPath("/opt/ebbmark", "nut.secret");
  fs.Put(nut, "pw");
  SettingsRecord with = LoadKey("NUTUser", "u");
  EXPECT_TRUE(with.NUTPasswordSet);
  EXPECT_FALSE(with.SMTPPasswordSet) << "the mail password is another file";
  EXPECT_FALSE(with.NUTPasswordChange.has_value());
  fs.files.erase(nut);
  EXPECT_FALSE(LoadKey("NUTUser", "u").NUTPasswordSet);
}

TEST(NutListenTest, AddressesOfTheSetting) {
  using V = std::vector<std::string>;
  EXPECT_EQ(NutListenAddresses(""), (V{"127.0.0.1", "::1"}));
  EXPECT_EQ(NutListenAddresses("  "), (V{"127.0.0.1", "::1"}));
  EXPECT_EQ(NutListenAddresses(" , ,"), (V{"127.0.0.1", "::1"}));
  EXPECT_EQ(NutListenAddresses("off"), V{});
  EXPECT_EQ(NutListenAddresses(" OFF "), V{});
  EXPECT_EQ(NutListenAddresses("0.0.0.0"), V{"0.0.0.0"});
  EXPECT_EQ(NutListenAddresses("::"), V{"::"});
  EXPECT_EQ(NutListenAddresses("192.0.2.1, ::1,,192.0.2.1"), (V{"192.0.2.1", "::1"}));
}

}  // namespace
}  // namespace ebbmark
