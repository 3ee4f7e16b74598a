#pragma once
// The account the helpers (mail, NUT) run as when the package's "ebbmark" account
// is missing (a build installed by hand): a uid of its own, picked for this
// one run as systemd picks a DynamicUser's, never one that another process
// or an account already has. Sharing "nobody" would let every other nobody
// process signal or trace the helper, and read its memory (the password).

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace ebbmark {

// The same range as systemd's dynamic users: unlikely to be anyone's account.
inline constexpr uid_t kTransientUidFirst = 61184;
inline constexpr uid_t kTransientUidLast = 65519;

// Every uid and gid (real, effective, saved, file system) of the processes
// under `proc_root` ("/proc"). Processes that end while being read are skipped.
std::set<uid_t> IdsInUse(const std::string& proc_root = "/proc");

// The first free number of the range at or after `start` (wrapping around),
// free meaning: not in `in_use` and not `taken` (an account or group of that
// number, a systemd lock). Nothing when the whole range is used.
std::optional<uid_t> PickTransientUid(const std::set<uid_t>& in_use, std::uint32_t start,
                                      const std::function<bool(uid_t)>& taken);

// The system's view of `taken`: a passwd or group entry of that number, or
// systemd's lock of a dynamic user (/run/systemd/dynamic-uid/<uid>).
bool NumberTaken(uid_t uid);

}  // namespace ebbmark
