#pragma once
// The system's event log: type 1 error, 2 warning, 4 information; identifier
// 109 or 110; the record's text.

#include <cstdint>
#include <string>

namespace ebbmark {

enum EventType : std::uint16_t { kEventError = 1, kEventWarning = 2, kEventInformation = 4 };

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Writes one record. False when the log refused it; never throws.
  virtual bool WriteEventLog(std::uint16_t type, std::uint32_t id, const std::string& text) = 0;
};

// The platform's log (syslog identifier "Ebbmark" / Windows source "Ebbmark").
EventLog& SystemEventLog();

}  // namespace ebbmark
