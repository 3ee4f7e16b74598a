#pragma once
// Leaving root, for the helpers that talk to the network on the service's
// behalf (ebbmark-mail, ebbmark-nut).

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ebbmark {

// Started by root, becomes the package's own account when there is one,
// else nobody, for good (setuid back to 0 must fail). Nothing to do for a
// caller without privileges. False with the reason in `why`.
inline bool DropPrivileges(std::string& why) {
  if (::geteuid() != 0) return true;
  const passwd* pw = ::getpwnam("ebbmark");
  if (pw == nullptr) pw = ::getpwnam("nobody");
  if (pw == nullptr) {
    why = "no unprivileged account to run as";
    return false;
  }
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
      ::setuid(0) == 0) {
    why = std::string("could not leave the administrator account: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace ebbmark
