#pragma once
// The debug display of "EbbmarkSvc debug": event records scroll past, and the
// live lines (Host, Inverter, Current, SOC) are redrawn in place below them on
// a terminal. Without a terminal they are printed as one line, only when they
// change.

#include <cstdio>
#include <string>
#include <vector>

namespace ebbmark {

class DebugConsole {
 public:
  DebugConsole(std::FILE* out, bool is_terminal) : out_(out), tty_(is_terminal) {}

  void PrintRecord(const std::string& text);
  void ShowDisplay(const std::vector<std::string>& lines);

 private:
  void EraseDisplay();
  void DrawDisplay();

  std::FILE* out_;
  bool tty_;
  std::vector<std::string> lines_;
  std::size_t drawn_ = 0;  // display lines currently on the terminal
};

}  // namespace ebbmark
