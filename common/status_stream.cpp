#include "common/status_stream.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace ebbmark {
namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

constexpr std::size_t kInverterFields = 14;
constexpr std::size_t kFndcFields = 12;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsDigitRun(std::string_view field) {
  return !field.empty() && std::all_of(field.begin(), field.end(), IsDigit);
}

// Adds the values of the field's digits to `sum`; false when the field is
// empty or holds anything but digits. The sum cannot overflow: it grows by at
// most 9 per character of a line that fits in memory.
bool AddDigits(std::string_view field, std::uint64_t& sum) {
  if (field.empty()) return false;
  for (char c : field) {
    if (!IsDigit(c)) return false;
    sum += static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// The value of a run of digits. Fields may be arbitrarily long, so the value
// saturates instead of wrapping; a saturated value never fits any table slot
// and never equals a digit sum.
std::uint64_t DigitsValue(std::string_view digits) {
  std::uint64_t value = 0;
  for (char c : digits) {
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (kSaturated - d) / 10) return kSaturated;
    value = value * 10 + d;
  }
  return value;
}

// A checksum field: a run of digits, optionally with blanks around it.
std::optional<std::uint64_t> ReadChecksum(std::string_view field) {
  const auto first = field.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  field = field.substr(first, field.find_last_not_of(" \t") - first + 1);
  if (!IsDigitRun(field)) return std::nullopt;
  return DigitsValue(field);
}

// value / divisor rounded to the nearest whole number, halves to the even
// neighbour (5 / 2 -> 2, 7 / 2 -> 4, 245 / 10 -> 24, 255 / 10 -> 26).
std::uint64_t DivideHalfEven(std::uint64_t value, std::uint64_t divisor) {
  const std::uint64_t q = value / divisor;
  const std::uint64_t twice_r = 2 * (value % divisor);
  if (twice_r > divisor || (twice_r == divisor && q % 2 == 1)) return q + 1;
  return q;
}

bool FitsInt32(std::uint64_t value) {
  return value <= kInt32Max;
}

// Splits a line at every ","; true only when it has exactly N fields.
template <std::size_t N>
bool SplitExactly(std::string_view line, std::array<std::string_view, N>& fields) {
  std::size_t count = 0;
  for (;;) {
    if (count == N) return false;
    const auto comma = line.find(',');
    fields[count++] = line.substr(0, comma);
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return count == N;
}

StatusRecordKind KindOf(char c) {
  if (c >= '0' && c <= '9') return StatusRecordKind::Inverter;
  if (c >= 'A' && c <= 'K') return StatusRecordKind::LetteredDevice;
  if (c >= 'a' && c <= 'j') return StatusRecordKind::Fndc;
  return StatusRecordKind::None;
}

void StoreInverterRecord(std::string_view line, const Stamp& now, StatusTable& table) {
  std::array<std::string_view, kInverterFields> f;
  if (!SplitExactly(line, f)) return;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i + 1 < kInverterFields; ++i) {
    if (!AddDigits(f[i], sum)) return;
  }
  const auto checksum = ReadChecksum(f[13]);
  if (!checksum || *checksum != sum) return;
  const bool doubled = (f[11].back() - '0') % 2 == 1;
  // Operating modes 90 and 92 carry no usable values.
  if (f[7] == "90" || f[7] == "92") return;

  std::uint64_t ac_input = DigitsValue(f[4]);
  std::uint64_t current = DigitsValue(f[1]);
  if (doubled) {
    ac_input = ac_input > kSaturated / 2 ? kSaturated : ac_input * 2;
    current = DivideHalfEven(current, 2);
  }
  const std::uint64_t voltage_tenths = DigitsValue(f[10]);
  const std::uint64_t voltage = DivideHalfEven(voltage_tenths, 10);
  // A value the table cannot hold rejects the whole record, so a slot never
  // mixes values of two records.
  if (!FitsInt32(ac_input) || !FitsInt32(current) || !FitsInt32(voltage)) return;

  const int a = f[0][0] - '0';
  table.AcInput[a] = static_cast<std::int32_t>(ac_input);
  table.InverterCurrent[a] = static_cast<std::int32_t>(current);
  table.BatteryVoltage[a] = static_cast<std::int32_t>(voltage);
  table.BatteryVoltageTenths[a] = static_cast<std::int64_t>(voltage_tenths);
  table.InverterLastSeen[a] = now;
  // The lowest port address heard from is the one the system watches.
  if (table.MonitoredAddress < 0 || a < table.MonitoredAddress) {
    table.MonitoredAddress = a;
    table.MonitoredAddressChanged = true;
  }
}

void StoreFndcRecord(std::string_view line, const Stamp& now, StatusTable& table) {
  std::array<std::string_view, kFndcFields> f;
  if (!SplitExactly(line, f)) return;
  // The device letter counts by its character code: a is 49, j is 58.
  std::uint64_t sum = static_cast<std::uint64_t>(f[0][0] - '0');
  for (std::size_t i = 1; i + 1 < kFndcFields; ++i) {
    if (!AddDigits(f[i], sum)) return;
  }
  const auto checksum = ReadChecksum(f[11]);
  if (!checksum || *checksum != sum) return;

  const std::uint64_t soc = DigitsValue(f[7]);
  const std::uint64_t temp_plus_10 = DigitsValue(f[10]);
  if (!FitsInt32(soc) || temp_plus_10 > kInt32Max + 10) return;

  table.FndcLastSeen = now;
  table.BatterySoc = static_cast<std::int32_t>(soc);
  table.BatteryTemp = static_cast<std::int32_t>(static_cast<std::int64_t>(temp_plus_10) - 10);
}

}  // namespace

void StatusStream::Append(std::string_view chunk) {
  if (RecvBuffer.empty()) {
    // The usual case: the chunk holds whole lines and perhaps the start of
    // one. Split it where it lies and keep only the started line.
    const std::size_t used = SplitLines(chunk, 1);
    if (!LineStarted) return;
    const std::string_view rest = chunk.substr(used);
    if (rest.size() > kMaxStartedLine) {
      DropBuffer();
      return;
    }
    RecvBuffer.assign(rest);
    scanned_ = RecvBuffer.size();
    return;
  }
  if (LineStarted && scanned_ == RecvBuffer.size()) {
    // The buffer holds a started line already searched for its CR: only the
    // new text needs searching, so a line trickling in stays linear.
    const auto cr = chunk.find('\r');
    if (cr == std::string_view::npos) {
      if (RecvBuffer.size() + chunk.size() > kMaxStartedLine) {
        DropBuffer();
        return;
      }
      RecvBuffer.append(chunk);
      scanned_ = RecvBuffer.size();
      return;
    }
    RecvBuffer.append(chunk.substr(0, cr));
    const std::string_view line = std::string_view(RecvBuffer).substr(1);
    if (!line.empty()) ParseStatusLine(line);
    DropBuffer();
    Append(chunk.substr(cr + 1));  // the buffer is empty now: split in place
    return;
  }
  RecvBuffer.append(chunk);
  ProcessRecvBuffer();
}

void StatusStream::ProcessRecvBuffer() {
  const std::size_t scan_from = LineStarted && scanned_ <= RecvBuffer.size() ? scanned_ : 0;
  const std::size_t used = SplitLines(RecvBuffer, scan_from);
  // One erase per call, however many lines the buffer held.
  RecvBuffer.erase(0, used);
  if (!LineStarted || RecvBuffer.size() > kMaxStartedLine) {
    DropBuffer();
    return;
  }
  if (RecvBuffer.capacity() > 2 * kMaxStartedLine) RecvBuffer.shrink_to_fit();
  scanned_ = RecvBuffer.size();
}

std::size_t StatusStream::SplitLines(std::string_view data, std::size_t scan_from) {
  std::size_t pos = 0;
  while (pos < data.size()) {
    if (!LineStarted) {
      // Out of step with the stream: text before the first LF belongs to no
      // line, and a long stretch without a started line is dropped whole.
      if (data.size() - pos >= kMaxUnstartedBuffer) return data.size();
      const auto lf = data.find('\n', pos);
      if (lf == std::string_view::npos) return data.size();
      pos = lf;
      LineStarted = true;
      scan_from = pos + 1;
    }
    const auto cr = data.find('\r', std::max(scan_from, pos + 1));
    if (cr == std::string_view::npos) return pos;  // wait for the rest of the line
    const std::string_view line = data.substr(pos + 1, cr - pos - 1);
    if (!line.empty()) ParseStatusLine(line);
    pos = cr + 1;
    LineStarted = false;
  }
  return pos;
}

void StatusStream::DropBuffer() {
  RecvBuffer.clear();
  // A huge chunk must not pin its memory for the rest of the run.
  if (RecvBuffer.capacity() > 2 * kMaxStartedLine) RecvBuffer.shrink_to_fit();
  LineStarted = false;
  scanned_ = 0;
}

void StatusStream::ParseStatusLine(std::string_view line) {
  // Field 0 must be exactly one character: the first comma sits at index 1.
  if (line.find(',') != 1) return;
  const StatusRecordKind kind = KindOf(line[0]);
  if (kind == StatusRecordKind::None) return;

  // Any line of a known kind shows the link is alive, valid or not.
  const Stamp now = clock_.Now();
  LastDataStamp = now;
  switch (kind) {
    case StatusRecordKind::Inverter:
      StoreInverterRecord(line, now, Table);
      break;
    case StatusRecordKind::Fndc:
      StoreFndcRecord(line, now, Table);
      break;
    case StatusRecordKind::LetteredDevice:
    case StatusRecordKind::None:
      break;
  }
}

}  // namespace ebbmark
