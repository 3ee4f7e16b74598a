#include <unistd.h>

#include <string>

#include "platform/computer_name.h"

namespace ebbmark {

std::string GetComputerNameText() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string name(buf);
  // Trim blanks at both ends, as the name is quoted in notices.
  const auto first = name.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = name.find_last_not_of(' ');
  return name.substr(first, last - first + 1);
}

}  // namespace ebbmark
