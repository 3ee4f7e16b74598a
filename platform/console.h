#pragma once
// The terminal of a program run by hand.

namespace ebbmark {

// True when standard output is an interactive terminal (the debug display
// then redraws its lines in place).
bool StdoutIsTerminal();

}  // namespace ebbmark
