// The event log on Linux is syslog(3) under the identifier "Ebbmark". The
// record's identifier leads the text ("[110] ..."), so it survives in every
// log store: the journal and classic syslog daemons alike keep the text.
//
// syslog(3) never fails its caller: without a daemon behind /dev/log the
// record is dropped (no LOG_CONS, so nothing is written to the console).

#include <syslog.h>

#include <mutex>
#include <string>

#include "platform/event_log.h"
#include "platform/posix/syslog_text_posix.h"

namespace ebbmark {
namespace {

int Priority(std::uint16_t type) {
  switch (type) {
    case kEventError:
      return LOG_ERR;
    case kEventWarning:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

class SyslogEventLog final : public EventLog {
 public:
  bool WriteEventLog(std::uint16_t type, std::uint32_t id, const std::string& text) override {
    std::call_once(opened_, [] { ::openlog("Ebbmark", LOG_PID, LOG_DAEMON); });
    // The text goes in as an argument, never as the format. The mirror file
    // of EBBMARK_EVENT_LOG keeps the exact text; only this copy loses its CRs.
    ::syslog(LOG_DAEMON | Priority(type), "%s", SyslogText(id, text).c_str());
    return true;
  }

 private:
  std::once_flag opened_;
};

}  // namespace

EventLog& SystemEventLog() {
  static SyslogEventLog log;
  return log;
}

}  // namespace ebbmark
