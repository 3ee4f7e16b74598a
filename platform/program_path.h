#pragma once
// Where the running program lives, for the service registration and for the
// default location of the settings file.

#include <string>

namespace ebbmark {

// The absolute path of the running executable; empty when it cannot be found.
std::string ProgramPath();

// The folder holding the running executable, without a trailing separator
// (except for the root); empty when it cannot be found.
std::string ProgramFolder();

}  // namespace ebbmark
