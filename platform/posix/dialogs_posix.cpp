// Message boxes of EbbmarkSvc on Linux: the install and remove paths run from
// a terminal, so each box becomes its title and text there. Errors go to
// stderr, everything else to stdout.

#include <cstdio>
#include <string>

#include "platform/dialogs.h"

namespace ebbmark {
namespace {

// The texts break their lines with CR LF; a terminal (or a file the output is
// redirected to) wants plain line feeds.
std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

class TerminalDialogs final : public Dialogs {
 public:
  DialogAnswer Show(const std::string& title, const std::string& text, DialogButtons buttons,
                    DialogIcon icon) override {
    std::FILE* stream = icon == DialogIcon::Error ? stderr : stdout;
    const std::string message = title + ": " + TerminalText(text) + "\n";
    std::fwrite(message.data(), 1, message.size(), stream);
    std::fflush(stream);
    // Nobody can answer on a terminal the service owns.
    return UnansweredDialog(buttons);
  }
};

}  // namespace

Dialogs& ServiceDialogs() {
  static TerminalDialogs dialogs;
  return dialogs;
}

}  // namespace ebbmark
