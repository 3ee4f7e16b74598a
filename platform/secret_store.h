#pragma once
// The password files (smtp.secret, nut.secret): readable and writable only by the
// service's account and administrators. Linux: mode 0600, owned by whoever
// writes it (root, through the settings' privileged path). Windows: an ACL of
// SYSTEM and Administrators only, and the bytes encrypted with DPAPI in the
// machine's scope. Implemented per platform; tests use a fake.

#include <string>
#include <system_error>

#include "base/mail_sign_in.h"
#include "base/settings_names.h"
#include "platform/file_system.h"

namespace ebbmark {

struct SecretRead {
  enum class Status { Ok, Missing, Error };
  Status status = Status::Missing;
  std::string value;      // the password (Ok only)
  std::error_code error;  // why it could not be read (Error only)
  // Error only: besides its owner and administrators, who can read the file
  // ("group adm (gid 4), everyone"). A password others may have read is not
  // used, as a key file is not by a login server.
  std::string readers;
  // With readers: how to make the file its owner's alone again, in this
  // system's terms ("chmod 600 <path>").
  std::string remedy;
};

class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // Reads and, on Windows, decrypts the file. Missing when there is none;
  // Error when it exists but cannot be read or decrypted, or when others
  // than its owner and administrators can read it (`readers`). The error never
  // carries any of the file's bytes.
  virtual SecretRead Read(const std::string& path) = 0;

  // Replaces the file atomically with one holding `value`, created with its
  // restricted access from the first byte (never widened, then narrowed).
  // On failure the old file is untouched.
  virtual std::error_code Write(const std::string& path, const std::string& value) = 0;

  // Deletes the file; a missing file is no failure.
  virtual std::error_code Remove(const std::string& path) = 0;
};

// The production store of this platform.
SecretStore& RealSecretStore();

// The password file of a settings folder.
inline std::string SecretPath(const std::string& settings_folder) {
  return JoinPath(settings_folder, kSecretFileName);
}

// The NUT server's password file of a settings folder (same access rules).
inline std::string NutSecretPath(const std::string& settings_folder) {
  return JoinPath(settings_folder, kNutSecretFileName);
}

}  // namespace ebbmark
