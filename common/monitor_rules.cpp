#include "common/monitor_rules.h"

#include <array>
#include <cmath>
#include <limits>

namespace ebbmark {
namespace {

// A monitored address outside the table reads as 0, so a bad address can
// neither crash the cycle nor invent an inverting period.
std::int32_t ReadSlot(const std::array<std::int32_t, kStatusSlots>& values, std::int32_t address) {
  if (address < 0 || address >= kStatusSlots) return 0;
  return values[static_cast<std::size_t>(address)];
}

// The drop of a finished period. The start value is -1 when no reference was
// taken (a settings reload in the last tick of the period): there is nothing
// to measure against then, so the drop is 0 rather than a figure made up
// from the marker. Saturates instead of overflowing on absurd inputs.
std::int32_t Drop(std::int32_t at_start, std::int32_t at_end) {
  if (at_start == -1) return 0;
  const std::int64_t d = std::int64_t{at_start} - std::int64_t{at_end};
  if (d > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (d < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(d);
}

// Nearest whole number, halves to the even neighbour, as numbers are rounded
// everywhere else in the system. Not-a-number and anything not above 0 give 0;
// the top is capped far beyond any real period so the conversion stays defined.
std::int64_t WholeSeconds(double seconds) {
  if (!(seconds > 0)) return 0;
  constexpr double kCap = 1e15;  // about 31 million years
  if (seconds >= kCap) return static_cast<std::int64_t>(kCap);
  const double lower = std::floor(seconds);
  const double frac = seconds - lower;
  auto n = static_cast<std::int64_t>(lower);
  if (frac > 0.5 || (frac == 0.5 && n % 2 != 0)) ++n;
  return n;
}

// At least two digits; more when the value needs them (a period of 100 days
// or more keeps its full day count).
void AppendTwoDigits(std::string& out, std::int64_t value) {
  if (value < 10) out += '0';
  out += std::to_string(value);
}

}  // namespace

std::int32_t MonitoredAcInput(const StatusTable& t) {
  return ReadSlot(t.AcInput, t.MonitoredAddress);
}

std::int32_t MonitoredCurrent(const StatusTable& t) {
  return ReadSlot(t.InverterCurrent, t.MonitoredAddress);
}

std::int32_t MonitoredVoltage(const StatusTable& t) {
  return ReadSlot(t.BatteryVoltage, t.MonitoredAddress);
}

bool TrackInverting(InvertingState& st, const StatusTable& t, const Stamp& now) {
  if (MonitoredCurrent(t) <= 0) {
    if (st.InvertingSince) {
      st.LastDuration = FormatDuration(static_cast<double>(AgeSeconds(*st.InvertingSince, now)));
      st.LastSocDrop = Drop(st.SocAtStart, t.BatterySoc);
      st.LastVoltageDrop = Drop(st.VoltsAtStart, MonitoredVoltage(t));
      st.InvertingSince.reset();
      st.SocAtStart = -1;
      st.VoltsAtStart = -1;
    }
    return false;
  }
  if (!st.InvertingSince) st.InvertingSince = now;
  if (st.SocAtStart == -1) st.SocAtStart = t.BatterySoc;
  if (st.VoltsAtStart == -1) st.VoltsAtStart = MonitoredVoltage(t);
  return true;
}

bool SocIsFresh(const StatusTable& t, const Stamp& now) {
  if (!t.FndcLastSeen) return false;
  // A record stamped in the future (the system clock was set back) is not
  // taken as fresh: its SOC may be long out of date, and a stale low value
  // must not shut the computer down. The next record makes it fresh again.
  const std::int64_t age = AgeSeconds(*t.FndcLastSeen, now);
  return age >= 0 && age < 5;
}

bool TriggerReached(InvertingState& st, const SettingsRecord& s, const StatusTable& t,
                    const Stamp& now) {
  // The inverting state is brought up to date on every evaluation, whatever
  // the settings: the inverting notices of the same tick read it.
  const bool inverting = TrackInverting(st, t, now);
  if (s.SOCOII && !inverting) return false;
  // The lowest level of each battery rule is shown and saved as "n/a": off,
  // not a level of its own. An off-grid site inverts every night; "n/a" at
  // 59 % must not shut the computer down every evening at 58 %.
  if (SocIsFresh(t, now) && s.SDSOC > kSocTriggerOff && t.BatterySoc < s.SDSOC) return true;
  if (!TrackInverting(st, t, now)) return false;
  if (s.SDVoltage > kVoltageTriggerOff && MonitoredVoltage(t) < s.SDVoltage) return true;
  // Counted in calendar minutes from the wall time the period began.
  return s.SDTimer > 0 && st.InvertingSince &&
         MinuteBoundaries(*st.InvertingSince, now) >= s.SDTimer;
}

std::string FormatDuration(double seconds) {
  // Rounded once up front, so the parts always add up to the same whole
  // number of seconds (86399.6 is 24:00:00, not 23:59:00).
  const std::int64_t total = WholeSeconds(seconds);
  std::int64_t days = 0;
  std::int64_t hours = 0;
  std::int64_t minutes = total / 60;
  const std::int64_t secs = total % 60;
  if (minutes > 59) {
    hours = minutes / 60;
    minutes %= 60;
    // A period of exactly 24 hours still reads 24:00:00; days start above it.
    if (hours > 24) {
      days = hours / 24;
      hours %= 24;
    }
  }
  std::string out;
  AppendTwoDigits(out, days);
  out += "d ";
  AppendTwoDigits(out, hours);
  out += ':';
  AppendTwoDigits(out, minutes);
  out += ':';
  AppendTwoDigits(out, secs);
  return out;
}

}  // namespace ebbmark
