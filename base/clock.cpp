#include "base/clock.h"

#include <cstdio>
#include <ctime>

namespace ebbmark {

Stamp SystemClock::Now() const {
  using std::chrono::floor;
  using std::chrono::seconds;
  return {floor<seconds>(std::chrono::system_clock::now()),
          floor<seconds>(std::chrono::steady_clock::now().time_since_epoch())};
}

std::int64_t AgeSeconds(const Stamp& from, const Stamp& to) {
  return (to.steady - from.steady).count();
}

std::int64_t MinuteBoundaries(const Stamp& from, const Stamp& to) {
  using std::chrono::floor;
  using std::chrono::minutes;
  const TimePoint anchored = from.wall + (to.steady - from.steady);
  return (floor<minutes>(anchored) - floor<minutes>(from.wall)).count();
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
