#pragma once
// Leaving root, for the helpers that talk to the network on the service's
// behalf (ebbmark-mail, ebbmark-nut).

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "platform/posix/transient_account_posix.h"

namespace ebbmark {

// Started by root, becomes the package's own account when there is one, else
// a uid of this run's own that no process and no account has (see
// transient_account_posix.h), never "nobody", for good (setuid back to 0
// must fail). Nothing to do for a caller without privileges. False with the
// reason in `why`.
inline bool DropPrivileges(std::string& why) {
  if (::geteuid() != 0) return true;
  uid_t uid = 0;
  gid_t gid = 0;
  if (const passwd* pw = ::getpwnam("ebbmark")) {
    uid = pw->pw_uid;
    gid = pw->pw_gid;
  } else {
    std::random_device seed;
    const auto picked = PickTransientUid(IdsInUse(), seed(), NumberTaken);
    if (!picked) {
      why = "no unused account number to run as";
      return false;
    }
    uid = *picked;
    gid = static_cast<gid_t>(*picked);
  }
  if (uid == 0 || ::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
      ::setuid(0) == 0) {
    why = std::string("could not leave the administrator account: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace ebbmark
