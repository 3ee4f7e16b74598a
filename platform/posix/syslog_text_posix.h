#pragma once
// A record as it goes to syslog and the journal: the identifier first, and
// line ends as LF only. A CR would show as ^M in `journalctl --all` and make
// the journal keep the message as bytes instead of text.

#include <cstdint>
#include <string>

namespace ebbmark {

inline std::string SyslogText(std::uint32_t id, const std::string& text) {
  std::string out = "[" + std::to_string(id) + "] ";
  out.reserve(out.size() + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
    } else if (i + 1 >= text.size() || text[i + 1] != '\n') {
      out += '\n';  // a lone CR ends a line too
    }
  }
  return out;
}

}  // namespace ebbmark
