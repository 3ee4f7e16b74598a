#include "common/nut_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ebbmark::nut {
namespace {

using namespace std::chrono_literals;
using Words = std::vector<std::string>;

TEST(NutSplitWordsTest, ReadsBlanksQuotesAndEscapes) {
  struct Case {
    std::string line;
    std::optional<Words> words;
  };
  const std::vector<Case> cases = {
      {"GET VAR ebbmark ups.status", Words{"GET", "VAR", "ebbmark", "ups.status"}},
      {"  LIST \t UPS  ", Words{"LIST", "UPS"}},
      {"", Words{}},
      {" \t ", Words{}},
      {R"(PASSWORD "two words")", Words{"PASSWORD", "two words"}},
      {R"(X "say \"hi\"")", Words{"X", R"(say "hi")"}},
      {R"(X "back\\slash")", Words{"X", R"(back\slash)"}},
      {R"(X "\q")", Words{"X", "q"}},  // any escaped character stands for itself
      {R"(X "" Y)", Words{"X", "", "Y"}},
      {R"(ab"c d"e f)", Words{"abc de", "f"}},
      {R"(a\b)", Words{R"(a\b)"}},  // outside quotes a backslash is a character
      {std::string("A\0B C", 5), Words{std::string("A\0B", 3), "C"}},
      {R"(X "open)", std::nullopt},
      {R"(X "ends in a backslash\)", std::nullopt},
      {R"(X "escaped close\")", std::nullopt},
      {"\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitWords(c.line), c.words);
  }
}

TEST(NutQuoteValueTest, EscapesQuotesAndBackslashesAndReadsBack) {
  EXPECT_EQ(QuoteValue("87"), R"("87")");
  EXPECT_EQ(QuoteValue(""), R"("")");
  EXPECT_EQ(QuoteValue(R"(a "b" \c)"), R"("a \"b\" \\c")");
  for (const std::string value : {"", "OB LB FSD", R"(\)", R"(\")", R"("")", "tab\there"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(SplitWords("VAR " + QuoteValue(value)), (Words{"VAR", value}));
  }
}

Snapshot Live() {
  return {false,
          {{"battery.charge", "87"}, {"device.model", R"(say "x" \ y)"}, {"ups.status", "OL"}}};
}

ServerConfig Config() {
  ServerConfig c;
  c.device_name = "ebbmark";
  c.description = "Inverter room";
  c.user = "monuser";
  c.password = "s3cret";
  return c;
}

const std::vector<std::string> kClients = {"192.168.1.20", "::1"};

TEST(NutSessionTest, AnswersEveryVerb) {
  struct Case {
    std::string line;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"VER", std::string("Ebbmark ") + EBBMARK_VERSION + " NUT server\n"},
      {"NETVER", "1.3\n"},
      {"netver\r", "1.3\n"},  // verbs in any case; the CR of a CR LF line is dropped
      {"HELP",
       "Commands: HELP VER NETVER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD PRIMARY "
       "MASTER FSD STARTTLS\n"},
      {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
      {"", ""},
      {"   ", ""},
      {"FROB", "ERR UNKNOWN-COMMAND\n"},
      {"REQ ebbmark ups.status", "ERR UNKNOWN-COMMAND\n"},
      {R"(GET VAR "ebbmark)", "ERR INVALID-ARGUMENT\n"},
      // LIST
      {"LIST UPS", "BEGIN LIST UPS\nUPS ebbmark \"Inverter room\"\nEND LIST UPS\n"},
      {"LIST VAR ebbmark",
       "BEGIN LIST VAR ebbmark\n"
       "VAR ebbmark battery.charge \"87\"\n"
       "VAR ebbmark device.model \"say \\\"x\\\" \\\\ y\"\n"
       "VAR ebbmark ups.status \"OL\"\n"
       "END LIST VAR ebbmark\n"},
      {"list var ebbmark",
       "BEGIN LIST VAR ebbmark\n"
       "VAR ebbmark battery.charge \"87\"\n"
       "VAR ebbmark device.model \"say \\\"x\\\" \\\\ y\"\n"
       "VAR ebbmark ups.status \"OL\"\n"
       "END LIST VAR ebbmark\n"},
      {"LIST RW ebbmark", "BEGIN LIST RW ebbmark\nEND LIST RW ebbmark\n"},
      {"LIST CMD ebbmark", "BEGIN LIST CMD ebbmark\nEND LIST CMD ebbmark\n"},
      {"LIST CLIENT ebbmark",
       "BEGIN LIST CLIENT ebbmark\nCLIENT ebbmark 192.168.1.20\nCLIENT ebbmark ::1\n"
       "END LIST CLIENT ebbmark\n"},
      {"LIST ENUM ebbmark ups.status",
       "BEGIN LIST ENUM ebbmark ups.status\nEND LIST ENUM ebbmark ups.status\n"},
      {"LIST RANGE ebbmark battery.charge",
       "BEGIN LIST RANGE ebbmark battery.charge\nEND LIST RANGE ebbmark battery.charge\n"},
      {"LIST ENUM ebbmark input.frequency", "ERR VAR-NOT-SUPPORTED\n"},
      {"LIST VAR ups", "ERR UNKNOWN-UPS\n"},
      {"LIST VAR EBBMARK", "ERR UNKNOWN-UPS\n"},  // device names are exact
      {"LIST CLIENT ups", "ERR UNKNOWN-UPS\n"},
      {"LIST VAR", "ERR INVALID-ARGUMENT\n"},
      {"LIST VAR ebbmark extra", "ERR INVALID-ARGUMENT\n"},
      {"LIST", "ERR INVALID-ARGUMENT\n"},
      {"LIST STUFF ebbmark", "ERR INVALID-ARGUMENT\n"},
      // GET
      {"GET VAR ebbmark battery.charge", "VAR ebbmark battery.charge \"87\"\n"},
      {R"(GET VAR "ebbmark" "ups.status")", "VAR ebbmark ups.status \"OL\"\n"},
      {"GET VAR ebbmark device.model", "VAR ebbmark device.model \"say \\\"x\\\" \\\\ y\"\n"},
      {"GET VAR ebbmark battery.voltage", "ERR VAR-NOT-SUPPORTED\n"},
      {"GET VAR ups battery.charge", "ERR UNKNOWN-UPS\n"},
      {"GET VAR ebbmark", "ERR INVALID-ARGUMENT\n"},
      {"GET TYPE ebbmark battery.charge", "TYPE ebbmark battery.charge NUMBER\n"},
      {"GET TYPE ebbmark ups.status", "TYPE ebbmark ups.status STRING:32\n"},
      {"GET TYPE ebbmark battery.voltage", "ERR VAR-NOT-SUPPORTED\n"},
      {"GET DESC ebbmark ups.status", "DESC ebbmark ups.status \"UPS status\"\n"},
      {"GET DESC ebbmark battery.charge",
       "DESC ebbmark battery.charge \"Battery state of charge (percent)\"\n"},
      {"GET DESC ebbmark x.y", "ERR VAR-NOT-SUPPORTED\n"},
      {R"(GET DESC ebbmark "a b")", "ERR VAR-NOT-SUPPORTED\n"},
      {"GET DESC ups ups.status", "ERR UNKNOWN-UPS\n"},
      {"GET UPSDESC ebbmark", "UPSDESC ebbmark \"Inverter room\"\n"},
      {"GET UPSDESC ups", "ERR UNKNOWN-UPS\n"},
      {"GET NUMLOGINS ebbmark", "NUMLOGINS ebbmark 2\n"},
      {"GET NUMLOGINS ups", "ERR UNKNOWN-UPS\n"},
      {"GET CMDDESC ebbmark load.off", "ERR CMD-NOT-SUPPORTED\n"},
      {"GET TRACKING", "OFF\n"},
      {"GET", "ERR INVALID-ARGUMENT\n"},
      {"GET STUFF ebbmark", "ERR INVALID-ARGUMENT\n"},
      // Ebbmark is the primary: nothing a client sends may act on the device.
      {"PRIMARY ebbmark", "ERR ACCESS-DENIED\n"},
      {"MASTER ebbmark", "ERR ACCESS-DENIED\n"},
      {"FSD ebbmark", "ERR ACCESS-DENIED\n"},
      {"FSD", "ERR INVALID-ARGUMENT\n"},
      {R"(SET VAR ebbmark battery.charge "5")", "ERR READONLY\n"},
      {"SET VAR ebbmark ups.delay.shutdown 20", "ERR VAR-NOT-SUPPORTED\n"},
      {"SET VAR ups battery.charge 5", "ERR UNKNOWN-UPS\n"},
      {"SET VAR ebbmark battery.charge", "ERR INVALID-ARGUMENT\n"},
      {"SET TRACKING ON", "ERR FEATURE-NOT-SUPPORTED\n"},
      {"SET TRACKING MAYBE", "ERR INVALID-ARGUMENT\n"},
      {"INSTCMD ebbmark load.off", "ERR CMD-NOT-SUPPORTED\n"},
      {"INSTCMD ebbmark load.off.delay 120", "ERR CMD-NOT-SUPPORTED\n"},
      {"INSTCMD ups load.off", "ERR UNKNOWN-UPS\n"},
      {"INSTCMD ebbmark", "ERR INVALID-ARGUMENT\n"},
      {R"(USERNAME "")", "ERR INVALID-USERNAME\n"},
      {"USERNAME", "ERR INVALID-ARGUMENT\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Session s("10.0.0.5");
    const Session::Reply r = s.Handle(c.line, Live(), Config(), kClients);
    EXPECT_EQ(r.text, c.answer);
    EXPECT_FALSE(r.close);
    EXPECT_FALSE(r.auth_failure);
    EXPECT_FALSE(r.login_changed);
    EXPECT_EQ(s.failed_tries(), 0);
  }
}

TEST(NutSessionTest, DeviceNameAndDescriptionComeFromTheSettings) {
  ServerConfig config = Config();
  config.device_name = "ups";
  config.description.clear();
  Session s("10.0.0.5");
  EXPECT_EQ(s.Handle("GET VAR ups ups.status", Live(), config, {}).text,
            "VAR ups ups.status \"OL\"\n");
  EXPECT_EQ(s.Handle("GET VAR ebbmark ups.status", Live(), config, {}).text, "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(s.Handle("LIST UPS", Live(), config, {}).text,
            "BEGIN LIST UPS\nUPS ups \"Unavailable\"\nEND LIST UPS\n");
  EXPECT_EQ(s.Handle("GET UPSDESC ups", Live(), config, {}).text, "UPSDESC ups \"Unavailable\"\n");
  EXPECT_EQ(s.Handle("GET NUMLOGINS ups", Live(), config, {}).text, "NUMLOGINS ups 0\n");
  EXPECT_EQ(s.Handle("LIST CLIENT ups", Live(), config, {}).text,
            "BEGIN LIST CLIENT ups\nEND LIST CLIENT ups\n");
}

TEST(NutSessionTest, StaleDataRefusesValuesOnly) {
  Snapshot stale = Live();
  stale.stale = true;
  Session s("10.0.0.5");
  auto answer = [&](std::string_view line) { return s.Handle(line, stale, Config(), {}).text; };
  EXPECT_EQ(answer("GET VAR ebbmark ups.status"), "ERR DATA-STALE\n");
  EXPECT_EQ(answer("GET VAR ebbmark no.such.var"), "ERR DATA-STALE\n");
  EXPECT_EQ(answer("LIST VAR ebbmark"), "ERR DATA-STALE\n");
  // The device itself is still known, and so is a wrong name.
  EXPECT_EQ(answer("GET VAR ups ups.status"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(answer("LIST VAR ups"), "ERR UNKNOWN-UPS\n");
  EXPECT_EQ(answer("LIST UPS"), "BEGIN LIST UPS\nUPS ebbmark \"Inverter room\"\nEND LIST UPS\n");
  EXPECT_EQ(answer("GET TYPE ebbmark battery.charge"), "TYPE ebbmark battery.charge NUMBER\n");
  EXPECT_EQ(answer("GET DESC ebbmark ups.status"), "DESC ebbmark ups.status \"UPS status\"\n");
  EXPECT_EQ(answer("NETVER"), "1.3\n");
}

// One line of a sign-in conversation and what it must give.
struct Step {
  std::string line;
  std::string answer;
  bool failure = false;  // auth_failure
  bool changed = false;  // login_changed
  bool close = false;
};

void Talk(Session& s, const std::vector<Step>& steps, const ServerConfig& config = Config()) {
  for (const Step& step : steps) {
    SCOPED_TRACE(step.line);
    const Session::Reply r = s.Handle(step.line, Live(), config, kClients);
    EXPECT_EQ(r.text, step.answer);
    EXPECT_EQ(r.auth_failure, step.failure);
    EXPECT_EQ(r.login_changed, step.changed);
    EXPECT_EQ(r.close, step.close);
  }
}

TEST(NutSessionTest, SecondarySignsInAndOut) {
  Session s("192.168.1.20");
  EXPECT_EQ(s.peer_address(), "192.168.1.20");
  Talk(s, {{"USERNAME monuser", "OK\n"},
           {R"(PASSWORD "s3cret")", "OK\n"},
           {"LOGIN ebbmark", "OK\n", false, true}});
  EXPECT_TRUE(s.logged_in());
  Talk(s, {{"LOGIN ebbmark", "ERR ALREADY-LOGGED-IN\n"},
           {"USERNAME other", "ERR ALREADY-SET-USERNAME\n"},
           {"GET VAR ebbmark ups.status", "VAR ebbmark ups.status \"OL\"\n"},
           {"PRIMARY ebbmark", "ERR ACCESS-DENIED\n"},
           {"LOGOUT", "OK Goodbye\n", false, true, true}});
  EXPECT_FALSE(s.logged_in());
  EXPECT_EQ(s.failed_tries(), 0);

  // A client that never logged in leaves without a change to report.
  Session reader("10.0.0.6");
  Talk(reader, {{"LOGOUT", "OK Goodbye\n", false, false, true}});
}

TEST(NutSessionTest, RefusedSignInsAreCountedFailures) {
  struct Case {
    std::string name;
    std::vector<Step> steps;
    ServerConfig config = Config();
  };
  const ServerConfig no_password = [] {
    ServerConfig c = Config();
    c.password.clear();
    return c;
  }();
  const ServerConfig no_user = [] {
    ServerConfig c = Config();
    c.user.clear();
    return c;
  }();
  const std::vector<Case> cases = {
      {"wrong password",
       {{"USERNAME monuser", "OK\n"},
        {"PASSWORD s3creT", "OK\n"},
        {"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}}},
      {"wrong user",
       {{"USERNAME admin", "OK\n"},
        {"PASSWORD s3cret", "OK\n"},
        {"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}}},
      {"password repeating the real one",
       {{"USERNAME monuser", "OK\n"},
        {"PASSWORD s3crets3cret", "OK\n"},
        {"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}}},
      {"password a prefix of the real one",
       {{"USERNAME monuser", "OK\n"},
        {"PASSWORD s3c", "OK\n"},
        {"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}}},
      {"no password set on this computer",
       {{"USERNAME monuser", "OK\n"},
        {"PASSWORD x", "OK\n"},
        {"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}},
       no_password},
      {"no user set on this computer",
       {{"USERNAME monuser", "OK\n"},
        {"PASSWORD s3cret", "OK\n"},
        {"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}},
       no_user},
      {"login first", {{"LOGIN ebbmark", "ERR USERNAME-REQUIRED\n", true}}},
      {"login without password",
       {{"USERNAME monuser", "OK\n"}, {"LOGIN ebbmark", "ERR PASSWORD-REQUIRED\n", true}}},
      {"login to another device",
       {{"USERNAME monuser", "OK\n"},
        {"PASSWORD s3cret", "OK\n"},
        {"LOGIN ups", "ERR UNKNOWN-UPS\n", true}}},
      {"second password",
       {{"PASSWORD a", "OK\n"}, {"PASSWORD b", "ERR ALREADY-SET-PASSWORD\n", true}}},
      {"empty password", {{R"(PASSWORD "")", "ERR INVALID-PASSWORD\n", true}}},
      {"password in two words", {{"PASSWORD a b", "ERR INVALID-ARGUMENT\n", true}}},
      {"login without a device", {{"LOGIN", "ERR INVALID-ARGUMENT\n", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s("10.0.0.5");
    Talk(s, c.steps, c.config);
    EXPECT_FALSE(s.logged_in());
    EXPECT_EQ(s.failed_tries(), 1);
  }
}

TEST(NutSessionTest, FifthFailedTryClosesTheConnection) {
  Session s("10.0.0.5");
  Talk(s, {{"USERNAME monuser", "OK\n"}, {"PASSWORD wrong", "OK\n"}});
  for (int i = 1; i < Session::kMaxFailedTries; ++i) {
    Talk(s, {{"LOGIN ebbmark", "ERR ACCESS-DENIED\n", true}});
    EXPECT_EQ(s.failed_tries(), i);
  }
  // Other lines neither count nor close.
  Talk(s, {{"GET VAR ebbmark ups.status", "VAR ebbmark ups.status \"OL\"\n"},
           {"FROB", "ERR UNKNOWN-COMMAND\n"}});
  Talk(s, {{"PASSWORD again", "ERR ALREADY-SET-PASSWORD\n", true, false, true}});
  EXPECT_EQ(s.failed_tries(), Session::kMaxFailedTries);
  EXPECT_FALSE(s.logged_in());
}

TEST(NutSessionTest, SignInAfterFailuresStillWorksBelowTheLimit) {
  Session s("10.0.0.5");
  Talk(s, {{"LOGIN ebbmark", "ERR USERNAME-REQUIRED\n", true},
           {"USERNAME monuser", "OK\n"},
           {"LOGIN ebbmark", "ERR PASSWORD-REQUIRED\n", true},
           {"PASSWORD s3cret", "OK\n"},
           {"LOGIN ebbmark", "OK\n", false, true}});
  EXPECT_TRUE(s.logged_in());
  EXPECT_EQ(s.failed_tries(), 2);
}

// --- The snapshot ---------------------------------------------------------

constexpr int kAddr = 2;

struct Site {
  std::int32_t current = 0;  // the monitored inverter's current: above 0 is inverting
  std::int32_t soc = 90;
  bool fresh_soc = true;
  std::int32_t volts = 26;
  std::int32_t sd_soc = kSocTriggerOff;
  std::int32_t sd_voltage = kVoltageTriggerOff;
  bool trigger = false;
  bool socoii = false;
};

SnapshotInputs Inputs(const Site& site) {
  ManualClock clock;
  SnapshotInputs in;
  in.now = clock.Now();
  StatusTable& t = in.table;
  t.MonitoredAddress = kAddr;
  t.InverterCurrent[kAddr] = site.current;
  t.AcInput[kAddr] = site.current > 0 ? 0 : 230;
  t.BatteryVoltage[kAddr] = site.volts;
  t.BatteryVoltageTenths[kAddr] = std::int64_t{site.volts} * 10 + 4;
  t.InverterLastSeen[kAddr] = in.now;
  t.BatterySoc = site.soc;
  t.BatteryTemp = 21;
  t.FndcLastSeen = site.fresh_soc ? in.now - 1s : in.now - 5s;
  in.link_error = false;
  in.sd_soc = site.sd_soc;
  in.sd_voltage = site.sd_voltage;
  in.trigger_begun = site.trigger;
  in.soc_only_if_inverting = site.socoii;
  return in;
}

std::optional<std::string> Value(const Snapshot& s, std::string_view name) {
  for (const auto& [n, v] : s.vars) {
    if (n == name) return v;
  }
  return std::nullopt;
}

TEST(NutSnapshotTest, StatusFollowsTheTriggerRules) {
  struct Case {
    std::string name;
    Site site;
    std::string status;
  };
  const std::vector<Case> cases = {
      {"mains", {}, "OL"},
      {"inverting", {.current = 5}, "OB"},
      {"charge below SDSOC", {.current = 5, .soc = 40, .sd_soc = 60}, "OB LB"},
      {"charge at SDSOC", {.current = 5, .soc = 60, .sd_soc = 60}, "OB"},
      {"charge below SDSOC on mains", {.soc = 40, .sd_soc = 60}, "OL LB"},
      // SOCOII: the charge rule counts only while inverting, as the trigger does.
      {"SOCOII, charge below SDSOC on mains", {.soc = 40, .sd_soc = 60, .socoii = true}, "OL"},
      {"SOCOII, charge below SDSOC inverting",
       {.current = 5, .soc = 40, .sd_soc = 60, .socoii = true},
       "OB LB"},
      {"stale charge below SDSOC",
       {.current = 5, .soc = 40, .fresh_soc = false, .sd_soc = 60},
       "OB"},
      {"SDSOC n/a", {.current = 5, .soc = 10}, "OB"},
      {"voltage below SDVoltage", {.current = 5, .volts = 22, .sd_voltage = 24}, "OB LB"},
      {"voltage below SDVoltage on mains", {.volts = 22, .sd_voltage = 24}, "OL"},
      {"SDVoltage n/a", {.current = 5, .volts = 5}, "OB"},
      {"trigger begun", {.current = 5, .soc = 40, .sd_soc = 60, .trigger = true}, "OB LB FSD"},
      {"timer trigger, battery still high", {.current = 5, .trigger = true}, "OB FSD"},
      {"trigger begun, mains back", {.trigger = true}, "OL FSD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Value(BuildSnapshot(Inputs(c.site)), "ups.status"), c.status);
  }
}

TEST(NutSnapshotTest, ShowsTheSiteUnderNutNamesSorted) {
  Site site{.current = 5, .soc = 87, .volts = 26, .sd_soc = 60, .sd_voltage = 24};
  const Snapshot s = BuildSnapshot(Inputs(site));
  EXPECT_FALSE(s.stale);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"battery.charge", "87"},
      {"battery.charge.low", "60"},
      {"battery.temperature", "21"},
      {"battery.voltage", "26.4"},
      {"battery.voltage.low", "24"},
      {"device.mfr", "Ebbmark"},
      {"device.model", "Inverter with battery monitor"},
      {"device.type", "ups"},
      {"driver.name", "ebbmark"},
      {"driver.version", EBBMARK_VERSION},
      {"input.voltage", "0"},
      {"output.current", "5"},
      {"ups.mfr", "Ebbmark"},
      {"ups.status", "OB"},
  };
  EXPECT_EQ(s.vars, expected);
  // Every name served has its own description.
  for (const auto& [name, value] : s.vars) {
    EXPECT_NE(DescribeVariable(name), "Description unavailable") << name;
  }
  EXPECT_EQ(DescribeVariable("input.frequency"), "Description unavailable");
}

TEST(NutSnapshotTest, LeavesOutWhatTheRelayHasNotGiven) {
  SnapshotInputs in;  // nothing heard, levels "n/a", link in error
  Snapshot s = BuildSnapshot(in);
  EXPECT_TRUE(s.stale);
  for (const char* absent :
       {"battery.charge", "battery.temperature", "battery.voltage", "input.voltage",
        "output.current", "battery.charge.low", "battery.voltage.low"}) {
    EXPECT_EQ(Value(s, absent), std::nullopt) << absent;
  }
  EXPECT_EQ(Value(s, "ups.status"), "OL");
  EXPECT_EQ(Value(s, "device.type"), "ups");

  // An inverter without a battery monitor: no charge, never a 0 %.
  in = Inputs({.current = 3});
  in.table.FndcLastSeen.reset();
  s = BuildSnapshot(in);
  EXPECT_EQ(Value(s, "battery.charge"), std::nullopt);
  EXPECT_EQ(Value(s, "battery.temperature"), std::nullopt);
  EXPECT_EQ(Value(s, "output.current"), "3");

  // A battery monitor without an inverter heard on the monitored address.
  in = Inputs({});
  in.table.InverterLastSeen[kAddr].reset();
  s = BuildSnapshot(in);
  EXPECT_EQ(Value(s, "battery.charge"), "90");
  EXPECT_EQ(Value(s, "battery.voltage"), std::nullopt);
  EXPECT_EQ(Value(s, "input.voltage"), std::nullopt);
  in.table.MonitoredAddress = -1;
  EXPECT_EQ(Value(BuildSnapshot(in), "output.current"), std::nullopt);
}

TEST(NutSnapshotTest, VoltageKeepsItsTenthsAndLowsStartAboveNa) {
  SnapshotInputs in = Inputs({});
  for (const auto& [tenths, text] : std::vector<std::pair<std::int64_t, std::string>>{
           {264, "26.4"}, {250, "25.0"}, {5, "0.5"}, {0, "0.0"}, {21474836474, "2147483647.4"}}) {
    in.table.BatteryVoltageTenths[kAddr] = tenths;
    EXPECT_EQ(Value(BuildSnapshot(in), "battery.voltage"), text);
  }
  in.sd_soc = kSocTriggerOff + 1;
  in.sd_voltage = kVoltageTriggerOff + 1;
  Snapshot s = BuildSnapshot(in);
  EXPECT_EQ(Value(s, "battery.charge.low"), std::to_string(kSocTriggerOff + 1));
  EXPECT_EQ(Value(s, "battery.voltage.low"), std::to_string(kVoltageTriggerOff + 1));
}

TEST(NutSnapshotTest, StaleFollowsTheLinkAndChangesCompare) {
  SnapshotInputs in = Inputs({});
  const Snapshot live = BuildSnapshot(in);
  EXPECT_EQ(BuildSnapshot(in), live);
  in.link_error = true;
  EXPECT_TRUE(BuildSnapshot(in).stale);
  EXPECT_NE(BuildSnapshot(in), live);
  in.link_error = false;
  in.table.BatterySoc = 89;
  EXPECT_NE(BuildSnapshot(in), live);
}

TEST(NutSnapshotTest, LinkInErrorUntilARecordAndAfterThirtyQuietSeconds) {
  ManualClock clock;
  StatusStream stream(clock);
  EXPECT_TRUE(LinkInError(stream, clock.Now()));
  // The link stamps its first connect; no record has come yet.
  stream.LastDataStamp = clock.Now();
  EXPECT_TRUE(LinkInError(stream, clock.Now()));
  stream.Append("\na,00,00,00,00,00,00,85,00,00,35,70\r");
  EXPECT_FALSE(LinkInError(stream, clock.Now()));
  clock.Advance(29s);
  EXPECT_FALSE(LinkInError(stream, clock.Now()));
  clock.Advance(1s);
  EXPECT_TRUE(LinkInError(stream, clock.Now()));
  stream.Append("\nA,1,2\r");  // any line of a known kind revives it
  EXPECT_FALSE(LinkInError(stream, clock.Now()));
}

}  // namespace
}  // namespace ebbmark::nut
