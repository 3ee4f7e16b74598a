#pragma once
// What the configuration program asks of the desktop, behind interfaces the
// views and the production code provide and tests fake.

#include <optional>
#include <string>

namespace ebbmark {

// The desktop shell: opens a web address in the default browser, or a file
// with the program registered for it.
class Shell {
 public:
  virtual ~Shell() = default;
  // True when the shell accepted the request; false on any failure (no
  // browser, no such file, no program for the file's type).
  virtual bool Open(const std::string& address_or_path) = 0;
};

// Whether another copy of the configuration program is already running for
// this user.
class InstanceCheck {
 public:
  virtual ~InstanceCheck() = default;
  // True when another instance holds the program's single-instance mark.
  // Any failure to tell counts as "no other instance".
  virtual bool AnotherInstanceRunning() = 0;
};

// The desktop's own dialog for picking a file.
class FileChooser {
 public:
  virtual ~FileChooser() = default;
  // Lets the user pick an existing file, opening in the folder of `current`
  // (or the chooser's own start when it is empty or gone). nullopt when the
  // user cancelled or no chooser could be shown; never blocks the caller's
  // loop for anything but the user's choice.
  virtual std::optional<std::string> ChooseFile(const std::string& title,
                                                const std::string& current) = 0;
};

}  // namespace ebbmark
