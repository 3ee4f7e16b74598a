#pragma once
// Every event record of the service goes through here: to the system's event
// log, to the operator's JSON mirror (EBBMARK_EVENT_LOG) and, in debug mode,
// to the terminal.

#include <cstdint>
#include <functional>
#include <string>

#include "base/clock.h"
#include "platform/event_log.h"
#include "platform/file_system.h"

namespace ebbmark {

// {"time":"2026-12-07T05:45:22Z","type":4,"id":110,"text":"..."}
std::string EventJsonLine(TimePoint time, std::uint16_t type, std::uint32_t id,
                          const std::string& text);

class EventRecorder : public EventLog {
 public:
  EventRecorder(EventLog& system_log, FileSystem& fs, const Clock& clock, std::string mirror_path)
      : system_log_(system_log), fs_(fs), clock_(clock), mirror_path_(std::move(mirror_path)) {}

  // Called with each record's display text in debug mode.
  std::function<void(const std::string&)> echo;

  // Never fails the caller: a refused write is only reported back.
  bool WriteEventLog(std::uint16_t type, std::uint32_t id, const std::string& text) override;

 private:
  EventLog& system_log_;
  FileSystem& fs_;
  const Clock& clock_;
  std::string mirror_path_;
};

}  // namespace ebbmark
