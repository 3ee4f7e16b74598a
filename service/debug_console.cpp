#include "service/debug_console.h"

namespace ebbmark {
namespace {

// A record's CR LF line breaks print as plain line breaks.
std::string ForTerminal(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

}  // namespace

void DebugConsole::EraseDisplay() {
  if (!tty_ || drawn_ == 0) return;
  std::fprintf(out_, "\x1b[%zuA\x1b[J", drawn_);
  drawn_ = 0;
}

void DebugConsole::DrawDisplay() {
  if (!tty_) {
    // A log or a pipe gets the live values as one line per change.
    std::string joined;
    for (const auto& l : lines_) joined += (joined.empty() ? "" : " | ") + l;
    std::fprintf(out_, "%s\n", joined.c_str());
    return;
  }
  for (const auto& l : lines_) std::fprintf(out_, "%s\n", l.c_str());
  drawn_ = lines_.size();
}

void DebugConsole::PrintRecord(const std::string& text) {
  EraseDisplay();
  std::fprintf(out_, "%s\n", ForTerminal(text).c_str());
  if (tty_) DrawDisplay();
  std::fflush(out_);
}

void DebugConsole::ShowDisplay(const std::vector<std::string>& lines) {
  if (lines == lines_ && (drawn_ > 0 || !tty_)) return;
  EraseDisplay();
  lines_ = lines;
  DrawDisplay();
  std::fflush(out_);
}

}  // namespace ebbmark
