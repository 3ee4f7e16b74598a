#pragma once
// The computer's name, for the notices and the mail greeting.

#include <string>

namespace ebbmark {

// The computer's name as the system reports it, trimmed; empty if unavailable.
std::string GetComputerNameText();

}  // namespace ebbmark
