#pragma once
// The relay's text stream turned into status records: the line splitter, the
// record parser and the status table they keep. Each program owns one
// StatusStream per link; there are no globals.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace ebbmark {

inline constexpr int kStatusSlots = 11;  // port addresses 0..9, and slot 10 no record can reach

struct StatusTable {
  std::array<std::int32_t, kStatusSlots> AcInput{};
  std::array<std::int32_t, kStatusSlots> InverterCurrent{};
  std::array<std::int32_t, kStatusSlots> BatteryVoltage{};
  // The same voltage in tenths of a volt, as the record gave it, for readers
  // that show the decimal (the NUT server). 64 bits: every record whose whole
  // volts fit BatteryVoltage has its tenths kept here too.
  std::array<std::int64_t, kStatusSlots> BatteryVoltageTenths{};
  std::array<OptTime, kStatusSlots> InverterLastSeen{};
  std::int32_t MonitoredAddress = -1;
  bool MonitoredAddressChanged = false;
  std::int32_t BatterySoc = 0;
  std::int32_t BatteryTemp = 0;
  OptTime FndcLastSeen;

  bool operator==(const StatusTable&) const = default;
};

enum class StatusRecordKind { None, Inverter, LetteredDevice, Fndc };

class StatusStream {
 public:
  // While a line is started, the buffer never grows beyond this; past it the
  // buffer is emptied and the started line dropped.
  static constexpr std::size_t kMaxStartedLine = 64 * 1024;

  // While no line is started, a buffer this long or longer is out of step
  // with the stream and is discarded whole.
  static constexpr std::size_t kMaxUnstartedBuffer = 1024;

  explicit StatusStream(const Clock& clock) : clock_(clock) {}

  // Appends a received chunk and splits off every complete line. Equivalent to
  // appending to RecvBuffer and calling ProcessRecvBuffer, without copying the
  // chunk when it holds whole lines. After every call RecvBuffer is either
  // empty (LineStarted false) or one started line: an LF followed by text
  // without a CR, at most kMaxStartedLine characters.
  void Append(std::string_view chunk);

  // Cuts complete LF ... CR lines off the front of RecvBuffer and parses each.
  // An owner that empties RecvBuffer must clear LineStarted with it.
  void ProcessRecvBuffer();

  // Validates one line (without LF and CR) and stores its values.
  void ParseStatusLine(std::string_view line);

  std::string RecvBuffer;
  bool LineStarted = false;
  StatusTable Table;
  // Time of the last line of a known record kind; empty when none yet.
  OptTime LastDataStamp;

 private:
  // Splits the lines off the front of `data` (RecvBuffer, or a chunk when the
  // buffer is empty) and returns how many characters were used up. While a
  // line is started, `data[0]` is its LF and `scan_from` is where the search
  // for its CR resumes: text already searched is not searched again.
  std::size_t SplitLines(std::string_view data, std::size_t scan_from);
  // Empties RecvBuffer and forgets the started line.
  void DropBuffer();

  const Clock& clock_;
  // While LineStarted, the front of RecvBuffer known to hold no CR.
  std::size_t scanned_ = 0;
};

}  // namespace ebbmark
