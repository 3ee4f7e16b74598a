#pragma once
// Time for the whole system. Everything time-based takes a Clock so tests can
// drive a manual one. Times are whole seconds. A moment is kept twice: as the
// wall clock (UTC) named it, for display and for the calendar-minute rule, and
// as the steady clock counted it, for every age. A computer without a
// real-time clock sets its time from the network after it has booted; that
// step, or a daylight-saving change, must neither fire nor hold back a
// trigger, so no age is ever taken from the wall clock.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ebbmark {

// Wall time, UTC.
using TimePoint = std::chrono::sys_seconds;

// One moment on both clocks.
struct Stamp {
  TimePoint wall;
  std::chrono::seconds steady{0};  // since an arbitrary origin fixed for the process

  bool operator==(const Stamp&) const = default;
  // Moves the moment on both clocks alike (as time passing does).
  Stamp operator+(std::chrono::seconds d) const { return {wall + d, steady + d}; }
  Stamp operator-(std::chrono::seconds d) const { return {wall - d, steady - d}; }
};
using OptTime = std::optional<Stamp>;

class Clock {
 public:
  virtual ~Clock() = default;
  // The current moment, both clocks truncated to whole seconds.
  virtual Stamp Now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Stamp Now() const override;
};

class ManualClock final : public Clock {
 public:
  explicit ManualClock(TimePoint start = TimePoint{std::chrono::seconds{1'800'000'000}})
      : now_{start, std::chrono::seconds{1000}} {}
  Stamp Now() const override { return now_; }
  // Time passes: both clocks move by the same amount.
  void Set(TimePoint wall) { now_ = now_ + (wall - now_.wall); }
  void Set(Stamp t) { now_ = t; }
  void Advance(std::chrono::seconds d) { now_ = now_ + d; }
  // The wall clock is set (forwards or back); no time passes.
  void StepWall(std::chrono::seconds d) { now_.wall += d; }

 private:
  Stamp now_;
};

// Whole seconds from `from` to `to` on the steady clock (negative when `to`
// is earlier).
std::int64_t AgeSeconds(const Stamp& from, const Stamp& to);

// Calendar-minute boundaries crossed from `from` to `to` (12:00:59 to 12:01:00
// is one), on the wall time `from` began at plus the steady time since.
std::int64_t MinuteBoundaries(const Stamp& from, const Stamp& to);

// "YYYY-MM-DD HH:MM:SS" in local time, for display only.
std::string FormatLocalStamp(TimePoint t);

// "2026-12-07T05:45:22Z".
std::string FormatUtcIso(TimePoint t);

}  // namespace ebbmark
