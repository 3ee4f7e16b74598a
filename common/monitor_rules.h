#pragma once
// The rules the monitoring cycle judges on every tick: inverting periods, the
// shutdown triggers, battery-monitor freshness, and the duration text. Both
// programs use them; the configuration program on its own copies of the values.

#include <cstdint>
#include <string>

#include "base/clock.h"
#include "common/settings.h"
#include "common/status_stream.h"

namespace ebbmark {

// The inverting-period values, written only by TrackInverting.
struct InvertingState {
  OptTime InvertingSince;          // empty while not inverting
  std::int32_t SocAtStart = -1;    // -1: no reference yet
  std::int32_t VoltsAtStart = -1;  // -1: no reference yet
  std::string LastDuration;        // FormatDuration of the last finished period
  // Start value minus end value of the last finished period, saturated to
  // 32 bits; 0 when the period ended before a start value was taken.
  std::int32_t LastSocDrop = 0;
  std::int32_t LastVoltageDrop = 0;
};

// Values of the monitored inverter; 0 when the address is outside 0..10.
std::int32_t MonitoredAcInput(const StatusTable& t);
std::int32_t MonitoredCurrent(const StatusTable& t);
std::int32_t MonitoredVoltage(const StatusTable& t);

// Follows the start and end of an inverting period of the monitored inverter
// (current above 0). True while inverting.
bool TrackInverting(InvertingState& st, const StatusTable& t, const Stamp& now);

// True when a battery-monitor record arrived fewer than 5 whole seconds ago
// (a record stamped in the future, after the clock was set back, is not fresh).
bool SocIsFresh(const StatusTable& t, const Stamp& now);

// The shutdown triggers, first rule that holds wins. Calls TrackInverting.
bool TriggerReached(InvertingState& st, const SettingsRecord& s, const StatusTable& t,
                    const Stamp& now);

// "DDd HH:MM:SS" with days only beyond 24 hours: 3725 -> "00d 01:02:05",
// 86400 -> "00d 24:00:00", 90000 -> "01d 01:00:00". The seconds are rounded
// to whole ones first (halves to even); 0, negative and NaN give
// "00d 00:00:00"; a day count above 99 keeps all its digits.
std::string FormatDuration(double seconds);

}  // namespace ebbmark
