#pragma once
// Time for the whole system. Everything time-based takes a Clock so tests can
// drive a manual one. Times are whole seconds on UTC; local time is for display
// only, so a daylight-saving change never shortens or lengthens a period.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ebbmark {

using TimePoint = std::chrono::sys_seconds;
using OptTime = std::optional<TimePoint>;

class Clock {
 public:
  virtual ~Clock() = default;
  // The current time, truncated to whole seconds.
  virtual TimePoint Now() const = 0;
};

class SystemClock final : public Clock {
 public:
  TimePoint Now() const override;
};

class ManualClock final : public Clock {
 public:
  explicit ManualClock(TimePoint start = TimePoint{std::chrono::seconds{1'800'000'000}})
      : now_(start) {}
  TimePoint Now() const override { return now_; }
  void Set(TimePoint t) { now_ = t; }
  void Advance(std::chrono::seconds d) { now_ += d; }

 private:
  TimePoint now_;
};

// Whole seconds from `from` to `to` (negative when `to` is earlier).
std::int64_t AgeSeconds(TimePoint from, TimePoint to);

// Calendar-minute boundaries crossed from `from` to `to`: 12:00:59 to 12:01:00 is one.
std::int64_t MinuteBoundaries(TimePoint from, TimePoint to);

// "YYYY-MM-DD HH:MM:SS" in local time, for display only.
std::string FormatLocalStamp(TimePoint t);

// "2026-12-07T05:45:22Z".
std::string FormatUtcIso(TimePoint t);

// The computer's name as the system reports it, trimmed; empty if unavailable.
// Implemented per platform.
std::string GetComputerNameText();

}  // namespace ebbmark
