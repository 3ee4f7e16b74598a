#pragma once
// Who besides administrators can change a file or folder, read from its
// security descriptor. Used by the file system's trust check.

#include <windows.h>

#include <string>
#include <system_error>

namespace ebbmark::win {

struct WriterCheck {
  std::string writers;  // empty: administrators only
  std::error_code error;
};

// The owner and every allowing entry of the DACL that grants a right to
// change the object (write, append, delete, change its permissions or owner)
// to someone other than SYSTEM, Administrators, TrustedInstaller or `self`
// (the account this program runs as, which can change anything of its own
// anyway). A missing DACL grants everything to everyone.
std::string OtherWritersInDescriptor(PSECURITY_DESCRIPTOR sd, PSID self);

// The same for a file or folder on disk, with this process's account as `self`.
WriterCheck OtherWritersOf(const std::wstring& path);

// Every allowing entry of the DACL that lets someone other than SYSTEM,
// Administrators, TrustedInstaller, the owner or `self` read the data. A
// missing DACL lets everyone read.
std::string OtherReadersInDescriptor(PSECURITY_DESCRIPTOR sd, PSID self);

// The same for an open file (opened with READ_CONTROL), with this process's
// account as `self`.
WriterCheck OtherReadersOf(HANDLE file);

}  // namespace ebbmark::win
