#pragma once
// Who a file's permission bits and POSIX ACL let read or change it, for the
// trust checks: the run file and settings (write) and the secret files (read).

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace ebbmark {

enum class Access { Read, Write };

// "user nobody (uid 65534)", or "user uid 1234" when it has no name.
std::string UserName(uid_t uid);
// "group adm (gid 4)", or "group gid 1234".
std::string GroupName(gid_t gid);

// Everyone besides the entry's owner and root whom its group and other bits,
// and the named entries of its access ACL, give `access` to: named users,
// the owning group, named groups, "everyone". The ACL's mask limits the
// group and named entries as the kernel does. Without an ACL (or where the
// file system has none), the bits alone. `path` is read as it is, links
// followed; `st` is its stat.
std::vector<std::string> AccessHolders(const std::string& path, const struct stat& st,
                                       Access access);
// The same for an open file.
std::vector<std::string> AccessHoldersOf(int fd, const struct stat& st, Access access);

}  // namespace ebbmark
