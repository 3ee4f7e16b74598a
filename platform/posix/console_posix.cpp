#include <unistd.h>

#include "platform/console.h"

namespace ebbmark {

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) != 0;
}

}  // namespace ebbmark
