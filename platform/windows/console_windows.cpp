#include <windows.h>

#include "platform/console.h"

namespace ebbmark {

// The debug display redraws its lines with terminal control sequences, which
// a console understands once virtual-terminal processing is on (Windows 10
// and later). An older console, or output to a file or pipe, gets plain lines.
bool StdoutIsTerminal() {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  // The records are UTF-8; so is what the console is told to show.
  ::SetConsoleOutputCP(CP_UTF8);
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

}  // namespace ebbmark
