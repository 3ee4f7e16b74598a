#include "service/event_recorder.h"

#include <cstdio>

namespace ebbmark {

std::string EventJsonLine(TimePoint time, std::uint16_t type, std::uint32_t id,
                          const std::string& text) {
  std::string out = "{\"time\":\"";
  out += FormatUtcIso(time);
  out += "\",\"type\":" + std::to_string(type) + ",\"id\":" + std::to_string(id) + ",\"text\":\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += "\"}";
  return out;
}

bool EventRecorder::WriteEventLog(std::uint16_t type, std::uint32_t id, const std::string& text) {
  const bool ok = system_log_.WriteEventLog(type, id, text);
  if (!mirror_path_.empty())
    fs_.AppendLine(mirror_path_, EventJsonLine(clock_.Now().wall, type, id, text));
  if (echo) {
    const char* kind = type == kEventError ? "error" : type == kEventWarning ? "warning" : "info";
    echo(std::string("[") + kind + " " + std::to_string(id) + "] " + text);
  }
  return ok;
}

}  // namespace ebbmark
