#include "common/status_stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ebbmark {
namespace {

// Port 0: current 1 A, AC input 120 V, battery 26.4 V, digit sum 23.
const std::string kRecord = "0,01,00,00,120,120,00,02,000,02,264,000,000,23";
// Battery monitor a: 85 % charge, 35 - 10 = 25 degrees.
const std::string kFndc = "a,00,00,00,00,00,00,85,00,00,35,70";

std::string Framed(const std::string& line) {
  return "\n" + line + "\r";
}

// Appends the digit sum of the fields as the checksum field.
std::string WithChecksum(const std::string& fields) {
  int sum = 0;
  for (char c : fields) {
    if (c >= '0' && c <= '9') sum += c - '0';
  }
  return fields + "," + std::to_string(sum);
}

// An inverter record from port `port` with the given field values.
std::string Inverter(char port, const std::string& current, const std::string& ac,
                     const std::string& mode, const std::string& volts, const std::string& flag) {
  return WithChecksum(std::string(1, port) + "," + current + ",00,00," + ac + ",120,00," + mode +
                      ",000,02," + volts + "," + flag + ",000");
}

struct Slot {
  int port;
  std::int32_t current, ac, volts;
  std::int64_t tenths = 264;  // the voltage field as given
};

using Expect = std::function<void(StatusTable&, const Stamp&)>;

Expect Stores(Slot s) {
  return [s](StatusTable& t, const Stamp& now) {
    t.InverterCurrent[s.port] = s.current;
    t.AcInput[s.port] = s.ac;
    t.BatteryVoltage[s.port] = s.volts;
    t.BatteryVoltageTenths[s.port] = s.tenths;
    t.InverterLastSeen[s.port] = now;
    t.MonitoredAddress = s.port;
    t.MonitoredAddressChanged = true;
  };
}

Expect Battery(std::int32_t soc, std::int32_t temp) {
  return [soc, temp](StatusTable& t, const Stamp& now) {
    t.BatterySoc = soc;
    t.BatteryTemp = temp;
    t.FndcLastSeen = now;
  };
}

struct ParseCase {
  const char* name;
  std::string input;  // received text, framing included
  bool stamps;        // the line counts as data for the link
  Expect expect;      // what the table gains; empty: unchanged
};

std::vector<ParseCase> ParseCases() {
  const std::string zeros200(200, '0');
  return {
      {"text before the first LF is dropped", "xyz" + Framed(kRecord), true,
       Stores({0, 1, 120, 26})},
      {"flag bit 0 doubles AC and halves current (1 -> 0)",
       Framed("0,01,00,00,120,120,00,02,000,02,264,001,000,24"), true, Stores({0, 0, 240, 26})},
      {"halving rounds half to even (7 -> 4)",
       Framed(Inverter('0', "07", "110", "02", "264", "003")), true, Stores({0, 4, 220, 26})},
      {"halving rounds half to even (5 -> 2)",
       Framed(Inverter('0', "05", "110", "02", "264", "001")), true, Stores({0, 2, 220, 26})},
      {"checksum mismatch", Framed("0,01,00,00,120,120,00,02,000,02,264,000,000,22"), true, {}},
      {"mode 92", Framed("0,01,00,00,120,120,00,92,000,02,264,000,000,32"), true, {}},
      {"mode 90", Framed("0,01,00,00,120,120,00,90,000,02,264,000,000,30"), true, {}},
      {"mode 092 is not an error mode", Framed(Inverter('2', "01", "120", "092", "264", "000")),
       true, Stores({2, 1, 120, 26})},
      {"volts 24.5 -> 24", Framed(Inverter('0', "01", "120", "02", "245", "000")), true,
       Stores({0, 1, 120, 24, 245})},
      {"volts 25.5 -> 26", Framed(Inverter('0', "01", "120", "02", "255", "000")), true,
       Stores({0, 1, 120, 26, 255})},
      {"volts from two digits", Framed(Inverter('0', "01", "120", "02", "26", "000")), true,
       Stores({0, 1, 120, 3, 26})},
      {"volts from four digits", Framed(Inverter('0', "01", "120", "02", "2645", "000")), true,
       Stores({0, 1, 120, 264, 2645})},
      {"checksum with blanks", Framed("0,01,00,00,120,120,00,02,000,02,264,000,000, 23 "), true,
       Stores({0, 1, 120, 26})},
      {"checksum with leading zeros",
       Framed(kRecord.substr(0, kRecord.size() - 2) + zeros200 + "23"), true,
       Stores({0, 1, 120, 26})},
      {"checksum not a number",
       Framed("0,01,00,00,120,120,00,02,000,02,264,000,000,23x"),
       true,
       {}},
      {"checksum signed", Framed("0,01,00,00,120,120,00,02,000,02,264,000,000,+23"), true, {}},
      {"checksum empty", Framed("0,01,00,00,120,120,00,02,000,02,264,000,000,"), true, {}},
      {"checksum of 200 digits", Framed(kRecord + std::string(198, '9')), true, {}},
      {"non-digit in a field", Framed("0,01,00,00,120,120,00,02,000,02,2a4,000,000,17"), true, {}},
      {"empty field", Framed("0,01,00,00,120,,00,02,000,02,264,000,000,20"), true, {}},
      {"15 fields", Framed(kRecord + ",0"), true, {}},
      {"13 fields", Framed("0,01,00,00,120,120,00,02,000,02,264,000,23"), true, {}},
      {"long unused field", Framed(Inverter('0', "01", "120", "02", "264", zeros200)), true,
       Stores({0, 1, 120, 26})},
      {"largest AC input", Framed(Inverter('0', "01", "2147483647", "02", "264", "000")), true,
       Stores({0, 1, 2147483647, 26})},
      {"largest battery voltage keeps its tenths",
       Framed(Inverter('0', "01", "120", "02", "21474836474", "000")), true,
       Stores({0, 1, 120, 2147483647, 21474836474})},
      {"battery voltage too large",
       Framed(Inverter('0', "01", "120", "02", "21474836475", "000")),
       true,
       {}},
      {"AC input too large once doubled",
       Framed(Inverter('0', "01", "1073741824", "02", "264", "001")),
       true,
       {}},
      {"AC input of 200 digits",
       Framed(Inverter('0', "01", std::string(200, '9'), "02", "264", "000")),
       true,
       {}},
      {"AC input wrapping 64 bits",
       Framed(Inverter('0', "01", "18446744073709551616", "02", "264", "0")),
       true,
       {}},
      {"line without a comma", Framed("0"), false, {}},
      {"field 0 two characters",
       Framed("12,01,00,00,120,120,00,02,000,02,264,000,000,23"),
       false,
       {}},
      {"field 0 empty", Framed(",0,1"), false, {}},
      {"unknown device character", Framed("L,1,2"), false, {}},
      {"empty line", "\n\r", false, {}},
      {"lettered device A", Framed("A,1,2,3"), true, {}},
      {"lettered device K with nothing after", Framed("K,"), true, {}},
      {"battery monitor", Framed(kFndc), true, Battery(85, 25)},
      {"battery monitor below 10 degrees", Framed("a,00,00,00,00,00,00,85,00,00,05,67"), true,
       Battery(85, -5)},
      {"battery monitor k is unknown", Framed("k,00,00,00,00,00,00,85,00,00,35,80"), false, {}},
      {"battery monitor checksum", Framed("a,00,00,00,00,00,00,85,00,00,35,71"), true, {}},
      {"battery monitor 11 fields", Framed("a,00,00,00,00,00,85,00,00,35,70"), true, {}},
      {"battery monitor non-digit", Framed("a,00,00,00,00,00,00,8x,00,00,35,65"), true, {}},
      {"battery monitor huge charge",
       Framed("a,00,00,00,00,00,00,2147483648,00,00,35,104"),
       true,
       {}},
  };
}

TEST(StatusStreamTest, ParsesEachKindOfLine) {
  for (const ParseCase& c : ParseCases()) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    StatusStream s(clock);
    s.Append(c.input);
    StatusTable expected;
    if (c.expect) c.expect(expected, clock.Now());
    EXPECT_EQ(s.Table, expected);
    EXPECT_EQ(s.LastDataStamp, c.stamps ? OptTime(clock.Now()) : std::nullopt);
    EXPECT_TRUE(s.RecvBuffer.empty());
    EXPECT_FALSE(s.LineStarted);
  }
}

TEST(StatusStreamTest, EveryBatteryMonitorLetterGivesTheSameValues) {
  for (char letter = 'a'; letter <= 'j'; ++letter) {
    SCOPED_TRACE(letter);
    ManualClock clock;
    StatusStream s(clock);
    const int checksum = 70 + (letter - 'a');
    s.Append(Framed(std::string(1, letter) + kFndc.substr(1, kFndc.size() - 3) +
                    std::to_string(checksum)));
    EXPECT_EQ(s.Table.BatterySoc, 85);
    EXPECT_EQ(s.Table.BatteryTemp, 25);
    EXPECT_EQ(s.Table.FndcLastSeen, clock.Now());
  }
}

// Feeds `chunks` either through Append or by appending to the buffer by hand.
StatusStream& Feed(StatusStream& s, const std::vector<std::string>& chunks, bool by_hand) {
  for (const std::string& chunk : chunks) {
    if (by_hand) {
      s.RecvBuffer += chunk;
      s.ProcessRecvBuffer();
    } else {
      s.Append(chunk);
    }
  }
  return s;
}

TEST(StatusStreamTest, LinesSplitAcrossChunksAtAnyPointParseTheSame) {
  const std::string stream = "xyz" + Framed(kRecord) + Framed(kFndc);
  ManualClock clock;
  StatusStream whole(clock);
  whole.Append(stream);
  ASSERT_EQ(whole.Table.InverterCurrent[0], 1);
  ASSERT_EQ(whole.Table.BatterySoc, 85);

  for (bool by_hand : {false, true}) {
    for (std::size_t i = 0; i <= stream.size(); ++i) {
      for (std::size_t j = i; j <= stream.size(); ++j) {
        StatusStream s(clock);
        Feed(s, {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)}, by_hand);
        ASSERT_EQ(s.Table, whole.Table) << "cut at " << i << " and " << j << " by hand " << by_hand;
        ASSERT_EQ(s.LastDataStamp, whole.LastDataStamp);
        ASSERT_TRUE(s.RecvBuffer.empty());
      }
    }
    StatusStream trickle(clock);
    for (char c : stream) Feed(trickle, {std::string(1, c)}, by_hand);
    EXPECT_EQ(trickle.Table, whole.Table);
  }
}

TEST(StatusStreamTest, PartialLineWaitsForItsCarriageReturn) {
  ManualClock clock;
  StatusStream s(clock);
  s.Append("\n0,01,00,00,120");
  EXPECT_TRUE(s.LineStarted);
  EXPECT_EQ(s.RecvBuffer, "\n0,01,00,00,120");
  EXPECT_FALSE(s.LastDataStamp);
  s.Append(",120,00,02,000,02,264,000,000,23\r\n0,");
  EXPECT_EQ(s.Table.AcInput[0], 120);
  EXPECT_TRUE(s.LineStarted);
  EXPECT_EQ(s.RecvBuffer, "\n0,");
}

TEST(StatusStreamTest, LongTextWithoutAStartedLineIsDiscarded) {
  const std::string line = Framed(kRecord);
  struct Case {
    const char* name;
    std::string input;
    bool parsed;
  };
  const Case cases[] = {
      {"1023 characters", std::string(1023 - line.size(), 'x') + line, true},
      {"1024 characters", std::string(1024 - line.size(), 'x') + line, false},
      {"1100 characters with a line inside", std::string(500, 'x') + line + std::string(553, 'y'),
       false},
      {"no LF at all", std::string(100, 'x') + "\r" + kRecord + "\r", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    StatusStream s(clock);
    s.Append(c.input);
    EXPECT_EQ(s.Table.AcInput[0], c.parsed ? 120 : 0);
    EXPECT_TRUE(s.RecvBuffer.empty());
    EXPECT_FALSE(s.LineStarted);
  }

  // The rule holds again for what is left after a started line ends.
  ManualClock clock;
  StatusStream s(clock);
  s.Append("\n0,01,00,00,");
  s.Append("120,120,00,02,000,02,264,000,000,23\r" + std::string(1024 - Framed(kFndc).size(), 'x') +
           Framed(kFndc));
  EXPECT_EQ(s.Table.AcInput[0], 120);
  EXPECT_EQ(s.Table.BatterySoc, 0);
  EXPECT_FALSE(s.LineStarted);

  // Text after a line has been started is kept, however long.
  s.Append("\n0,01,00,00,120,120,00,02,000,02,264,000,");
  const std::size_t lots = StatusStream::kMaxStartedLine - s.RecvBuffer.size();
  for (std::size_t sent = 0; sent < lots; sent += 1100)
    s.Append(std::string(std::min<std::size_t>(1100, lots - sent), '0'));
  EXPECT_EQ(s.RecvBuffer.size(), StatusStream::kMaxStartedLine);
  EXPECT_TRUE(s.LineStarted);
  StatusStream one_more = s;
  one_more.Append("0");
  EXPECT_TRUE(one_more.RecvBuffer.empty());
  EXPECT_FALSE(one_more.LineStarted);
  s.Append(",23\r");
  EXPECT_EQ(s.Table.AcInput[0], 120);
  EXPECT_TRUE(s.RecvBuffer.empty());
}

TEST(StatusStreamTest, StartedLineBeyondTheCapIsDropped) {
  for (bool by_hand : {false, true}) {
    SCOPED_TRACE(by_hand);
    ManualClock clock;
    StatusStream s(clock);
    Feed(s,
         {"\n0,01,00,00,120,120,00,02,000,02,264,000,",
          std::string(StatusStream::kMaxStartedLine, '0')},
         by_hand);
    EXPECT_TRUE(s.RecvBuffer.empty());
    EXPECT_FALSE(s.LineStarted);
    // The dropped line's end is text before an LF: it yields nothing; the
    // next line is parsed as usual.
    Feed(s, {",23\r", Framed(kFndc)}, by_hand);
    EXPECT_EQ(s.Table.AcInput[0], 0);
    EXPECT_EQ(s.Table.BatterySoc, 85);
  }
}

TEST(StatusStreamTest, BinaryJunkBeforeValidLinesDoesNoHarm) {
  ManualClock clock;
  StatusStream s(clock);
  std::string junk;
  for (int i = 0; i < 256; ++i) junk += static_cast<char>(i);
  s.Append(std::string(10, '\0') + junk);  // holds LF and CR out of order
  s.Append(Framed(std::string("0,\0\xff", 4)) + Framed(kRecord) + Framed(kFndc));
  EXPECT_EQ(s.Table.AcInput[0], 120);
  EXPECT_EQ(s.Table.BatterySoc, 85);
}

TEST(StatusStreamTest, LowestInverterAddressBecomesTheMonitoredOne) {
  ManualClock clock;
  StatusStream s(clock);
  s.Table.MonitoredAddress = 3;
  s.Append(Framed(Inverter('1', "01", "120", "02", "264", "000")));
  EXPECT_EQ(s.Table.MonitoredAddress, 1);
  EXPECT_TRUE(s.Table.MonitoredAddressChanged);

  s.Table.MonitoredAddressChanged = false;
  s.Append(Framed(Inverter('5', "02", "121", "02", "264", "000")));
  EXPECT_EQ(s.Table.MonitoredAddress, 1);
  EXPECT_FALSE(s.Table.MonitoredAddressChanged);
  EXPECT_EQ(s.Table.AcInput[5], 121);  // its values are still kept
  s.Append(Framed(Inverter('1', "01", "120", "02", "264", "000")));
  EXPECT_FALSE(s.Table.MonitoredAddressChanged);

  // A rejected record from a lower address changes nothing.
  s.Append(Framed("0,01,00,00,120,120,00,92,000,02,264,000,000,32"));
  EXPECT_EQ(s.Table.MonitoredAddress, 1);
}

}  // namespace
}  // namespace ebbmark
