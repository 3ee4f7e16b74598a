// The mail password file on Windows: the password encrypted with DPAPI in the
// machine's scope (so the service, running as SYSTEM, can decrypt what an
// administrator saved), in a file whose ACL admits SYSTEM and Administrators
// only, not inherited from the folder. The file is made under a temporary
// name with that ACL from its creation and then moved over the old one.

#include <windows.h>
// Included after windows.h, which they need.
#include <dpapi.h>
#include <sddl.h>

#include <string>

#include "platform/secret_store.h"
#include "platform/windows/text_windows.h"
#include "platform/windows/write_access_windows.h"

namespace ebbmark {
namespace {

using win::LastError;
using win::PathArgument;
using win::Win32Error;

// Protected (P): no entries inherited from the folder. Full access for
// SYSTEM (SY) and the Administrators group (BA), nobody else.
constexpr const wchar_t* kSecretAcl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr DWORD kMaxSecretFile = 64 * 1024;
// Ties the blob to this use, so another program's DPAPI blob is not taken for it.
constexpr const wchar_t* kBlobDescription = L"Ebbmark mail password";
const BYTE kEntropy[] = {'E', 'b', 'b', 'm', 'a', 'r', 'k', '-', 's', 'm', 't', 'p'};

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

 private:
  HANDLE h_;
};

bool IsMissing(DWORD e) {
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

class WindowsSecretStore final : public SecretStore {
 public:
  SecretRead Read(const std::string& path) override {
    SecretRead r;
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return Fail(r, Win32Error(ERROR_INVALID_NAME));
    Handle h(::CreateFileW(wpath.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) {
      const DWORD e = ::GetLastError();
      if (IsMissing(e)) return r;
      return Fail(r, Win32Error(e));
    }
    // Encrypted for the machine, the blob opens for any local account: a
    // file others can read gives the password away, so it is not used.
    const win::WriterCheck readers = win::OtherReadersOf(h.get());
    if (readers.error) return Fail(r, readers.error);
    if (!readers.writers.empty()) {
      r.readers = readers.writers;
      // A save from the window writes the file with the owner-only list.
      r.remedy = "save the password again in the Ebbmark window";
      return Fail(r, Win32Error(ERROR_ACCESS_DENIED));
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h.get(), &size)) return Fail(r, LastError());
    if (size.QuadPart > kMaxSecretFile) return Fail(r, Win32Error(ERROR_FILE_TOO_LARGE));
    std::string blob(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!blob.empty() &&
        (!::ReadFile(h.get(), blob.data(), static_cast<DWORD>(blob.size()), &got, nullptr) ||
         got != blob.size())) {
      return Fail(r, LastError());
    }
    if (blob.empty()) {
      r.status = SecretRead::Status::Ok;
      return r;
    }
    DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
    DATA_BLOB entropy{sizeof kEntropy, const_cast<BYTE*>(kEntropy)};
    DATA_BLOB out{};
    if (!::CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                              &out)) {
      return Fail(r, LastError());
    }
    r.value.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    ::SecureZeroMemory(out.pbData, out.cbData);
    ::LocalFree(out.pbData);
    r.status = SecretRead::Status::Ok;
    return r;
  }

  std::error_code Write(const std::string& path, const std::string& value) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return Win32Error(ERROR_INVALID_NAME);
    DATA_BLOB in{static_cast<DWORD>(value.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(value.data()))};
    DATA_BLOB entropy{sizeof kEntropy, const_cast<BYTE*>(kEntropy)};
    DATA_BLOB out{};
    if (!::CryptProtectData(&in, kBlobDescription, &entropy, nullptr, nullptr,
                            CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out)) {
      return LastError();
    }
    const std::string blob(reinterpret_cast<const char*>(out.pbData), out.cbData);
    ::LocalFree(out.pbData);

    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kSecretAcl, SDDL_REVISION_1, &sd,
                                                                nullptr)) {
      return LastError();
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    const std::wstring temp = wpath + L".new";
    std::error_code error;
    {
      Handle h(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!h.valid()) {
        error = LastError();
      } else {
        DWORD written = 0;
        if (!::WriteFile(h.get(), blob.data(), static_cast<DWORD>(blob.size()), &written,
                         nullptr) ||
            written != blob.size() || !::FlushFileBuffers(h.get())) {
          error = LastError();
        }
      }
    }
    // CREATE_ALWAYS over a left-over temporary keeps its old ACL: set ours again.
    if (!error) {
      PACL dacl = nullptr;
      BOOL present = FALSE;
      BOOL defaulted = FALSE;
      if (::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
          !::SetFileSecurityW(
              temp.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd)) {
        error = LastError();
      }
    }
    ::LocalFree(sd);
    if (!error && !::MoveFileExW(temp.c_str(), wpath.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = LastError();
    }
    if (error) ::DeleteFileW(temp.c_str());
    return error;
  }

  std::error_code Remove(const std::string& path) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return Win32Error(ERROR_INVALID_NAME);
    if (!::DeleteFileW(wpath.c_str())) {
      const DWORD e = ::GetLastError();
      if (!IsMissing(e)) return Win32Error(e);
    }
    return {};
  }

 private:
  static SecretRead Fail(SecretRead& r, std::error_code e) {
    r.status = SecretRead::Status::Error;
    r.error = e;
    return r;
  }
};

}  // namespace

SecretStore& RealSecretStore() {
  static WindowsSecretStore store;
  return store;
}

}  // namespace ebbmark
