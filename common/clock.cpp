#include "common/clock.h"

#include <cstdio>
#include <ctime>

namespace ebbmark {

TimePoint SystemClock::Now() const {
  return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::int64_t AgeSeconds(TimePoint from, TimePoint to) {
  return (to - from).count();
}

std::int64_t MinuteBoundaries(TimePoint from, TimePoint to) {
  using std::chrono::floor;
  using std::chrono::minutes;
  return (floor<minutes>(to) - floor<minutes>(from)).count();
}

std::string FormatUtcIso(TimePoint t) {
  using namespace std::chrono;
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss hms{t - day};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  return buf;
}

std::string FormatLocalStamp(TimePoint t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &tt);
#else
  localtime_r(&tt, &tm);
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace ebbmark
