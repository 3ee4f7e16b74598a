// File access through the permission bits and the POSIX access ACL (libacl).

#include "platform/posix/access_posix.h"

#include <acl/libacl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>

namespace ebbmark {
namespace {

bool Grants(acl_entry_t entry, Access access) {
  acl_permset_t permset = nullptr;
  if (acl_get_permset(entry, &permset) != 0) return false;
  return acl_get_perm(permset, access == Access::Read ? ACL_READ : ACL_WRITE) == 1;
}

template <typename Id>
bool Qualifier(acl_entry_t entry, Id& id) {
  void* q = acl_get_qualifier(entry);
  if (q == nullptr) return false;
  id = *static_cast<Id*>(q);
  acl_free(q);
  return true;
}

std::vector<std::string> FromBits(const struct stat& st, Access access) {
  std::vector<std::string> who;
  const mode_t group = access == Access::Read ? S_IRGRP : S_IWGRP;
  const mode_t other = access == Access::Read ? S_IROTH : S_IWOTH;
  if (st.st_mode & group) who.push_back(GroupName(st.st_gid));
  if (st.st_mode & other) who.push_back("everyone");
  return who;
}

std::vector<std::string> FromAcl(acl_t acl, const struct stat& st, Access access) {
  if (acl == nullptr) return FromBits(st, access);
  // The mask bounds every named entry and the owning group.
  bool mask_grants = true;
  acl_entry_t entry = nullptr;
  for (int id = ACL_FIRST_ENTRY; acl_get_entry(acl, id, &entry) == 1; id = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    if (acl_get_tag_type(entry, &tag) == 0 && tag == ACL_MASK) mask_grants = Grants(entry, access);
  }
  std::vector<std::string> users, groups;
  bool everyone = false;
  for (int id = ACL_FIRST_ENTRY; acl_get_entry(acl, id, &entry) == 1; id = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    if (acl_get_tag_type(entry, &tag) != 0 || !Grants(entry, access)) continue;
    switch (tag) {
      case ACL_USER: {
        uid_t uid = 0;
        if (mask_grants && Qualifier(entry, uid) && uid != 0 && uid != st.st_uid) {
          users.push_back(UserName(uid));
        }
        break;
      }
      case ACL_GROUP_OBJ:
        if (mask_grants) groups.push_back(GroupName(st.st_gid));
        break;
      case ACL_GROUP: {
        gid_t gid = 0;
        if (mask_grants && Qualifier(entry, gid)) groups.push_back(GroupName(gid));
        break;
      }
      case ACL_OTHER:
        everyone = true;
        break;
      default:
        break;
    }
  }
  acl_free(acl);
  users.insert(users.end(), groups.begin(), groups.end());
  if (everyone) users.push_back("everyone");
  return users;
}

}  // namespace

std::string UserName(uid_t uid) {
  std::string name = "uid " + std::to_string(uid);
  if (const passwd* pw = ::getpwuid(uid)) name = std::string(pw->pw_name) + " (" + name + ")";
  return "user " + name;
}

std::string GroupName(gid_t gid) {
  std::string name = "gid " + std::to_string(gid);
  if (const group* gr = ::getgrgid(gid)) name = std::string(gr->gr_name) + " (" + name + ")";
  return "group " + name;
}

std::vector<std::string> AccessHolders(const std::string& path, const struct stat& st,
                                       Access access) {
  // No ACL support in the file system (or none readable): the bits are all.
  return FromAcl(acl_get_file(path.c_str(), ACL_TYPE_ACCESS), st, access);
}

std::vector<std::string> AccessHoldersOf(int fd, const struct stat& st, Access access) {
  return FromAcl(acl_get_fd(fd), st, access);
}

}  // namespace ebbmark
