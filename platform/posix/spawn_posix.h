#pragma once
// What every child this program starts has in common.

#include <signal.h>
#include <spawn.h>

namespace ebbmark {

// A child starts with a clean signal state: this program blocks or catches
// signals for its own loop (and ignores SIGPIPE), and a child must not
// inherit that. Returns posix_spawnattr_setflags's result.
inline int CleanSignalsForChild(posix_spawnattr_t* attr) {
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &all);
  return posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

}  // namespace ebbmark
