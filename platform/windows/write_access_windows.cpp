// Reads who may change a file from its security descriptor: the owner may
// always rewrite the permissions, and each allowing entry names a trustee
// with the rights it grants.

#include "platform/windows/write_access_windows.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/windows/text_windows.h"

namespace ebbmark::win {
namespace {

// Rights that let a trustee change what the object holds or who may change it.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                                      GENERIC_WRITE | GENERIC_ALL;

// Rights that let a trustee read what the object holds.
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

bool SidFromString(const wchar_t* text, std::vector<BYTE>& out) {
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(text, &sid)) return false;
  const DWORD size = ::GetLengthSid(sid);
  out.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + size);
  ::LocalFree(sid);
  return true;
}

const std::vector<std::vector<BYTE>>& AdministratorSids() {
  static const std::vector<std::vector<BYTE>> sids = [] {
    std::vector<std::vector<BYTE>> v;
    for (const wchar_t* text :
         {L"S-1-5-18", L"S-1-5-32-544",
          L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"}) {
      std::vector<BYTE> sid;
      if (SidFromString(text, sid)) v.push_back(std::move(sid));
    }
    return v;
  }();
  return sids;
}

bool Trusted(PSID sid, PSID self) {
  if (self != nullptr && ::EqualSid(sid, self)) return true;
  for (const auto& admin : AdministratorSids()) {
    if (::EqualSid(sid, const_cast<BYTE*>(admin.data()))) return true;
  }
  return false;
}

// "DOMAIN\name", or the SID's text when it has no name here.
std::string NameOf(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_len = 256;
  DWORD domain_len = 256;
  SID_NAME_USE use;
  if (::LookupAccountSidW(nullptr, sid, name, &name_len, domain, &domain_len, &use)) {
    std::wstring full = domain_len > 0 ? std::wstring(domain) + L"\\" + name : name;
    return Narrow(full);
  }
  wchar_t* text = nullptr;
  if (::ConvertSidToStringSidW(sid, &text)) {
    std::string out = Narrow(text);
    ::LocalFree(text);
    return out;
  }
  return "an unknown account";
}

void Add(std::string& writers, const std::string& who) {
  if (writers.find(who) != std::string::npos) return;
  if (!writers.empty()) writers += ", ";
  writers += who;
}

}  // namespace

std::string OtherWritersInDescriptor(PSECURITY_DESCRIPTOR sd, PSID self) {
  std::string writers;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (::GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner && !Trusted(owner, self))
    Add(writers, NameOf(owner));
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return "everyone";
  if (!present || dacl == nullptr) {
    Add(writers, "everyone");
    return writers;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // applies to children only
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if ((ace->Mask & kChangeRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (!Trusted(sid, self)) Add(writers, NameOf(sid));
  }
  return writers;
}

std::string OtherReadersInDescriptor(PSECURITY_DESCRIPTOR sd, PSID self) {
  std::string readers;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ::GetSecurityDescriptorOwner(sd, &owner, &defaulted);
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return "everyone";
  if (!present || dacl == nullptr) return "everyone";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if ((ace->Mask & kReadRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (owner != nullptr && ::EqualSid(sid, owner)) continue;
    if (!Trusted(sid, self)) Add(readers, NameOf(sid));
  }
  return readers;
}

namespace {

// This process's account, as a SID's bytes; empty when it cannot be read.
std::vector<BYTE> SelfSid() {
  std::vector<BYTE> self;
  HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
      const BYTE* sid = static_cast<const BYTE*>(user->User.Sid);
      self.assign(sid, sid + ::GetLengthSid(user->User.Sid));
    }
    ::CloseHandle(token);
  }
  return self;
}

}  // namespace

namespace {

constexpr SECURITY_INFORMATION kOwnerAndDacl =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The accounts `read` finds in a descriptor that `rc` (from one of the
// GetSecurityInfo calls) filled in, or its error.
WriterCheck CheckDescriptor(DWORD rc, PSECURITY_DESCRIPTOR sd,
                            std::string (*read)(PSECURITY_DESCRIPTOR, PSID)) {
  WriterCheck check;
  if (rc != ERROR_SUCCESS) {
    check.error = Win32Error(rc);
    return check;
  }
  std::unique_ptr<void, decltype(&::LocalFree)> holder(sd, ::LocalFree);
  std::vector<BYTE> self = SelfSid();
  check.writers = read(sd, self.empty() ? nullptr : self.data());
  return check;
}

}  // namespace

WriterCheck OtherReadersOf(HANDLE file) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetSecurityInfo(file, SE_FILE_OBJECT, kOwnerAndDacl, nullptr, nullptr, nullptr,
                                     nullptr, &sd);
  return CheckDescriptor(rc, sd, OtherReadersInDescriptor);
}

WriterCheck OtherWritersOf(const std::wstring& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kOwnerAndDacl, nullptr,
                                           nullptr, nullptr, nullptr, &sd);
  return CheckDescriptor(rc, sd, OtherWritersInDescriptor);
}

}  // namespace ebbmark::win
