#include "platform/posix/transient_account_posix.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace ebbmark {

std::set<uid_t> IdsInUse(const std::string& proc_root) {
  std::set<uid_t> ids;
  DIR* dir = ::opendir(proc_root.c_str());
  if (dir == nullptr) return ids;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream status(proc_root + "/" + name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Uid:", 0) != 0 && line.rfind("Gid:", 0) != 0) continue;
      std::istringstream values(line.substr(4));
      for (unsigned long id = 0; values >> id;) ids.insert(static_cast<uid_t>(id));
    }
  }
  ::closedir(dir);
  return ids;
}

std::optional<uid_t> PickTransientUid(const std::set<uid_t>& in_use, std::uint32_t start,
                                      const std::function<bool(uid_t)>& taken) {
  const std::uint32_t count = kTransientUidLast - kTransientUidFirst + 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    const uid_t uid = kTransientUidFirst + (start + i) % count;
    if (in_use.count(uid) == 0 && !taken(uid)) return uid;
  }
  return std::nullopt;
}

bool NumberTaken(uid_t uid) {
  if (::getpwuid(uid) != nullptr || ::getgrgid(static_cast<gid_t>(uid)) != nullptr) return true;
  struct stat st {};
  return ::lstat(("/run/systemd/dynamic-uid/" + std::to_string(uid)).c_str(), &st) == 0;
}

}  // namespace ebbmark
